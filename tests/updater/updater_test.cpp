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
#include "support/TempDir.h"
#include "updater/UpdateActions.h"
#include "updater/Updater.h"

namespace th {
namespace {

using test::DispatcherStub;
using test::TempDir;

Json offering(const std::string& version) {
    return Json{{"status", 200}, {"data", {{"new_version", version}}}};
}

TEST(Version, TheBuildCarriesItsVersion) {
    TempDir dir;
    TAppSettings settings(dir.path());
    RecordingDialogs dialogs;
    TUpdater updater(settings, dialogs);
    EXPECT_EQ(updater.strVersion(), "1.0.1.0");
    EXPECT_EQ(updater.FileVersion(), "1.0.1.0");
    EXPECT_EQ(updater.strNewVersion(), "0.0.0.0");
    EXPECT_EQ(updater.FileNameVersion("/bin/sh"), "");
}

struct OfferCase {
    const char* offered;
    int comparison;  // CompareVersions(1.0.1.0, offered)
    const char* parsedAs;
};

TEST(Version, OfferedVersionsAgainstTheRunningOne) {
    const TVersion running = StrToVersion("1.0.1.0");
    const OfferCase cases[] = {
        {"1.0.1.0", 0, "1.0.1.0"},     {"1.0.0.9", -1, "1.0.0.9"},
        {"1.0.2.0", 1, "1.0.2.0"},     {"1.0.0.101", 1, "1.0.0.101"},
        {"1.0.0.100", 0, "1.0.0.100"}, {"1.0.2.0.7", 1, "1.0.2.0"},
        {"1.0.2.0.x.", 1, "1.0.2.0"},  {"2147483647.0.0.0", 1, "2147483647.0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        const TVersion offered = StrToVersion(c.offered);
        EXPECT_EQ(VersionToStr(offered), c.parsedAs);
        EXPECT_EQ(CompareVersions(running, offered), c.comparison);
        EXPECT_EQ(CompareVersions(offered, running), -c.comparison);
    }
}

TEST(Version, TextsThatAreNoVersion) {
    for (const char* text : {"1.0.2", "", "1.0.2.", "1..0.0", "1.a.0.0", " 1.0.0.0", "1.0.0.0x",
                             "1,0,0,0", "4294967296.0.0.0", "+1.0.0.0"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(StrToVersion(text), VersionError);
    }
}

// A settings file pointing at the stub, and an updater on it.
struct UpdaterFixture : ::testing::Test {
    void SetUp() override { load(stub.settingsIni()); }
    void load(const std::string& ini) {
        dir.write("settings.ini", ini);
        settings = std::make_unique<TAppSettings>(dir.path());
        updater = std::make_unique<TUpdater>(*settings, dialogs);
        actions = std::make_unique<UpdateActions>(*updater, dialogs, hooks());
    }
    UpdateActions::Hooks hooks() {
        return {.isUpdateEnabled = [this] { return updateEnabled; },
                .enableUpdate = [this] { updateEnabled = true; },
                .appClose = [this] { ++appClosed; },
                .startUpdater = [this] { ++updaterStarted; }};
    }

    DispatcherStub stub;
    TempDir dir;
    RecordingDialogs dialogs;
    std::unique_ptr<TAppSettings> settings;
    std::unique_ptr<TUpdater> updater;
    std::unique_ptr<UpdateActions> actions;
    bool updateEnabled = false;
    int appClosed = 0;
    int updaterStarted = 0;
};

TEST_F(UpdaterFixture, KeepVersionAsksNothing) {
    load(stub.settingsIni() + "KeepVersion=1\n");
    stub.answerJson("swversion", offering("9.0.0.0"));
    EXPECT_FALSE(updater->CheckUpdate());
    actions->ActionCheckUpdateExecute(true);
    EXPECT_EQ(stub.requests().size(), 0u);
    EXPECT_FALSE(updateEnabled);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{kNoUpdatesMessage});
}

TEST_F(UpdaterFixture, NoNewerVersionIsSilentUnlessTheUserAsked) {
    stub.answerJson("swversion", offering("1.0.0.100"));
    actions->ActionCheckUpdateExecute(false);
    EXPECT_EQ(dialogs.count(), 0u);
    actions->ActionCheckUpdateExecute(true);
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].kind, BoxKind::Information);
    EXPECT_EQ(dialogs.texts()[0], "Обновлений не найдено");
    EXPECT_EQ(stub.count("swversion"), 2u);
    EXPECT_FALSE(updateEnabled);
    EXPECT_EQ(appClosed, 0);
}

TEST_F(UpdaterFixture, OfferedUpdateCancelledStaysAvailableWithoutAskingAgain) {
    stub.answerJson("swversion", offering("1.0.2.0"));
    actions->ActionCheckUpdateExecute(false);  // the start-up check
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
    actions->ActionCheckUpdateExecute(true);
    EXPECT_EQ(stub.count("swversion"), 1u);
    EXPECT_EQ(dialogs.count(), 2u);
    EXPECT_EQ(updaterStarted, 1);
    EXPECT_EQ(appClosed, 1);
    EXPECT_TRUE(actions->updateStarted());
}

TEST_F(UpdaterFixture, AcceptedAtStartUpStartsTheUpdaterAndEnds) {
    stub.answerJson("swversion", offering("1.0.0.101"));
    dialogs.scriptAnswer(true);
    actions->ActionCheckUpdateExecute(false);
    EXPECT_EQ(updater->strNewVersion(), "1.0.0.101");
    EXPECT_EQ(updaterStarted, 1);
    EXPECT_EQ(appClosed, 1);
    EXPECT_TRUE(actions->updateStarted());
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
        EXPECT_THROW(actions->ActionCheckUpdateExecute(true), Error);
        EXPECT_FALSE(updateEnabled);
        EXPECT_EQ(updater->strNewVersion(), "0.0.0.0");
    }
    // Only the refused answer showed the client's failure box.
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{"Error: Доступ запрещён"});
    stub.answerJson("swversion", Json{{"status", 200}, {"data", Json::object()}});
    try {
        updater->CheckUpdate();
        FAIL();
    } catch (const UpdateCheckError& e) {
        EXPECT_STREQ(e.what(), kNoNewVersionMessage);
    }
}

