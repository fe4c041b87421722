// settings.ini that cannot be written, cut short, full of binary garbage or holding a
// value of 1 MB: the program starts with what it can read and never leaves a half-written
// file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "FaultKit.h"
#include "settings/AppSettings.h"

using namespace th;
using namespace th::faults;
using namespace std::chrono_literals;

namespace {

constexpr const char* kGoodSettings =
    "[auth]\ntoken=good-token\n[system]\nTestMode=1\nKeepVersion=1\n[client]\nLog=1\n"
    "[cashboxes]\nserials=001,002\n[001]\nKKTSerial=001\nDriver=Атол\nConnectionType=USB\n"
    "Autostart=1\n[002]\nKKTSerial=002\nConnectionType=COM\nComPort=COM3\n";

std::string binaryGarbage(size_t bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::string text(bytes, '\0');
    for (char& c : text)
        c = static_cast<char>(random() & 0xFF);
    return text;
}

// Files that sit next to settings.ini besides what the test put there (leftover
// temporary files of an interrupted save).
std::vector<std::string> strayFiles(const test::TempDir& dir,
                                    const std::vector<std::string>& expected) {
    std::vector<std::string> stray;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end())
            stray.push_back(name);
    }
    return stray;
}

TEST(SettingsFaults, ACutShortFileGivesWhatItHoldsAndSavesWhole) {
    const std::string good = kGoodSettings;
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        SCOPED_TRACE(cut);
        test::TempDir dir;
        dir.write("settings.ini", good.substr(0, cut));
        AppSettings settings(dir.path());
        const size_t tokenEnd = good.find("good-token\n") + 10;
        if (cut >= tokenEnd) {
            EXPECT_EQ(settings.token(), "good-token");
        }
        settings.save();
        AppSettings again(dir.path());
        EXPECT_EQ(again.token(), settings.token());
        EXPECT_EQ(again.serials(), settings.serials());
        EXPECT_EQ(again.cashboxes(), settings.cashboxes());
    }
}

TEST(SettingsFaults, BinaryGarbageAroundTheKeysLeavesTheKeysReadable) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        test::TempDir dir;
        // Garbage without a line break cannot run into the next line's key.
        std::string garbage = binaryGarbage(4096, seed);
        std::replace(garbage.begin(), garbage.end(), '\n', '?');
        dir.write("settings.ini", garbage + "\n" + kGoodSettings + garbage + "\n");
        AppSettings settings(dir.path());
        EXPECT_EQ(settings.token(), "good-token");
        EXPECT_TRUE(settings.systemTestMode());
        EXPECT_EQ(settings.serials(), (std::vector<std::string>{"001", "002"}));
        settings.save();
        AppSettings reread(dir.path());
        EXPECT_EQ(reread.token(), "good-token");
        EXPECT_EQ(reread.serials(), (std::vector<std::string>{"001", "002"}));
    }
    test::TempDir dir;
    dir.write("settings.ini", binaryGarbage(64 * 1024, 99));
    AppSettings onlyGarbage(dir.path());
    const std::string token = onlyGarbage.token();
    const std::vector<std::string> serials = onlyGarbage.serials();
    onlyGarbage.save();
    AppSettings reread(dir.path());
    EXPECT_EQ(reread.token(), token);
    EXPECT_EQ(reread.serials(), serials);
    finding() << "settings.ini of binary garbage: read with token \"" << token.substr(0, 20)
              << "\", saved and read back alike\n";
}

TEST(SettingsFaults, AValueOfOneMegabyteIsReadCutAndOtherKeysSurviveASave) {
    test::TempDir dir;
    const std::string huge(1024 * 1024, 'z');
    dir.write("settings.ini", std::string("[auth]\ntoken=") + huge + "\n[notes]\nmemo=" + huge +
                                  "\n" + kGoodSettings + "[notes2]\nmemo=" + huge + "\n");
    AppSettings settings(dir.path());
    EXPECT_EQ(settings.token(), huge.substr(0, ProfileFile::kMaxValue));
    EXPECT_EQ(settings.serials(), (std::vector<std::string>{"001", "002"}));
    settings.setToken("new-token");
    settings.save();
    const std::string saved = dir.read("settings.ini");
    EXPECT_NE(saved.find("memo=" + huge + "\n"), std::string::npos);
    EXPECT_EQ(AppSettings(dir.path()).token(), "new-token");
    EXPECT_EQ(strayFiles(dir, {"settings.ini"}), std::vector<std::string>{});
}

