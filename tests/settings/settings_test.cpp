#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "settings/AppSettings.h"
#include "support/ParamNames.h"
#include "support/TempDir.h"

using th::AppSettings;
using th::CashboxSettings;
using th::CashBoxSettingsPtr;
using th::test::TempDir;

namespace {

CashBoxSettingsPtr record(const std::string& serial, const std::string& port = "") {
    auto r = std::make_shared<CashboxSettings>();
    r->serial = serial;
    r->driver = "Атол";
    r->connectionType = port.empty() ? "USB" : "COM";
    r->comPort = port;
    r->autostart = true;
    return r;
}

}  // namespace

TEST(Settings, NoFileGivesEmptyTextsAndFalseSwitches) {
    TempDir dir;
    AppSettings s(dir.path());
    EXPECT_EQ(s.token(), "");
    EXPECT_FALSE(s.systemTestMode());
    EXPECT_FALSE(s.keepVersion());
    EXPECT_FALSE(s.clientLog());
    EXPECT_TRUE(s.serials().empty());
    EXPECT_EQ(s.getCashboxSettings(""), nullptr);
}

struct BoolCase {
    const char* value;
    bool expected;
};

class ProfileBool : public testing::TestWithParam<BoolCase> {};

TEST_P(ProfileBool, ReadsLikeTheProfileCalls) {
    TempDir dir;
    dir.write("settings.ini", std::string("[system]\nTestMode=") + GetParam().value + "\n");
    EXPECT_EQ(AppSettings(dir.path()).systemTestMode(), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileBool,
    testing::Values(BoolCase{"1", true}, BoolCase{"2", true}, BoolCase{"0x1", true},
                    BoolCase{"0X10", true}, BoolCase{" 1 ", true}, BoolCase{"\"1\"", true},
                    BoolCase{"-1", true}, BoolCase{"0", false}, BoolCase{"0x0", false},
                    BoolCase{"true", false}, BoolCase{"", false}, BoolCase{"yes", false},
                    BoolCase{"1abc", false}, BoolCase{"1.0", false}, BoolCase{"2 3", false},
                    BoolCase{"0x1g", false}, BoolCase{"0x", false}, BoolCase{"-", false},
                    BoolCase{"+7", true}, BoolCase{"0xff", true}),
    [](const auto& info) { return th::test::caseName(info.index, info.param.value); });

struct CommaCase {
    std::string text;
    std::vector<std::string> items;
};

class CommaText : public testing::TestWithParam<CommaCase> {};

TEST_P(CommaText, Reads) {
    EXPECT_EQ(th::splitCommaText(GetParam().text), GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(Values, CommaText,
                         testing::Values(CommaCase{"", {}}, CommaCase{"123,456", {"123", "456"}},
                                         CommaCase{"123, 456", {"123", "456"}},
                                         CommaCase{"  123 ,\t456  ", {"123", "456"}},
                                         CommaCase{"123,", {"123", ""}}, CommaCase{"\"\"", {""}},
                                         CommaCase{"\"a b\",\"x\"\"y\"", {"a b", "x\"y"}},
                                         CommaCase{"a b", {"a", "b"}},
                                         CommaCase{"\"open", {"open"}},
                                         CommaCase{std::string("1\0,2", 4), {"1"}}),
                         [](const auto& info) {
                             return th::test::caseName(info.index, info.param.text);
                         });

TEST(CommaText, WritingRoundTrips) {
    std::vector<std::vector<std::string>> lists = {
        {}, {""}, {"123", "456"}, {"a b", "x\"y", "c,d", ""}, {"тест", "1\t2"}};
    for (const auto& list : lists) {
        EXPECT_EQ(th::splitCommaText(th::joinCommaText(list)), list) << th::joinCommaText(list);
    }
    EXPECT_EQ(th::joinCommaText({}), "");
    EXPECT_EQ(th::joinCommaText({""}), "\"\"");
    EXPECT_EQ(th::joinCommaText({"a b", "c"}), "\"a b\",c");
}

TEST(Settings, ValuesAreTrimmedUnquotedCutAndNamesMatchAnyCase) {
    TempDir dir;
    std::string longValue(3000, 'x');
    dir.write("settings.ini",
              "; hand-written\n[AUTH]\n  TOKEN  =   \"abc def\"  \n[Cashboxes]\nSerials=7\n"
              "[7]\nkktserial=7\nAddress=" +
                  longValue + "\nPlace='кафе'\nautostart=1\n");
    AppSettings s(dir.path());
    EXPECT_EQ(s.token(), "abc def");
    auto r = s.getCashboxSettings("7");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->address.size(), 2047u);
    EXPECT_EQ(r->place, "кафе");
    EXPECT_TRUE(r->autostart);
}

TEST(Settings, SaveWritesKeysAndKeepsEverythingElse) {
    TempDir dir;
    const std::string system =
        "[system]\nTestMode=1\nKeepVersion=0x1\nTestUrl=http://127.0.0.1:1/dispatcher/v1\n";
    dir.write("settings.ini", "; merchant's note\n" + system + "\n[other]\nkept = yes\n");
    AppSettings s(dir.path());
    s.setToken("tok");
    s.setClientLog(true);
    s.setCashboxSettings(record("111"));
    s.save();
    std::string text = dir.read("settings.ini");
    EXPECT_NE(text.find("; merchant's note\n" + system), std::string::npos) << text;
    EXPECT_NE(text.find("[other]\nkept = yes\n"), std::string::npos);
    EXPECT_NE(text.find("[auth]\ntoken=tok\n"), std::string::npos);
    EXPECT_NE(text.find("[client]\nLog=1\n"), std::string::npos);
    EXPECT_NE(text.find("[111]\nToken=\nAddress=\nPlace=\nKKTSerial=111\n"), std::string::npos);
    EXPECT_NE(text.find("StopBits=\nParity=\nAutostart=1\n"), std::string::npos);

    AppSettings again(dir.path());
    EXPECT_EQ(again.token(), "tok");
    EXPECT_TRUE(again.clientLog());
    EXPECT_TRUE(again.systemTestMode());
    EXPECT_TRUE(again.keepVersion());
    EXPECT_EQ(*again.getCashboxSettings("111"), *record("111"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("settings.ini").c_str(), &st), 0);
}

TEST(Settings, NewFileIsReadableByTheOwnerOnly) {
    TempDir dir;
    AppSettings s(dir.path());
    s.setToken("secret");
    s.save();
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("settings.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
}

TEST(Settings, StoringARecordAgainNeverGrowsTheLists) {
    TempDir dir;
    AppSettings s(dir.path());
    s.setCashboxSettings(record("1"));
    s.setCashboxSettings(record("2"));
    auto first = s.getCashboxSettings("1");
    s.setCashboxSettings(first);
    s.setCashboxSettings(record("1", "COM3"));
    s.setCashboxSettings(record("2"));
    EXPECT_EQ(s.serials(), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(s.getCashboxSettings("1")->comPort, "COM3");
    EXPECT_EQ(s.cashboxes().size(), 2u);
}

TEST(Settings, DuplicateSerialsAndMissingSerialKey) {
    TempDir dir;
    dir.write("settings.ini",
              "[cashboxes]\nserials=5,5,9\n[5]\nKKTSerial=5\nPlace=later\n[9]\nPlace=nowhere\n");
    AppSettings s(dir.path());
    EXPECT_EQ(s.cashboxes().size(), 3u);
    EXPECT_EQ(s.getCashboxSettings("5")->place, "later");
    EXPECT_EQ(s.getCashboxSettings("9"), nullptr);
    EXPECT_EQ(s.getCashboxSettings("")->place, "nowhere");
}

TEST(Settings, SerialsIsCaseSensitiveForLookups) {
    TempDir dir;
    AppSettings s(dir.path());
    s.setCashboxSettings(record("ab"));
    EXPECT_EQ(s.getCashboxSettings("AB"), nullptr);
    EXPECT_NE(s.getCashboxSettings("ab"), nullptr);
}

TEST(Settings, SaveThatCannotWriteNamesThePathAndKeepsEarlierKeys) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("settings.ini"));  // a directory where the file goes
    AppSettings s(dir.path());
    s.setToken("t");
    try {
        s.save();
        FAIL() << "save must fail";
    } catch (const th::SettingsError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("settings.ini").string());
    }
    // Only the temporary file was ever written; nothing is left behind.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

namespace {

constexpr const char* kKeptSettings =
    "[auth]\ntoken=old\n[system]\nTestMode=1\n[cashboxes]\nserials=001\n[001]\n"
    "KKTSerial=001\nAutostart=1\n";

// Runs body in a child process without privileges and returns its exit code: as root the
// child drops to uid and gid 65534 first, so permission bits bind it; any other user is
// bound by them already.
int runUnprivileged(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
             ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(90);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

std::vector<std::string> entriesOf(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct GuardedFileCase {
    const char* what;
    std::filesystem::perms mode;
};

}  // namespace

// A settings.ini this process may not read and write stays exactly as it is, even in a
// folder it may write: the save fails at its first key, naming the file.
TEST(Settings, AFileThatCannotBeReadOrWrittenIsNeverReplaced) {
    using std::filesystem::perms;
    const GuardedFileCase cases[] = {
        {"read-only", perms::owner_read | perms::group_read | perms::others_read},
        {"unreadable", perms::owner_write},
        {"no access", perms::none},
    };
    for (const GuardedFileCase& c : cases) {
        TempDir dir;
        dir.write("settings.ini", kKeptSettings);
        std::filesystem::permissions(dir.path(), perms::all);
        std::filesystem::permissions(dir.file("settings.ini"), c.mode);
        const std::string expected = "Unable to write to " + dir.file("settings.ini").string();
        const int outcome = runUnprivileged([&] {
            AppSettings settings(dir.path());
            settings.setToken("new");
            settings.setClientLog(true);
            try {
                settings.save();
            } catch (const th::SettingsError& e) {
                return e.what() == expected ? 0 : 2;
            }
            return 1;
        });
        EXPECT_EQ(outcome, 0) << c.what << " (1: saved, 2: another message, 90: no user change)";
        EXPECT_EQ(std::filesystem::status(dir.file("settings.ini")).permissions(), c.mode)
            << c.what;
        std::filesystem::permissions(dir.file("settings.ini"), perms::owner_read);
        EXPECT_EQ(dir.read("settings.ini"), kKeptSettings) << c.what;
        EXPECT_EQ(entriesOf(dir), std::vector<std::string>{"settings.ini"}) << c.what;
    }
}

struct LinkCase {
    const char* what;
    std::function<std::filesystem::path(const TempDir& dir)> linkTarget;
    bool targetExists;
};

// settings.ini as a symbolic link (kept in a folder of its own, say): the save replaces the
// file the link names and the link stays a link.
TEST(Settings, ALinkIsFollowedAndItsTargetReplaced) {
    const LinkCase cases[] = {
        {"relative", [](const TempDir&) { return std::filesystem::path("real/settings.ini"); },
         true},
        {"absolute", [](const TempDir& dir) { return dir.file("real") / "settings.ini"; }, true},
        {"not there yet", [](const TempDir&) { return std::filesystem::path("real/new.ini"); },
         false},
    };
    for (const LinkCase& c : cases) {
        TempDir dir;
        std::filesystem::create_directory(dir.file("real"));
        if (c.targetExists)
            dir.write("real/settings.ini", kKeptSettings);
        const std::filesystem::path target = c.linkTarget(dir);
        std::filesystem::create_symlink(target, dir.file("settings.ini"));
        AppSettings settings(dir.path());
        settings.setToken("new");
        settings.save();

        EXPECT_TRUE(std::filesystem::is_symlink(dir.file("settings.ini"))) << c.what;
        EXPECT_EQ(std::filesystem::read_symlink(dir.file("settings.ini")), target) << c.what;
        AppSettings reread(dir.path());
        EXPECT_EQ(reread.token(), "new") << c.what;
        EXPECT_EQ(reread.systemTestMode(), c.targetExists) << c.what;
        EXPECT_EQ(reread.serials().size(), c.targetExists ? 1u : 0u) << c.what;
        EXPECT_EQ(entriesOf(dir), (std::vector<std::string>{"real", "settings.ini"})) << c.what;
    }
}

TEST(Settings, ALinkCycleIsRefusedAndLeftAsItIs) {
    TempDir dir;
    std::filesystem::create_symlink("other.ini", dir.file("settings.ini"));
    std::filesystem::create_symlink("settings.ini", dir.file("other.ini"));
    AppSettings settings(dir.path());
    settings.setToken("new");
    EXPECT_THROW(settings.save(), th::SettingsError);
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("settings.ini")), "other.ini");
    EXPECT_EQ(entriesOf(dir), (std::vector<std::string>{"other.ini", "settings.ini"}));
}

TEST(Settings, ValuesCannotForgeOtherKeys) {
    TempDir dir;
    AppSettings s(dir.path());
    s.setToken("x\n[system]\nTestMode=1");
    s.save();
    EXPECT_FALSE(AppSettings(dir.path()).systemTestMode());
}

TEST(Settings, GarbageFileStillLoads) {
    TempDir dir;
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131) % 256));
    dir.write("settings.ini", garbage + "\n[auth]\ntoken=ok\n");
    AppSettings s(dir.path());
    EXPECT_EQ(s.token(), "ok");
    s.save();
    EXPECT_EQ(AppSettings(dir.path()).token(), "ok");
}

TEST(Settings, ConcurrentSavesLeaveAWholeFile) {
    TempDir dir;
    AppSettings s(dir.path());
    for (int i = 0; i < 5; ++i)
        s.setCashboxSettings(record(std::to_string(i)));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            AppSettings seen(dir.path());
            auto serials = seen.serials();
            // A file that exists is always whole: either not yet written or all serials.
            if (!serials.empty()) {
                EXPECT_EQ(serials.size(), 5u);
            }
        }
    });
    std::thread worker([&] {
        for (int i = 0; i < 30; ++i) {
            s.setCashboxSettings(record("3", "COM" + std::to_string(i)));
            s.save();
        }
    });
    for (int i = 0; i < 30; ++i) {
        s.setToken("token" + std::to_string(i));
        s.save();
        (void)s.getCashboxSettings("3");
    }
    worker.join();
    stop = true;
    reader.join();
    EXPECT_EQ(AppSettings(dir.path()).serials().size(), 5u);
}
