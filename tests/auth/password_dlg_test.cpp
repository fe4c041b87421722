// The login dialog on its own, against a dispatcher on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/ShellTestKit.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

class PasswordDialog : public ::testing::Test, public WithQtApplication {
protected:
    void SetUp() override {
        ensureQtApplication();
        home.write("settings.ini", dispatcher.settingsIni("stored-token"));
        settings = std::make_unique<AppSettings>(home.path());
        client.setSettings(settings.get());
        control<QLineEdit>(dialog, "loginEdit")->setText("user@example.com");
        control<QLineEdit>(dialog, "passwordEdit")->setText("secret");
    }

    ShellDispatcher dispatcher;
    TempDir home;
    std::unique_ptr<AppSettings> settings;
    RecordingDialogs dialogs;
    DispatcherClient client{dialogs};
    LoginDialog dialog{client, dialogs};
};

// The next widget that Tab reaches.
QWidget* nextTabStop(QWidget* widget) {
    QWidget* next = widget->nextInFocusChain();
    while (next != widget && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    return next;
}

struct TokenCheckCase {
    const char* name;
    const char* answer;
    bool authorized;
};

class TokenCheck : public PasswordDialog, public ::testing::WithParamInterface<TokenCheckCase> {};

struct LoginCase {
    const char* name;
    const char* answer;
    const char* message;
    bool passwordKept;
};

class UnusableLoginAnswer : public PasswordDialog,
                            public ::testing::WithParamInterface<LoginCase> {};

}  // namespace

