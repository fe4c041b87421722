// The main window's actions that reach the updater, the about box and the wizard.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QLabel>

#include <filesystem>

#include "app/MainWindow.h"
#include "app/ShellTestKit.h"
#include "support/Controls.h"
#include "updater/AboutDialog.h"
#include "updater/UpdateActions.h"
#include "wizard/AddCashboxWizard.h"

using namespace th;
using namespace th::test;

namespace {

std::string settingsWithUpdateCheck(int port) {
    return "[auth]\ntoken=stored\n[system]\nTestMode=1\nTestUrl=http://127.0.0.1:" +
           std::to_string(port) + "/dispatcher/v1\n";
}

Json offeredVersion(const std::string& version) {
    return {{"status", 200}, {"data", {{"new_version", version}}}};
}

// The process's current directory, where the updater program is looked for first.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::filesystem::path& directory)
        : previous_(QDir::currentPath()) {
        EXPECT_TRUE(QDir::setCurrent(QString::fromStdString(directory.string())));
    }
    ~CurrentDirectory() { QDir::setCurrent(previous_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    QString previous_;
};

}  // namespace

TEST(StartupUpdateCheck, SilentWithoutANewerVersionAndTheStartGoesOn) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.1.0"));
    dispatcher.answerJson("test", testAnswer(true));
    dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    shell.start();
    shell.showMainWindow();
    EXPECT_TRUE(shell.dialogs.texts().empty());
    EXPECT_FALSE(control<QAction>(shell.app->mainWindow(), "updateAction")->isEnabled());
    EXPECT_EQ(shell.app->mainWindow().notificationCount(), 0);
    EXPECT_EQ(dispatcher.count("getsalepoints"), 1u);
}

// Nobody may be at the screen at start: the offer is notified, never asked, and the start
// goes on. The user's own "Проверить обновления" asks, and "Да" starts the updater.
TEST(StartupUpdateCheck, ANewerVersionIsNotifiedAndAskedOnlyWhenTheUserChecks) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.2.0"));
    dispatcher.answerJson("test", testAnswer(true));
    dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    shell.home.write("upd", "#!/bin/sh\n");
    std::filesystem::permissions(shell.home.file("upd"), std::filesystem::perms::owner_all);
    CurrentDirectory inHome(shell.home.path());
    shell.dialogs.scriptAnswer(true);
    shell.start();
    MainWindow& form = shell.app->mainWindow();
    EXPECT_TRUE(shell.dialogs.texts().empty());
    EXPECT_FALSE(form.isClosing());
    EXPECT_TRUE(control<QAction>(form, "updateAction")->isEnabled());
    EXPECT_EQ(form.notificationCount(), 1);
    EXPECT_NE(shell.home.read(ProblemLog::kFileName).find("до версии 1.0.2.0"), std::string::npos);
    shell.showMainWindow();
    EXPECT_EQ(dispatcher.count("getsalepoints"), 1u);

    control<QAction>(form, "checkUpdateAction")->trigger();
    ASSERT_EQ(shell.dialogs.boxes().size(), 1u);
    EXPECT_NE(shell.dialogs.texts()[0].find("до версии 1.0.2.0\r\nНажмите ДА"), std::string::npos);
    EXPECT_TRUE(form.isClosing());
    EXPECT_EQ(shell.quits, 1);
}

TEST(StartupUpdateCheck, UpdateWithoutAnUpdaterProgramKeepsTheProgramRunning) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.2.0"));
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    CurrentDirectory inHome(shell.home.path());
    shell.start();
    MainWindow& form = shell.app->mainWindow();
    // "Обновить" is offered, in the tray menu too, and says where the update comes from.
    ASSERT_TRUE(control<QAction>(form, "updateAction")->isEnabled());
    control<QAction>(form, "updateAction")->trigger();
    EXPECT_FALSE(form.isClosing());
    EXPECT_EQ(shell.quits, 0);
    EXPECT_EQ(shell.dialogs.texts(), std::vector<std::string>{packageManagerNotice("1.0.2.0")});
}

TEST(StartupUpdateCheck, AnUnreachableServiceIsReportedWithoutABox) {
    const int deadPort = closedPort();
    ShellHarness shell(settingsWithUpdateCheck(deadPort));
    shell.start();
    EXPECT_TRUE(shell.dialogs.texts().empty());
    EXPECT_EQ(shell.app->mainWindow().notificationCount(), 1);
    EXPECT_NE(shell.home.read(ProblemLog::kFileName).find("REST request failed: "),
              std::string::npos);
    EXPECT_FALSE(shell.app->mainWindow().isClosing());
}

TEST(MainActions, MenuUpdateCheckSaysWhenThereIsNone) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.0.9"));
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    shell.start();
    control<QAction>(shell.app->mainWindow(), "checkUpdateAction")->trigger();
    EXPECT_EQ(shell.dialogs.texts(), std::vector<std::string>{"Обновлений не найдено"});
}

TEST(MainActions, AboutShowsTheVersionAndCancelledWizardChangesNothing) {
    ShellDispatcher dispatcher;
    ShellHarness shell(dispatcher.settingsIni("stored"));
    auto& app = shell.start();
    shell.loginScript = nullptr;
    MainWindow& form = app.mainWindow();
    // The harness rejects every dialog that is not the login: the wizard ends without success.
    control<QAction>(form, "aboutAction")->trigger();
    EXPECT_EQ(control<QLabel>(app.aboutDialog(), "versionLabel")->text().toStdString(), "1.0.1.0");
    control<QAction>(form, "addCashboxAction")->trigger();
    EXPECT_EQ(app.addCashboxWizard().settings(), &form.appSettings());
    EXPECT_EQ(shell.modalRuns, 2);
    EXPECT_EQ(dispatcher.count("getsalepoints"), 0u);
}