TEST(UpdateCheckWithSandbox, StartUpOffersTheVersionTheServiceNames) {
    sandbox::SandboxOptions options;
    options.newVersion = "1.0.2.0";
    sandbox::SandboxServer service(options);
    const int port = service.start();
    TempDir dir;
    dir.write("settings.ini", "[system]\nTestMode=1\nTestUrl=http://127.0.0.1:" +
                                  std::to_string(port) + "/dispatcher/v1\n");
    TAppSettings settings(dir.path());
    RecordingDialogs dialogs;
    TUpdater updater(settings, dialogs);
    bool enabled = false;
    int appClosed = 0;
    UpdateActions actions(updater, dialogs,
                          {.isUpdateEnabled = [&] { return enabled; },
                           .enableUpdate = [&] { enabled = true; },
                           .appClose = [&] { ++appClosed; },
                           .startUpdater = [] {}});
    actions.ActionCheckUpdateExecute(false);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{outdatedWarning("1.0.2.0")});
    EXPECT_EQ(appClosed, 0);
}

TEST(UpdateProgram, StartsUpdFromTheCurrentDirectoryThenCloses) {
    TempDir dir;
    dir.write("upd", "#!/bin/sh\necho \"$#:$(pwd)\" > started.tmp && mv started.tmp started\n");
    std::filesystem::permissions(dir.file("upd"), std::filesystem::perms::owner_all);
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path().string())));

    RecordingDialogs dialogs;
    TAppSettings settings(dir.path());
    TUpdater updater(settings, dialogs);
    int appClosed = 0;
    bool enabled = true;
    UpdateActions actions(updater, dialogs,
                          {.isUpdateEnabled = [&] { return enabled; },
                           .enableUpdate = [&] { enabled = true; },
                           .appClose = [&] { ++appClosed; }});
    actions.ActionUpdateExecute();
    QDir::setCurrent(previous);
    EXPECT_EQ(appClosed, 1);
    EXPECT_EQ(dialogs.count(), 0u);

    // The updater runs detached; wait for its mark (the cap only guards a broken machine).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(dir.file("started")) &&
           std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(dir.read("started"), "0:" + std::filesystem::canonical(dir.path()).string() + "\n");
}

}  // namespace
}  // namespace th
