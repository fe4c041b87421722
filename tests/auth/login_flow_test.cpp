// The start sequence's token check and login, through the program's own windows.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include "app/ShellTestKit.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

class LoginFlow : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
        dispatcher.answer("authorize", [](const Json& body) {
            if (body.value("password", "") != "right")
                return Json{{"status", 200}, {"data", {{"auth", false}}}};
            return Json{{"status", 200}, {"data", {{"auth", true}, {"token", "new-token"}}}};
        });
    }

    ShellDispatcher dispatcher;
};

}  // namespace

TEST_F(LoginFlow, AcceptedStoredTokenNeverShowsTheDialog) {
    dispatcher.answerJson("test", testAnswer(true));
    ShellHarness shell(dispatcher.settingsIni("stored-token"));
    shell.start();
    shell.showMainWindow();

    EXPECT_EQ(shell.modalRuns, 0);
    EXPECT_EQ(shell.quits, 0);
    EXPECT_EQ(shell.dialogs.count(), 0u);
    ASSERT_EQ(dispatcher.count("test"), 1u);
    EXPECT_EQ(dispatcher.requests("test")[0].apiKey, "stored-token");
    EXPECT_EQ(dispatcher.requests("test")[0].body, Json::object());
    ASSERT_EQ(dispatcher.count("getsalepoints"), 1u);
    EXPECT_EQ(AppSettings(shell.home.path()).token(), "stored-token");
}

TEST_F(LoginFlow, RefusedTokenThenWrongThenRightPasswordStoresTheNewToken) {
    dispatcher.answerJson("test", {{"status", 401}, {"message", "Unauthorized"}});
    ShellHarness shell(dispatcher.settingsIni("old-token"));
    shell.loginScript = [&](LoginDialog& dialog) {
        control<QLineEdit>(dialog, "loginEdit")->setText("user@example.com");
        control<QLineEdit>(dialog, "passwordEdit")->setText("wrong");
        dialog.signIn();
        EXPECT_TRUE(shell.dialogs.contains("Неверное имя пользователя или пароль"));
        EXPECT_EQ(control<QLineEdit>(dialog, "passwordEdit")->text(), "");
        EXPECT_EQ(control<QLineEdit>(dialog, "loginEdit")->text(), "user@example.com");
        EXPECT_FALSE(dialog.isAuthorized());
        control<QLineEdit>(dialog, "passwordEdit")->setText("right");
        dialog.signIn();
        return dialog.result();
    };
    shell.start();
    shell.showMainWindow();

    EXPECT_EQ(shell.modalRuns, 1);
    EXPECT_EQ(shell.quits, 0);
    // The refused token check itself says nothing: only the wrong password's message.
    EXPECT_EQ(shell.dialogs.texts(),
              std::vector<std::string>{"Неверное имя пользователя или пароль"});
    EXPECT_EQ(AppSettings(shell.home.path()).token(), "new-token");
    auto logins = dispatcher.requests("authorize");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(dumpCompact(logins[1].body), R"({"login":"user@example.com","password":"right"})");
    auto lists = dispatcher.requests("getsalepoints");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].apiKey, "new-token");
}

TEST_F(LoginFlow, CancelledLoginEndsWithoutAskingForTheList) {
    dispatcher.answerJson("test", testAnswer(false));
    ShellHarness shell(dispatcher.settingsIni(""));
    shell.loginScript = [](LoginDialog& dialog) {
        control<QPushButton>(dialog, "cancelButton")->click();
        return dialog.result();
    };
    shell.start();
    shell.showMainWindow();

    EXPECT_EQ(shell.modalRuns, 1);
    EXPECT_EQ(shell.quits, 1);
    EXPECT_FALSE(shell.app->loginDialog().isAuthorized());
    EXPECT_EQ(dispatcher.count("authorize"), 0u);
    EXPECT_EQ(dispatcher.count("getsalepoints"), 0u);
    EXPECT_EQ(shell.dialogs.count(), 0u);
}

// A workstation that starts before its network: no box, no login, no end; the window says
// why it waits and tries again.
TEST_F(LoginFlow, ServiceDownAtStartWaitsWithoutABoxOrTheDialog) {
    ShellHarness shell(settingsIniFor(closedPort(), "stored-token"));
    shell.start();
    shell.showMainWindow();

    MainWindow& form = shell.app->mainWindow();
    EXPECT_EQ(shell.modalRuns, 0);
    EXPECT_EQ(shell.quits, 0);
    EXPECT_EQ(shell.dialogs.count(), 0u) << shell.dialogs.texts().front();
    EXPECT_FALSE(form.isClosing());
    EXPECT_TRUE(form.isWaitingForService());
    EXPECT_EQ(form.serviceStatus().toStdString(), "Нет связи с сервисом — повтор через 5 с");
    const std::string expected =
        "Нет связи с сервисом: RestRequestError ошибка : REST request failed: ";
    EXPECT_EQ(form.messageLine().toStdString().substr(0, expected.size()), expected);
    EXPECT_EQ(AppSettings(shell.home.path()).token(), "stored-token");
}

TEST_F(LoginFlow, TokenThatCannotBeSavedIsReportedAndKeptInMemory) {
    dispatcher.answerJson("test", testAnswer(false));
    ShellHarness shell(dispatcher.settingsIni("old-token"));
    shell.start();
    // A directory where settings.ini should be: no write succeeds, not even for root.
    std::filesystem::remove(shell.home.file("settings.ini"));
    std::filesystem::create_directory(shell.home.file("settings.ini"));
    shell.loginScript = [](LoginDialog& dialog) {
        control<QLineEdit>(dialog, "passwordEdit")->setText("right");
        dialog.signIn();
        return dialog.result();
    };
    shell.showMainWindow();

    ASSERT_EQ(shell.dialogs.count(), 1u);
    EXPECT_EQ(shell.dialogs.texts()[0].rfind("SettingsError ошибка : Unable to write to", 0), 0u)
        << shell.dialogs.texts()[0];
    EXPECT_EQ(shell.quits, 0);
    ASSERT_EQ(dispatcher.count("getsalepoints"), 1u);
    EXPECT_EQ(dispatcher.requests("getsalepoints")[0].apiKey, "new-token");
}