TEST(SettingsFaults, SettingsThatAreADirectoryReadAsEmptyAndRefuseToSave) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("settings.ini"));
    AppSettings settings(dir.path());
    EXPECT_EQ(settings.token(), "");
    settings.setToken("new-token");
    try {
        settings.save();
        ADD_FAILURE() << "saved over a directory";
    } catch (const SettingsError& e) {
        finding() << "settings.ini a directory: " << e.what() << "\n";
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("settings.ini").string());
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("settings.ini")));
    EXPECT_EQ(strayFiles(dir, {"settings.ini"}), std::vector<std::string>{});
}

// A user who may not write the directory: the save fails at its first key and the file is
// exactly as it was. Root ignores permission bits, so the save runs in a child that has
// become "nobody".
TEST(SettingsFaults, AnUnwritableDirectoryLeavesTheFileAsItWas) {
    test::TempDir dir;
    dir.write("settings.ini", kGoodSettings);
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(dir.file("settings.ini"), std::filesystem::perms(0644));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        AppSettings settings(dir.path());
        if (settings.token() != "good-token")
            ::_exit(4);
        settings.setToken("changed");
        try {
            settings.save();
        } catch (const SettingsError& e) {
            const bool named =
                std::string(e.what()) == "Unable to write to " + dir.file("settings.ini").string();
            ::_exit(named ? 0 : 5);
        }
        ::_exit(6);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no user change, 4: not read, 5: wrong text, "
                                         "6: saved";
    EXPECT_EQ(dir.read("settings.ini"), kGoodSettings);
    EXPECT_EQ(strayFiles(dir, {"settings.ini"}), std::vector<std::string>{});
    finding() << "unwritable settings directory: the save refused, the file unchanged\n";
}

// A value whose text reading would change (blanks at an end, enclosing quotation marks)
// must still read back as it was saved: a serial list whose first and last entries are
// quoted lost and mixed up registers after one save (found by fuzzing settings.ini).
TEST(SettingsFaults, SavedValuesReadBackAsTheyWere) {
    for (const std::string token : {"\"quoted\"", " lead", "trail ", "'single'", "\"\"", "\""}) {
        SCOPED_TRACE(token);
        test::TempDir dir;
        AppSettings settings(dir.path());
        settings.setToken(token);
        settings.save();
        EXPECT_EQ(AppSettings(dir.path()).token(), token);
    }
    for (const std::string serials : {"\"A B\",\"C D\"", ", \"0 2\",2\",", "\"\",x"}) {
        SCOPED_TRACE(serials);
        test::TempDir dir;
        dir.write("settings.ini", "[cashboxes]\nserials=" + serials + "\n");
        AppSettings first(dir.path());
        first.save();
        EXPECT_EQ(AppSettings(dir.path()).serials(), first.serials());
    }
}

// The real program on a settings.ini full of junk: it reads the keys that are there and
// goes to work.
TEST(SettingsFaults, TheProgramStartsOnAJunkFilledSettingsFileAndExchanges) {
    test::TempDir home;
    sandbox::SandboxServer sandbox(sandboxOptions());
    const int port = sandbox.start();
    SandboxAdmin admin(port);
    prepareHome(home, port);
    std::string garbage = binaryGarbage(8192, 7);
    std::replace(garbage.begin(), garbage.end(), '\n', '?');
    home.write("settings.ini", garbage + "\n[junk]\nvalue=" + std::string(1024 * 1024, 'j') + "\n" +
                                   clientSettings(port) + garbage + "\n");
    const std::string before = home.read("settings.ini");
    ClientProcess client(home.path());
    client.start();
    const bool exchanged = waitFor([&] { return admin.tasksRequests() > 0; }, 90s);
    client.kill(SIGKILL);
    EXPECT_TRUE(exchanged);
    EXPECT_EQ(home.read("settings.ini"), before);
    finding() << "program on a junk-filled settings.ini: "
              << (exchanged ? "started and exchanged" : "did not exchange") << "\n";
}

}  // namespace
