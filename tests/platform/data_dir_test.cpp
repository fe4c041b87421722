#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/DataDir.h"
#include "support/TempDir.h"

using th::test::TempDir;

namespace {

struct LayoutCase {
    const char* name;
    std::vector<const char*> files;  // relative to the prefix; the executable is in bin/
    bool installed;
};

class DataPathsLayout : public testing::TestWithParam<LayoutCase> {};

}  // namespace

TEST_P(DataPathsLayout, PortableOrInstalled) {
    TempDir prefix;
    std::filesystem::create_directories(prefix.file("bin"));
    for (const char* file : GetParam().files) {
        std::filesystem::create_directories(prefix.file(file).parent_path());
        prefix.write(file, "");
    }
    unsetenv("TILLHAVEN_HOME");
    setenv("XDG_CONFIG_HOME", prefix.file("config").c_str(), 1);
    setenv("XDG_DATA_HOME", prefix.file("data").c_str(), 1);
    const th::DataPaths paths = th::resolveDataPaths(prefix.file("bin"));
    EXPECT_EQ(paths.installed, GetParam().installed);
    if (GetParam().installed) {
        EXPECT_EQ(paths.settingsFile(), prefix.file("config") / "tillhaven" / "settings.ini");
        EXPECT_EQ(paths.journalFile(), prefix.file("data") / "tillhaven" / "checks.db");
    } else {
        EXPECT_EQ(paths.settingsDir, prefix.file("bin"));
        EXPECT_EQ(paths.journalDir, prefix.file("bin"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DataPathsLayout,
    testing::Values(LayoutCase{"build tree", {"bin/checks.db", "share/tillhaven/checks.db"}, false},
                    LayoutCase{"portable with settings", {"bin/settings.ini"}, false},
                    LayoutCase{"writable, no template", {}, false},
                    LayoutCase{"installed", {"share/tillhaven/checks.db"}, true}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(DataPaths, TillhavenHomeWins) {
    TempDir home;
    setenv("TILLHAVEN_HOME", home.path().c_str(), 1);
    const th::DataPaths paths = th::resolveDataPaths("/usr/bin");
    unsetenv("TILLHAVEN_HOME");
    EXPECT_EQ(paths.settingsDir, home.path());
    EXPECT_EQ(paths.journalDir, home.path());
}

// Without HOME an installed program has no place of its own: it says so rather than write
// into the directory it was started from. A relative XDG directory counts as none.
TEST(DataPaths, AnInstalledProgramWithoutHomeNamesTheMissingDirectory) {
    TempDir prefix;
    std::filesystem::create_directories(prefix.file("bin"));
    std::filesystem::create_directories(prefix.file("share/tillhaven"));
    prefix.write("share/tillhaven/checks.db", "");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("TILLHAVEN_HOME");
    struct Case {
        const char* home;  // nullptr: unset
        const char* xdg;
    };
    for (const Case& c : {Case{nullptr, nullptr}, Case{"", nullptr}, Case{"relative", nullptr},
                          Case{nullptr, "relative/config"}}) {
        SCOPED_TRACE(std::string(c.home ? c.home : "(unset)") + " " + (c.xdg ? c.xdg : ""));
        c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
        if (c.xdg) {
            setenv("XDG_CONFIG_HOME", c.xdg, 1);
            setenv("XDG_DATA_HOME", c.xdg, 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
            unsetenv("XDG_DATA_HOME");
        }
        try {
            th::resolveDataPaths(prefix.file("bin"));
            ADD_FAILURE() << "a data directory was made up";
        } catch (const th::DataDirError& e) {
            EXPECT_STREQ(e.what(),
                         "Не удалось найти каталог данных программы: переменная окружения HOME "
                         "не задана. Задайте HOME или TILLHAVEN_HOME.");
        }
    }
    // TILLHAVEN_HOME alone is enough; so are absolute XDG directories.
    setenv("TILLHAVEN_HOME", prefix.path().c_str(), 1);
    EXPECT_EQ(th::resolveDataPaths(prefix.file("bin")).settingsDir, prefix.path());
    unsetenv("TILLHAVEN_HOME");
    setenv("XDG_CONFIG_HOME", prefix.file("config").c_str(), 1);
    setenv("XDG_DATA_HOME", prefix.file("data").c_str(), 1);
    EXPECT_EQ(th::resolveDataPaths(prefix.file("bin")).settingsDir,
              prefix.file("config") / "tillhaven");
    home.empty() ? unsetenv("HOME") : setenv("HOME", home.c_str(), 1);
}
