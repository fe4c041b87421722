// Before Qt: the sandbox has a member named like Qt's "emit" keyword macro.
#include "SandboxServer.h"

#include <gtest/gtest.h>

#include <QDir>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "DispatcherStub.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/CurrentDirectory.h"
#include "support/TempDir.h"
#include "updater/UpdateActions.h"
#include "updater/Updater.h"

namespace th {
namespace {

using test::DispatcherStub;
using test::CurrentDirectory;
using test::TempDir;

Json offering(const std::string& version) {
    return Json{{"status", 200}, {"data", {{"new_version", version}}}};
}

TEST(Version, TheBuildCarriesItsVersion) {
    TempDir dir;
    AppSettings settings(dir.path());
    RecordingDialogs dialogs;
    Updater updater(settings, dialogs);
    EXPECT_EQ(updater.currentVersionText(), "1.0.1.0");
    EXPECT_EQ(updater.fileVersion(), "1.0.1.0");
    EXPECT_EQ(updater.offeredVersionText(), "0.0.0.0");
    EXPECT_EQ(updater.fileNameVersion("/bin/sh"), "");
}

struct OfferCase {
    const char* offered;
    int comparison;  // compareVersions(1.0.1.0, offered)
    const char* parsedAs;
};

TEST(Version, OfferedVersionsAgainstTheRunningOne) {
    const VersionNumber running = parseVersion("1.0.1.0");
    const OfferCase cases[] = {
        {"1.0.1.0", 0, "1.0.1.0"},     {"1.0.0.9", -1, "1.0.0.9"},
        {"1.0.2.0", 1, "1.0.2.0"},     {"1.0.0.101", 1, "1.0.0.101"},
        {"1.0.0.100", 0, "1.0.0.100"}, {"1.0.2.0.7", 1, "1.0.2.0"},
        {"1.0.2.0.x.", 1, "1.0.2.0"},  {"2147483647.0.0.0", 1, "2147483647.0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        const VersionNumber offered = parseVersion(c.offered);
        EXPECT_EQ(versionText(offered), c.parsedAs);
        EXPECT_EQ(compareVersions(running, offered), c.comparison);
        EXPECT_EQ(compareVersions(offered, running), -c.comparison);
    }
}

TEST(Version, TextsThatAreNoVersion) {
    for (const char* text : {"1.0.2", "", "1.0.2.", "1..0.0", "1.a.0.0", " 1.0.0.0", "1.0.0.0x",
                             "1,0,0,0", "4294967296.0.0.0", "+1.0.0.0"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parseVersion(text), VersionError);
    }
}

// A settings file pointing at the stub, and an updater on it.
struct UpdaterFixture : ::testing::Test {
    void SetUp() override { load(stub.settingsIni()); }
    void load(const std::string& ini) {
        dir.write("settings.ini", ini);
        settings = std::make_unique<AppSettings>(dir.path());
        updater = std::make_unique<Updater>(*settings, dialogs);
        actions = std::make_unique<UpdateActions>(*updater, dialogs, hooks());
    }
    UpdateActions::Hooks hooks() {
        return {.isUpdateEnabled = [this] { return updateEnabled; },
                .enableUpdate = [this] { updateEnabled = true; },
                .appClose = [this] { ++appClosed; },
                .startUpdater =
                    [this] {
                        ++updaterStarted;
                        return UpdaterStart{updaterFound ? UpdaterStart::Outcome::Started
                                                         : UpdaterStart::Outcome::NotFound,
                                            {}};
                    }};
    }

    DispatcherStub stub;
    TempDir dir;
    RecordingDialogs dialogs;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<UpdateActions> actions;
    bool updateEnabled = false;
    int appClosed = 0;
    int updaterStarted = 0;
    bool updaterFound = true;
};

TEST_F(UpdaterFixture, KeepVersionAsksNothing) {
    load(stub.settingsIni() + "KeepVersion=1\n");
    stub.answerJson("swversion", offering("9.0.0.0"));
    EXPECT_FALSE(updater->checkUpdate());
    actions->checkForUpdate(true);
    EXPECT_EQ(stub.requests().size(), 0u);
    EXPECT_FALSE(updateEnabled);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{kNoUpdatesMessage});
}

TEST_F(UpdaterFixture, NoNewerVersionIsSilentUnlessTheUserAsked) {
    stub.answerJson("swversion", offering("1.0.0.100"));
    actions->checkForUpdate(false);
    EXPECT_EQ(dialogs.count(), 0u);
    actions->checkForUpdate(true);
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].kind, BoxKind::Information);
    EXPECT_EQ(dialogs.texts()[0], "Обновлений не найдено");
    EXPECT_EQ(stub.count("swversion"), 2u);
    EXPECT_FALSE(updateEnabled);
    EXPECT_EQ(appClosed, 0);
}

