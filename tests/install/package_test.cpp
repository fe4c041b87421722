// The Debian package of this build tree, made by `cpack -G DEB` as scripts/package makes it,
// then taken apart with dpkg-deb and judged by lintian. The checks share one package: ctest
// runs them together in one process (see CMakeLists.txt).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cashbox/TaskJournal.h"
#include "platform/Version.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct Result {
    int status = -1;     // the exit status; -1 when the program did not end normally
    std::string output;  // standard output and error together
};

// Runs argv (looked up on the PATH) in directory, with extra environment entries.
Result run(const std::vector<std::string>& argv, const fs::path& directory,
           const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> envText(extraEnv);
    for (char** entry = environ; *entry; ++entry)
        envText.emplace_back(*entry);
    std::vector<char*> args, envp;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const auto& entry : envText)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDERR_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        if (::chdir(directory.c_str()) == 0)
            ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    Result result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, static_cast<size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

class DebianPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new th::test::TempDir;
        // The component keeps CPack's installation manifest apart from the build tree's
        // install_manifest.txt, which may list a real installation for its removal.
        const Result cpack =
            run({TH_CPACK_COMMAND, "-G", "DEB", "--config", TH_BUILD_DIR "/CPackConfig.cmake", "-B",
                 dir().string(), "-D",
                 "CPACK_INSTALL_CMAKE_PROJECTS=" TH_BUILD_DIR ";tillhaven;Unspecified;/"},
                dir());
        cpackLog_ = cpack.output;
        for (const auto& entry : fs::directory_iterator(dir()))
            if (entry.path().extension() == ".deb")
                package_ = entry.path();
        if (!package_.empty())
            run({"dpkg-deb", "-x", package_.string(), root().string()}, dir());
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }
    void SetUp() override {
        ASSERT_FALSE(package_.empty()) << "cpack made no package:\n" << cpackLog_;
    }

    static fs::path dir() { return work_->path(); }
    static fs::path root() { return dir() / "root"; }
    static const fs::path& package() { return package_; }

    static std::string field(const std::string& name) {
        return trimmed(run({"dpkg-deb", "-f", package().string(), name}, dir()).output);
    }

private:
    static inline th::test::TempDir* work_ = nullptr;
    static inline fs::path package_;
    static inline std::string cpackLog_;
};

TEST_F(DebianPackage, IsNamedAfterTheVersionAndTheArchitecture) {
    const std::string architecture = trimmed(run({"dpkg", "--print-architecture"}, dir()).output);
    EXPECT_EQ(package().filename().string(),
              std::string("tillhaven_") + th::kProgramVersion + "_" + architecture + ".deb");
    EXPECT_EQ(field("Package"), "tillhaven");
    EXPECT_EQ(field("Version"), th::kProgramVersion);
    EXPECT_EQ(field("Architecture"), architecture);
    EXPECT_TRUE(std::regex_match(field("Maintainer"), std::regex(".+ <[^@ ]+@[^@ ]+\\.[a-z]+>")))
        << field("Maintainer");
}

TEST_F(DebianPackage, DependsOnTheLibrariesTheProgramsLink) {
    // "libc6 (>= 2.34), libcurl4 (>= 7.16.2), ..." by package name.
    std::set<std::string> names;
    std::istringstream depends(field("Depends"));
    for (std::string item; std::getline(depends, item, ',');) {
        std::istringstream words(item);
        std::string name;
        words >> name;
        names.insert(name);
    }
    for (const char* library :
         {"libqt6widgets6", "libqt6core6", "libqt6serialport6", "qt6-translations-l10n", "libcurl4",
          "libsqlite3-0", "libc6", "libstdc++6"})
        EXPECT_TRUE(names.count(library)) << library << " missing in: " << field("Depends");
}

TEST_F(DebianPackage, InstallsUnderUsrOwnedByRoot) {
    const Result listing = run({"dpkg-deb", "-c", package().string()}, dir());
    ASSERT_EQ(listing.status, 0) << listing.output;
    const auto entries = lines(listing.output);
    ASSERT_FALSE(entries.empty());
    for (const auto& entry : entries) {
        EXPECT_NE(entry.find(" root/root "), std::string::npos) << entry;
        EXPECT_NE(entry.find(" ./usr/"), std::string::npos) << entry;
    }

    struct Expected {
        std::string path;
        fs::perms mode;
    };
    const auto program = fs::perms(0755), data = fs::perms(0644);
    std::vector<Expected> expected = {
        {"usr/bin/tillhaven", program},
        {"usr/lib/tillhaven/tillhaven-sandbox", program},
        {"usr/lib/tillhaven/libfptr10-emulator.so", data},
        {"usr/share/applications/tillhaven.desktop", data},
        {"usr/share/tillhaven/autostart/tillhaven.desktop", data},
        {"usr/share/tillhaven/checks.db", data},
        {"usr/share/tillhaven/demo-emulator.json", data},
        {"usr/share/doc/tillhaven/copyright", data},
        {"usr/share/doc/tillhaven/changelog.gz", data},
        {"usr/share/man/man1/tillhaven.1.gz", data},
        {"usr/lib/udev/rules.d/70-tillhaven-atol.rules", data},
    };
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        expected.push_back({"usr/share/icons/hicolor/" + std::to_string(size) + "x" +
                                std::to_string(size) + "/apps/tillhaven.png",
                            data});
    for (const auto& file : expected) {
        SCOPED_TRACE(file.path);
        ASSERT_TRUE(fs::is_regular_file(root() / file.path));
        EXPECT_EQ(fs::status(root() / file.path).permissions() & fs::perms::mask, file.mode);
    }
}

