// The installed program: `cmake --install` into a temporary prefix puts the programs, the
// icons, the desktop entries and the journal template in place, and the installed client's
// first start prepares its files under the XDG base directories.
// The sandbox first: Qt's keyword macros would spoil its declarations.
#include "DemoSeed.h"
#include "SandboxServer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cashbox/TaskJournal.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

// Root may write everywhere, so an installed program run by root would not see its
// directory as read-only: the client then runs as this user instead.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "th-install-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A child process started with its own environment; killed and reaped when it goes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
        std::vector<std::string> envText;
        for (const auto& [name, value] : env)
            envText.push_back(name + "=" + value);
        std::vector<char*> args, envp;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        for (const auto& entry : envText)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execvpe(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Child() { kill(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            status_ = status;
            return false;
        }
        return true;
    }
    int wait() {
        if (pid_ > 0) {
            ::waitpid(pid_, &status_, 0);
            pid_ = 0;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto eq = text.find('=');
        if (eq != std::string::npos)
            env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    return env;
}

// Waits, without a deadline of its own (ctest's time-out is the backstop), until done()
// holds or the child ended.
bool waitFor(Child& child, const std::function<bool()>& done) {
    while (!done()) {
        if (!child.running())
            return done();
        ::usleep(20 * 1000);
    }
    return true;
}

bool runsAsRoot() {
    return ::geteuid() == 0;
}

// With root, the client also gets a network namespace of its own, so a first start with
// empty settings cannot reach the real service.
bool canIsolateNetwork() {
    if (!runsAsRoot())
        return false;
    Child probe({"unshare", "-n", "true"}, currentEnvironment());
    return probe.wait() == 0;
}

std::map<std::string, std::string> desktopEntry(const fs::path& path) {
    std::map<std::string, std::string> keys;
    std::istringstream text(readFile(path));
    std::string line;
    while (std::getline(text, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#' && line[0] != '[')
            keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

class InstalledProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefixDir_ = new TempDir;
        // Every rule of the project is in the default component; naming it keeps this
        // installation's manifest apart from a real one's build/install_manifest.txt.
        Child install({TH_CMAKE_COMMAND, "--install", TH_BUILD_DIR, "--prefix", prefix().string(),
                       "--component", "Unspecified"},
                      currentEnvironment());
        installStatus_ = install.wait();
        // An installed program's directory is not its user's to write.
        if (fs::exists(prefix() / "bin"))
            fs::permissions(
                prefix() / "bin",
                fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                fs::perm_options::remove);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::permissions(prefix() / "bin", fs::perms::owner_write, fs::perm_options::add, ec);
        delete prefixDir_;
        prefixDir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(installStatus_, 0) << "cmake --install failed"; }

    static fs::path prefix() { return prefixDir_->path() / "prefix"; }
    fs::path configDir() const { return home_.path() / "config"; }
    fs::path dataDir() const { return home_.path() / "data"; }
    fs::path settingsFile() const { return configDir() / "tillhaven" / "settings.ini"; }
    fs::path journalFile() const { return dataDir() / "tillhaven" / "checks.db"; }
    static std::string journalTemplate() {
        return readFile(prefix() / "share" / "tillhaven" / "checks.db");
    }

    // Starts the installed client with empty XDG directories (unless a test put files there)
    // and no TILLHAVEN_HOME, on the offscreen platform, with a runtime directory of its own.
    std::unique_ptr<Child> startInstalledClient(bool isolateNetwork) {
        fs::create_directories(configDir());
        fs::create_directories(dataDir());
        fs::create_directories(home_.path() / "runtime");
        fs::permissions(home_.path() / "runtime", fs::perms::owner_all);
        if (runsAsRoot())
            handHomeToNobody();
        auto env = currentEnvironment();
        for (const char* name : {"TILLHAVEN_HOME", "DISPLAY", "WAYLAND_DISPLAY"})
            env.erase(name);
        env["HOME"] = home_.path().string();
        env["XDG_CONFIG_HOME"] = configDir().string();
        env["XDG_DATA_HOME"] = dataDir().string();
        env["XDG_RUNTIME_DIR"] = (home_.path() / "runtime").string();
        env["QT_QPA_PLATFORM"] = "offscreen";
        std::vector<std::string> argv;
        if (isolateNetwork)
            argv = {"unshare", "-n"};
        if (runsAsRoot())
            for (const char* arg : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"})
                argv.push_back(arg);
        argv.push_back((prefix() / "bin" / "tillhaven").string());
        return std::make_unique<Child>(argv, env);
    }

    void handHomeToNobody() {
        for (const auto& entry : fs::recursive_directory_iterator(home_.path()))
            ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNoGroup), 0) << entry.path();
        ASSERT_EQ(::chown(home_.path().c_str(), kNobody, kNoGroup), 0);
    }

    TempDir home_;

private:
    static inline TempDir* prefixDir_ = nullptr;
    static inline int installStatus_ = -1;
};

TEST_F(InstalledProgram, PutsProgramsIconsEntriesAndJournalTemplateWhereADesktopLooks) {
    for (const char* program : {"bin/tillhaven", "lib/tillhaven/tillhaven-sandbox"})
        EXPECT_EQ(::access((prefix() / program).c_str(), X_OK), 0) << program;
    for (const char* file : {"lib/tillhaven/libfptr10-emulator.so", "share/man/man1/tillhaven.1.gz",
                             "share/doc/tillhaven/copyright", "share/doc/tillhaven/changelog.gz"})
        EXPECT_TRUE(fs::is_regular_file(prefix() / file)) << file;
    // The support programs stay off the PATH.
    EXPECT_FALSE(fs::exists(prefix() / "bin/tillhaven-sandbox"));

    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const auto dir = std::to_string(size) + "x" + std::to_string(size);
        const auto icon = prefix() / "share/icons/hicolor" / dir / "apps/tillhaven.png";
        QImage image(QString::fromStdString(icon.string()));
        EXPECT_EQ(image.size(), QSize(size, size)) << icon;
    }

    const auto installedClient = (prefix() / "bin" / "tillhaven").string();
    // The autostart entry starts the client hidden in the tray.
    const std::pair<const char*, std::string> entries[] = {
        {"share/applications/tillhaven.desktop", installedClient},
        {"share/tillhaven/autostart/tillhaven.desktop", installedClient + " --hidden"}};
    for (const auto& [entry, exec] : entries) {
        auto keys = desktopEntry(prefix() / entry);
        EXPECT_EQ(keys["Type"], "Application") << entry;
        EXPECT_EQ(keys["Exec"], exec) << entry;
        EXPECT_EQ(keys["Icon"], "tillhaven") << entry;
        if (QStandardPaths::findExecutable("desktop-file-validate").isEmpty())
            continue;
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start("desktop-file-validate",
                       {QString::fromStdString((prefix() / entry).string())});
        ASSERT_TRUE(validate.waitForFinished(60000));
        EXPECT_EQ(validate.exitCode(), 0) << entry;
        EXPECT_EQ(validate.readAll().toStdString(), "") << entry;
    }

    th::TaskJournal journal;
    ASSERT_NO_THROW(journal.openJournal(prefix() / "share/tillhaven/checks.db"));
    EXPECT_TRUE(journal.selectChecks("00106700000001", "added").empty());
}

TEST_F(InstalledProgram, FirstStartCreatesSettingsAndCopiesTheEmptyJournal) {
    const std::string templ = journalTemplate();
    auto client = startInstalledClient(canIsolateNetwork());
    // The files come first, before any window; the start-up then fails to reach a service
    // and would wait in a message box, so the test ends the client once they are there.
    // A client that took its own directory for a portable one would write there instead.
    waitFor(*client, [&] {
        return (fs::exists(settingsFile()) && fs::exists(journalFile()) &&
                readFile(journalFile()) == templ) ||
               fs::exists(prefix() / "bin" / "settings.ini");
    });
    client->kill();

    ASSERT_TRUE(fs::exists(settingsFile()));
    EXPECT_EQ(fs::status(settingsFile()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << "the token is kept there: the owner's alone";
    ASSERT_TRUE(fs::exists(journalFile()));
    EXPECT_EQ(readFile(journalFile()), templ);
    th::TaskJournal journal;
    EXPECT_NO_THROW(journal.openJournal(journalFile()));

    // Nothing beside the installed programs.
    for (const char* name : {"settings.ini", "checks.db", "emulator.json"})
        EXPECT_FALSE(fs::exists(prefix() / "bin" / name)) << name;
}

TEST_F(InstalledProgram, ReadsItsSettingsFromTheConfigDirectoryAndKeepsThem) {
    th::sandbox::SandboxOptions options;
    options.seed = {{"accounts", th::Json::array({{{"login", "shop@example.org"},
                                                   {"password", "secret"},
                                                   {"token", "account-token"},
                                                   {"salepoints", th::Json::array()}}})}};
    th::sandbox::SandboxServer service(options);
    const int port = service.start();
    const std::string settings =
        "[auth]\ntoken=account-token\n[system]\nTestMode=1\n"
        "KeepVersion=1\nTestUrl=http://127.0.0.1:" +
        std::to_string(port) + "/dispatcher/v1\n";
    writeFile(settingsFile(), settings);

    auto client = startInstalledClient(false);
    auto asked = [&] {
        return service.state().snapshot()["requests"].value("getsalepoints", 0) > 0;
    };
    // The list of registers is the last step of the start: the token from the XDG settings
    // file was accepted on the way.
    waitFor(*client, asked);
    client->kill();

    EXPECT_TRUE(asked()) << "the installed client did not use the settings in " << settingsFile();
    // Kept as they were; the first login of a user who never chose adds the start at login,
    // with its autostart entry starting the installed client hidden.
    EXPECT_EQ(readFile(settingsFile()), settings + "\n[client]\nRunAtLogin=1\n");
    const fs::path entry = configDir() / "autostart" / "tillhaven.desktop";
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_NE(
        readFile(entry).find("\nExec=" + (prefix() / "bin" / "tillhaven").string() + " --hidden\n"),
        std::string::npos)
        << readFile(entry);
    ASSERT_TRUE(fs::exists(journalFile())) << "the journal template is copied in all the same";
    EXPECT_EQ(readFile(journalFile()), journalTemplate());
    // The copy of the template, readable by everyone, holds this user's receipts.
    EXPECT_EQ(fs::status(journalFile()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// Training without the sources: the sandbox's demo account, the shipped demo bench as
// emulator.json, and the installed client connects the first demo register and reports it.
TEST_F(InstalledProgram, SandboxModeRunsOnTheShippedDemoBench) {
    const fs::path bench = prefix() / "share/tillhaven/demo-emulator.json";
    ASSERT_TRUE(fs::is_regular_file(bench));
    th::sandbox::SandboxOptions options;
    options.seed = th::Json::parse(th::sandbox::kDemoSeedText);
    th::sandbox::SandboxServer service(options);
    const int port = service.start();
    writeFile(configDir() / "tillhaven" / "emulator.json", readFile(bench));
    writeFile(settingsFile(),
              "[auth]\ntoken=demo-account-token-7f3a9c\n[system]\nTestMode=1\nKeepVersion=1\n"
              "TestUrl=http://127.0.0.1:" +
                  std::to_string(port) +
                  "/dispatcher/v1\nRegisterDriver=emulator\n[cashboxes]\n"
                  "serials=00106700000001\n[00106700000001]\nToken=demo-kkt-token-0001\n"
                  "KKTSerial=00106700000001\nDriver=Атол\nConnectionType=USB\nAutostart=1\n");

    auto client = startInstalledClient(false);
    auto reported = [&] {
        return service.state().snapshot()["requests"].value("cashbox", 0) > 0;
    };
    waitFor(*client, reported);
    client->kill();
    EXPECT_TRUE(reported()) << "the demo register was not reported";
}

}  // namespace