TEST_F(UpdaterFixture, OfferedUpdateCancelledStaysAvailableWithoutAskingAgain) {
    stub.answerJson("swversion", offering("1.0.2.0"));
    actions->checkForUpdate(false);  // the start-up check
    ASSERT_EQ(dialogs.count(), 1u);
    const auto box = dialogs.boxes()[0];
    EXPECT_TRUE(box.question);
    EXPECT_EQ(box.kind, BoxKind::Warning);
    EXPECT_EQ(box.text,
              "Версия программы устарела. Некоторые функции могут перестать работать. "
              "Необходимо обновление до версии 1.0.2.0\r\nНажмите ДА чтобы обновить сейчас");
    EXPECT_TRUE(updateEnabled);
    EXPECT_EQ(updaterStarted, 0);
    EXPECT_EQ(appClosed, 0);

    dialogs.scriptAnswer(true);
    actions->checkForUpdate(true);
    EXPECT_EQ(stub.count("swversion"), 1u);
    EXPECT_EQ(dialogs.count(), 2u);
    EXPECT_EQ(updaterStarted, 1);
    EXPECT_EQ(appClosed, 1);
    EXPECT_TRUE(actions->updateStarted());
}

TEST_F(UpdaterFixture, AcceptedAtStartUpStartsTheUpdaterAndEnds) {
    stub.answerJson("swversion", offering("1.0.0.101"));
    dialogs.scriptAnswer(true);
    actions->checkForUpdate(false);
    EXPECT_EQ(updater->offeredVersionText(), "1.0.0.101");
    EXPECT_EQ(updaterStarted, 1);
    EXPECT_EQ(appClosed, 1);
    EXPECT_TRUE(actions->updateStarted());
}

TEST_F(UpdaterFixture, WithoutAnUpdaterProgramTheClientKeepsRunningAndNamesTheVersion) {
    updaterFound = false;
    stub.answerJson("swversion", offering("1.0.2.0"));
    dialogs.scriptAnswer(true);
    actions->checkForUpdate(false);  // accepted at start-up
    actions->startUpdate();          // "Обновить" from the tray menu later on
    EXPECT_EQ(updaterStarted, 2);
    EXPECT_EQ(appClosed, 0);
    EXPECT_FALSE(actions->updateStarted());
    EXPECT_TRUE(updateEnabled);
    ASSERT_EQ(dialogs.count(), 3u);
    for (size_t i : {1u, 2u}) {
        const auto box = dialogs.boxes()[i];
        EXPECT_FALSE(box.question);
        EXPECT_EQ(box.kind, BoxKind::Information);
        EXPECT_EQ(box.text,
                  "Программа обновления не найдена. Обновление до версии 1.0.2.0 "
                  "устанавливается через менеджер пакетов системы");
    }
}