TEST_P(TokenCheck, OnlyStatus200WithAuthTrueAuthorizesAndNothingIsShown) {
    dispatcher.answerJson("test", Json::parse(GetParam().answer));
    dialog.checkAuthBegin();
    EXPECT_EQ(dialog.isAuthorized(), GetParam().authorized);
    EXPECT_EQ(dialogs.count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TokenCheck,
    ::testing::Values(
        TokenCheckCase{"accepted", R"({"status":200,"data":{"auth":true}})", true},
        TokenCheckCase{"statusText", R"({"status":"200","data":{"auth":true}})", true},
        TokenCheckCase{"refused", R"({"status":200,"data":{"auth":false}})", false},
        TokenCheckCase{"unauthorized", R"({"status":401,"message":"Unauthorized"})", false},
        TokenCheckCase{"authMissing", R"({"status":200,"data":{}})", false},
        TokenCheckCase{"authAsText", R"({"status":200,"data":{"auth":"true"}})", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(UnusableLoginAnswer, IsNoLoginAndTheUserIsTold) {
    dispatcher.answerJson("authorize", Json::parse(GetParam().answer));
    dialog.signIn();
    EXPECT_FALSE(dialog.isAuthorized());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.token(), "");
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{GetParam().message});
    EXPECT_EQ(control<QLineEdit>(dialog, "passwordEdit")->text().isEmpty(),
              !GetParam().passwordKept);
    EXPECT_EQ(control<QLineEdit>(dialog, "loginEdit")->text(), "user@example.com");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UnusableLoginAnswer,
    ::testing::Values(
        LoginCase{"wrongPassword", R"({"status":200,"data":{"auth":false}})",
                  "Неверное имя пользователя или пароль", false},
        LoginCase{"refusedStatus", R"({"status":403,"message":"Blocked"})", "Error: Blocked", true},
        LoginCase{"authMissing", R"({"status":200,"data":{"token":"t"}})", kNoAuthInAnswer, true},
        LoginCase{"authAsNumber", R"({"status":200,"data":{"auth":1,"token":"t"}})",
                  kNoAuthInAnswer, true},
        LoginCase{"tokenMissing", R"({"status":200,"data":{"auth":true}})", kNoTokenInAnswer, true},
        LoginCase{"tokenEmpty", R"({"status":200,"data":{"auth":true,"token":""}})",
                  kNoTokenInAnswer, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PasswordDialog, SuccessfulLoginKeepsTheTokenAndClosesWithoutTouchingSettings) {
    dispatcher.answerJson("authorize",
                          Json::parse(R"({"status":200,"data":{"auth":true,"token":"new"}})"));
    const std::string before = home.read("settings.ini");
    dialog.signIn();
    EXPECT_TRUE(dialog.isAuthorized());
    EXPECT_EQ(dialog.token(), "new");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(home.read("settings.ini"), before);
    EXPECT_EQ(settings->token(), "stored-token");
}

TEST_F(PasswordDialog, EmptyFieldsAreSentAsTyped) {
    control<QLineEdit>(dialog, "loginEdit")->clear();
    control<QLineEdit>(dialog, "passwordEdit")->clear();
    dialog.signIn();
    ASSERT_EQ(dispatcher.count("authorize"), 1u);
    EXPECT_EQ(dumpCompact(dispatcher.requests("authorize")[0].body),
              R"({"login":"","password":""})");
}

TEST_F(PasswordDialog, LayoutTabOrderAndButtons) {
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Авторизация");
    // At least its designed size, grown to the platform's fonts, and fixed at that.
    EXPECT_GE(dialog.width(), 284);
    EXPECT_GE(dialog.height(), 183);
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(control<QLineEdit>(dialog, "passwordEdit")->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(control<QPushButton>(dialog, "okButton")->isDefault());
    EXPECT_EQ(nextTabStop(control<QLineEdit>(dialog, "passwordEdit")),
              control<QPushButton>(dialog, "okButton"));
    EXPECT_EQ(nextTabStop(control<QPushButton>(dialog, "okButton")),
              control<QPushButton>(dialog, "cancelButton"));
    EXPECT_EQ(nextTabStop(control<QPushButton>(dialog, "cancelButton")),
              control<QLineEdit>(dialog, "loginEdit"));
    EXPECT_EQ(nextTabStop(control<QLineEdit>(dialog, "loginEdit")),
              control<QLineEdit>(dialog, "passwordEdit"));
    EXPECT_FALSE(control<QLabel>(dialog, "loginLink")->openExternalLinks());

    control<QPushButton>(dialog, "cancelButton")->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isAuthorized());
    EXPECT_EQ(dispatcher.count("authorize"), 0u);
}

TEST_F(PasswordDialog, ThePasswordShowsAnAsteriskForEachCharacter) {
    auto* password = control<QLineEdit>(dialog, "passwordEdit");
    password->setText("пароль1");
    EXPECT_EQ(password->displayText(), "*******");
    EXPECT_EQ(password->text(), "пароль1");
}

// The link follows the text before it on the same line with at least a blank's width
// between them, as "на сайте tillhaven" reads.
TEST_F(PasswordDialog, TheLinkStandsApartFromTheTextBeforeIt) {
    dialog.show();
    QCoreApplication::processEvents();
    QLabel* site = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (label->text() == "личного кабинета на сайте")
            site = label;
    ASSERT_NE(site, nullptr);
    auto* link = control<QLabel>(dialog, "loginLink");
    EXPECT_EQ(link->text().contains(">tillhaven<"), true) << link->text().toStdString();
    const QFontMetrics metrics = site->fontMetrics();
    const int textEnd = site->x() + site->contentsRect().left() +
                        metrics.horizontalAdvance(site->text());
    EXPECT_GE(link->x() - textEnd, metrics.horizontalAdvance(QLatin1Char(' ')))
        << "text ends at " << textEnd << ", link starts at " << link->x();
    EXPECT_EQ(std::abs(link->geometry().center().y() - site->geometry().center().y()) <= 2, true);
    dialog.hide();
}

TEST_F(PasswordDialog, TransportFailureOfALoginLeavesTheHandler) {
    home.write("settings.ini", settingsIniFor(closedPort(), ""));
    AppSettings unreachable(home.path());
    client.setSettings(&unreachable);
    EXPECT_THROW(dialog.signIn(), RestRequestError);
    EXPECT_FALSE(dialog.isAuthorized());
    EXPECT_EQ(control<QLineEdit>(dialog, "passwordEdit")->text(), "secret");
    client.setSettings(settings.get());
}
