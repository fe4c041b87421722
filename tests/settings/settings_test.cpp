#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "settings/AppSettings.h"
#include "support/TempDir.h"

using th::CashBoxSettingsPtr;
using th::TAppSettings;
using th::TCashBoxSettings;
using th::test::TempDir;

namespace {

CashBoxSettingsPtr record(const std::string& serial, const std::string& port = "") {
    auto r = std::make_shared<TCashBoxSettings>();
    r->KKTSerial = serial;
    r->Driver = "Атол";
    r->ConnectionType = port.empty() ? "USB" : "COM";
    r->ComPort = port;
    r->autostart = true;
    return r;
}

}  // namespace

TEST(Settings, NoFileGivesEmptyTextsAndFalseSwitches) {
    TempDir dir;
    TAppSettings s(dir.path());
    EXPECT_EQ(s.Token(), "");
    EXPECT_FALSE(s.SystemTestMode());
    EXPECT_FALSE(s.KeepVersion());
    EXPECT_FALSE(s.ClientLog());
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
    EXPECT_EQ(TAppSettings(dir.path()).SystemTestMode(), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, ProfileBool,
                         testing::Values(BoolCase{"1", true}, BoolCase{"2", true},
                                         BoolCase{"0x1", true}, BoolCase{"0X10", true},
                                         BoolCase{" 1 ", true}, BoolCase{"\"1\"", true},
                                         BoolCase{"-1", true}, BoolCase{"0", false},
                                         BoolCase{"0x0", false}, BoolCase{"true", false},
                                         BoolCase{"", false}, BoolCase{"yes", false}));

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
                                         CommaCase{std::string("1\0,2", 4), {"1"}}));

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
    TAppSettings s(dir.path());
    EXPECT_EQ(s.Token(), "abc def");
    auto r = s.getCashboxSettings("7");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Address.size(), 2047u);
    EXPECT_EQ(r->Place, "кафе");
    EXPECT_TRUE(r->autostart);
}

TEST(Settings, SaveWritesKeysAndKeepsEverythingElse) {
    TempDir dir;
    const std::string system =
        "[system]\nTestMode=1\nKeepVersion=0x1\nTestUrl=http://127.0.0.1:1/dispatcher/v1\n";
    dir.write("settings.ini", "; merchant's note\n" + system + "\n[other]\nkept = yes\n");
    TAppSettings s(dir.path());
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

    TAppSettings again(dir.path());
    EXPECT_EQ(again.Token(), "tok");
    EXPECT_TRUE(again.ClientLog());
    EXPECT_TRUE(again.SystemTestMode());
    EXPECT_TRUE(again.KeepVersion());
    EXPECT_EQ(*again.getCashboxSettings("111"), *record("111"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("settings.ini").c_str(), &st), 0);
}

TEST(Settings, NewFileIsReadableByTheOwnerOnly) {
    TempDir dir;
    TAppSettings s(dir.path());
    s.setToken("secret");
    s.save();
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("settings.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
}

TEST(Settings, StoringARecordAgainNeverGrowsTheLists) {
    TempDir dir;
    TAppSettings s(dir.path());
    s.setCashboxSettings(record("1"));
    s.setCashboxSettings(record("2"));
    auto first = s.getCashboxSettings("1");
    s.setCashboxSettings(first);
    s.setCashboxSettings(record("1", "COM3"));
    s.setCashboxSettings(record("2"));
    EXPECT_EQ(s.serials(), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(s.getCashboxSettings("1")->ComPort, "COM3");
    EXPECT_EQ(s.cashboxes().size(), 2u);
}

TEST(Settings, DuplicateSerialsAndMissingSerialKey) {
    TempDir dir;
    dir.write("settings.ini",
              "[cashboxes]\nserials=5,5,9\n[5]\nKKTSerial=5\nPlace=later\n[9]\nPlace=nowhere\n");
    TAppSettings s(dir.path());
    EXPECT_EQ(s.cashboxes().size(), 3u);
    EXPECT_EQ(s.getCashboxSettings("5")->Place, "later");
    EXPECT_EQ(s.getCashboxSettings("9"), nullptr);
    EXPECT_EQ(s.getCashboxSettings("")->Place, "nowhere");
}

TEST(Settings, SerialsIsCaseSensitiveForLookups) {
    TempDir dir;
    TAppSettings s(dir.path());
    s.setCashboxSettings(record("ab"));
    EXPECT_EQ(s.getCashboxSettings("AB"), nullptr);
    EXPECT_NE(s.getCashboxSettings("ab"), nullptr);
}

TEST(Settings, SaveThatCannotWriteNamesThePathAndKeepsEarlierKeys) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("settings.ini"));  // a directory where the file goes
    TAppSettings s(dir.path());
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

TEST(Settings, ValuesCannotForgeOtherKeys) {
    TempDir dir;
    TAppSettings s(dir.path());
    s.setToken("x\n[system]\nTestMode=1");
    s.save();
    EXPECT_FALSE(TAppSettings(dir.path()).SystemTestMode());
}

TEST(Settings, GarbageFileStillLoads) {
    TempDir dir;
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131) % 256));
    dir.write("settings.ini", garbage + "\n[auth]\ntoken=ok\n");
    TAppSettings s(dir.path());
    EXPECT_EQ(s.Token(), "ok");
    s.save();
    EXPECT_EQ(TAppSettings(dir.path()).Token(), "ok");
}

TEST(Settings, ConcurrentSavesLeaveAWholeFile) {
    TempDir dir;
    TAppSettings s(dir.path());
    for (int i = 0; i < 5; ++i)
        s.setCashboxSettings(record(std::to_string(i)));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            TAppSettings seen(dir.path());
            auto serials = seen.serials();
            // A file that exists is always whole: either not yet written or all serials.
            if (!serials.empty())
                EXPECT_EQ(serials.size(), 5u);
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
    EXPECT_EQ(TAppSettings(dir.path()).serials().size(), 5u);
}