TEST_F(UpdaterFixture, UnusableAnswersChangeNothing) {
    const Json answers[] = {
        Json{{"status", 200}, {"data", Json::object()}},
        Json{{"status", 200}, {"data", {{"new_version", "1.0.2"}}}},
        Json{{"status", 403}, {"message", "Доступ запрещён"}},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(dumpCompact(answer));
        stub.answerJson("swversion", answer);
        EXPECT_THROW(actions->checkForUpdate(true), Error);
        EXPECT_FALSE(updateEnabled);
        EXPECT_EQ(updater->offeredVersionText(), "0.0.0.0");
    }
    // Only the refused answer showed the client's failure box.
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Error: Доступ запрещён"});
    stub.answerJson("swversion", Json{{"status", 200}, {"data", Json::object()}});
    try {
        updater->checkUpdate();
        FAIL();
    } catch (const UpdateCheckError& e) {
        EXPECT_STREQ(e.what(), kNoNewVersionMessage);
    }
}

// Nobody may be at the screen when the program starts: an offer enables "Обновить" and is
// told, never asked; a refusal of the service is a report, never a box.
TEST_F(UpdaterFixture, TheStartUpCheckNeverWaitsForAnAnswer) {
    std::vector<std::string> reports;
    ReportingDialogs reporting([&](const std::string& text) { reports.push_back(text); });
    stub.answerJson("swversion", Json{{"status", 403}, {"message", "Доступ запрещён"}});
    EXPECT_THROW(actions->checkAtStartup(reporting), Error);
    EXPECT_EQ(reports, std::vector<std::string>{"Error: Доступ запрещён"});

    stub.answerJson("swversion", offering("1.0.0.100"));
    EXPECT_EQ(actions->checkAtStartup(reporting), std::nullopt);
    stub.answerJson("swversion", offering("1.0.2.0"));
    EXPECT_EQ(actions->checkAtStartup(reporting),
              "Версия программы устарела. Некоторые функции могут перестать работать. "
              "Необходимо обновление до версии 1.0.2.0");
    EXPECT_TRUE(updateEnabled);
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_EQ(updaterStarted, 0);
    EXPECT_EQ(appClosed, 0);
}

TEST(UpdateCheckWithSandbox, StartUpOffersTheVersionTheServiceNames) {
    sandbox::SandboxOptions options;
    options.newVersion = "1.0.2.0";
    sandbox::SandboxServer service(options);
    const int port = service.start();
    TempDir dir;
    dir.write("settings.ini", "[system]\nTestMode=1\nTestUrl=http://127.0.0.1:" +
                                  std::to_string(port) + "/dispatcher/v1\n");
    AppSettings settings(dir.path());
    RecordingDialogs dialogs;
    Updater updater(settings, dialogs);
    bool enabled = false;
    int appClosed = 0;
    UpdateActions actions(updater, dialogs,
                          {.isUpdateEnabled = [&] { return enabled; },
                           .enableUpdate = [&] { enabled = true; },
                           .appClose = [&] { ++appClosed; },
                           .startUpdater =
                               [] {
                                   return UpdaterStart{UpdaterStart::Outcome::Started, {}};
                               }});
    actions.checkForUpdate(false);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{outdatedWarning("1.0.2.0")});
    EXPECT_EQ(appClosed, 0);
}

// An "upd" that records its argument count and working directory in "started" beside it.
void writeRecordingUpdater(const TempDir& dir) {
    dir.write("upd",
              "#!/bin/sh\necho \"$#:$(pwd)\" > \"$(dirname \"$0\")/started.tmp\" && "
              "mv \"$(dirname \"$0\")/started.tmp\" \"$(dirname \"$0\")/started\"\n");
    std::filesystem::permissions(dir.file("upd"), std::filesystem::perms::owner_all);
}

// The updater runs detached; waits for its mark (the cap only guards a broken machine).
std::string waitForStartMark(const TempDir& dir) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(dir.file("started")) &&
           std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return dir.read("started");
}

enum class Upd { None, Executable, NotExecutable, Directory };

void placeUpd(const TempDir& dir, Upd kind) {
    namespace fs = std::filesystem;
    switch (kind) {
        case Upd::None:
            return;
        case Upd::Executable:
        case Upd::NotExecutable:
            dir.write("upd", "#!/bin/sh\n");
            fs::permissions(dir.file("upd"), kind == Upd::Executable
                                                 ? fs::perms::owner_all
                                                 : fs::perms::owner_read | fs::perms::owner_write);
            return;
        case Upd::Directory:
            fs::create_directory(dir.file("upd"));
            fs::permissions(dir.file("upd"), fs::perms::owner_all);
            return;
    }
}