// The user at the seat may open the registers' USB devices and their modem ports.
TEST_F(DebianPackage, ItsUdevRuleGivesTheSeatedUserTheRegistersDevices) {
    const std::string rule = readFile(root() / "usr/lib/udev/rules.d/70-tillhaven-atol.rules");
    EXPECT_NE(rule.find("SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"2912\", TAG+=\"uaccess\""),
              std::string::npos)
        << rule;
    EXPECT_NE(rule.find("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"2912\", TAG+=\"uaccess\""),
              std::string::npos)
        << rule;
}

TEST_F(DebianPackage, DesktopEntriesStartTheInstalledClient) {
    // The autostart entry starts it hidden in the tray.
    const std::pair<const char*, const char*> entries[] = {
        {"usr/share/applications/tillhaven.desktop", "\nExec=/usr/bin/tillhaven\n"},
        {"usr/share/tillhaven/autostart/tillhaven.desktop",
         "\nExec=/usr/bin/tillhaven --hidden\n"}};
    for (const auto& [entry, exec] : entries) {
        const std::string text = readFile(root() / entry);
        EXPECT_NE(text.find(exec), std::string::npos) << entry;
        EXPECT_NE(text.find("\nIcon=tillhaven\n"), std::string::npos) << entry;
    }
}

TEST_F(DebianPackage, JournalTemplateIsAnEmptyJournal) {
    th::TaskJournal journal;
    ASSERT_NO_THROW(journal.openJournal(root() / "usr/share/tillhaven/checks.db"));
    EXPECT_TRUE(journal.selectChecks("00106700000001", "added").empty());
}

TEST_F(DebianPackage, BinariesAreStrippedAndStillWork) {
    for (const char* binary : {"usr/bin/tillhaven", "usr/lib/tillhaven/tillhaven-sandbox",
                               "usr/lib/tillhaven/libfptr10-emulator.so"}) {
        const Result sections = run({"readelf", "-S", "-W", (root() / binary).string()}, dir());
        ASSERT_EQ(sections.status, 0) << binary << ": " << sections.output;
        EXPECT_EQ(sections.output.find(" .symtab "), std::string::npos) << binary;
        EXPECT_EQ(sections.output.find(" .debug_"), std::string::npos) << binary;
    }
    // The emulator still offers the vendor's interface to a client that loads it.
    void* emulator = ::dlopen((root() / "usr/lib/tillhaven/libfptr10-emulator.so").c_str(),
                              RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(emulator, nullptr) << ::dlerror();
    EXPECT_NE(::dlsym(emulator, "libfptr_create"), nullptr);
    ::dlclose(emulator);
    const Result sandbox =
        run({(root() / "usr/lib/tillhaven/tillhaven-sandbox").string(), "--help"}, dir());
    EXPECT_EQ(sandbox.status, 0) << sandbox.output;
    EXPECT_NE(sandbox.output.find("usage: tillhaven-sandbox"), std::string::npos);
}

TEST_F(DebianPackage, CarriesCopyrightAndTheChangelogOfThisVersion) {
    EXPECT_EQ(readFile(root() / "usr/share/doc/tillhaven/copyright"),
              readFile(TH_SOURCE_DIR "/packaging/copyright"));
    const Result changelog =
        run({"gzip", "-dc", (root() / "usr/share/doc/tillhaven/changelog.gz").string()}, dir());
    ASSERT_EQ(changelog.status, 0) << changelog.output;
    EXPECT_EQ(changelog.output, readFile(TH_SOURCE_DIR "/packaging/changelog"));
    EXPECT_EQ(changelog.output.rfind(std::string("tillhaven (") + th::kProgramVersion + ") ", 0),
              0u)
        << "the newest entry is not this version's";
}

TEST_F(DebianPackage, LintianFindsNoError) {
    const Result lintian = run({"lintian", "--fail-on", "error", package().string()}, dir(),
                               {"TMPDIR=" + dir().string()});
    std::cout << lintian.output;
    EXPECT_EQ(lintian.status, 0) << lintian.output;
    for (const auto& line : lines(lintian.output))
        EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
}

}  // namespace