struct LookupCase {
    Upd inCurrentDir;
    Upd besideExecutable;
    const char* found;  // "current", "executable" or "" for none
};

TEST(UpdateProgram, LookedForInTheCurrentDirectoryThenBesideTheExecutable) {
    const LookupCase cases[] = {
        {Upd::Executable, Upd::Executable, "current"},
        {Upd::None, Upd::Executable, "executable"},
        {Upd::NotExecutable, Upd::Executable, "executable"},
        {Upd::Directory, Upd::Executable, "executable"},
        {Upd::NotExecutable, Upd::NotExecutable, ""},
        {Upd::Directory, Upd::None, ""},
        {Upd::None, Upd::None, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.inCurrentDir)) + "/" +
                     std::to_string(static_cast<int>(c.besideExecutable)));
        TempDir current, executable;
        placeUpd(current, c.inCurrentDir);
        placeUpd(executable, c.besideExecutable);
        const auto found = findUpdaterProgram(current.path(), executable.path());
        const std::string expected = c.found;
        if (expected.empty()) {
            EXPECT_FALSE(found);
            EXPECT_EQ(startUpdaterProgram(current.path(), executable.path()).outcome,
                      UpdaterStart::Outcome::NotFound);
        } else {
            ASSERT_TRUE(found);
            EXPECT_EQ(*found, (expected == "current" ? current : executable).file("upd"));
        }
    }
}

TEST(UpdateProgram, BesideTheExecutableItStartsInTheCurrentDirectory) {
    TempDir current, executable;
    writeRecordingUpdater(executable);
    ASSERT_TRUE(startUpdaterProgram(current.path(), executable.path()).started());
    EXPECT_EQ(waitForStartMark(executable),
              "0:" + std::filesystem::canonical(current.path()).string() + "\n");
}

// "Обновить" from the menu, with the process's current directory in dir, where the updater
// program is looked for first.
class UpdateFromTheMenu : public ::testing::Test {
protected:
    void startUpdateHere() {
        CurrentDirectory inDir(dir.path());
        actions.startUpdate();
    }

    TempDir dir;
    RecordingDialogs dialogs;
    AppSettings settings{dir.path()};
    Updater updater{settings, dialogs};
    int appClosed = 0;
    UpdateActions actions{updater,
                          dialogs,
                          {.isUpdateEnabled = [] { return true; },
                           .enableUpdate = [] {},
                           .appClose = [this] { ++appClosed; }}};
};

TEST_F(UpdateFromTheMenu, StartsUpdFromTheCurrentDirectoryThenCloses) {
    writeRecordingUpdater(dir);
    startUpdateHere();
    EXPECT_EQ(appClosed, 1);
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_EQ(waitForStartMark(dir), "0:" + std::filesystem::canonical(dir.path()).string() + "\n");
}

// An executable "upd" whose interpreter is missing is found but cannot start: the client
// says so and keeps running, "Обновить" still offered.
TEST_F(UpdateFromTheMenu, OneThatCannotStartIsReportedAndTheProgramKeepsRunning) {
    dir.write("upd", "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(dir.file("upd"), std::filesystem::perms::owner_all);
    startUpdateHere();
    EXPECT_EQ(appClosed, 0);
    EXPECT_FALSE(actions.updateStarted());
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].kind, BoxKind::Error);
    EXPECT_EQ(dialogs.boxes()[0].text,
              "Не удалось запустить программу обновления " + dir.file("upd").string());
}

TEST_F(UpdateFromTheMenu, NoneInTheCurrentDirectoryNorBesideTheTestProgramKeepsRunning) {
    startUpdateHere();
    EXPECT_EQ(appClosed, 0);
    EXPECT_FALSE(actions.updateStarted());
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{packageManagerNotice("0.0.0.0")});
}

}  // namespace
}  // namespace th
