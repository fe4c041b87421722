// The client window: the request log and the saved log switch.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

#include <thread>

#include "app/ShellTestKit.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/RequestLog.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

class ClientWindow : public ::testing::Test, public WithQtApplication {
protected:
    void SetUp() override {
        ensureQtApplication();
        home.write("settings.ini", dispatcher.settingsIni("token") + "[client]\nlog=1\n");
        settings = std::make_unique<AppSettings>(home.path());
        form.setSettings(settings.get());
    }

    QStringList lines() const {
        const QString text = control<QPlainTextEdit>(form, "logText")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

    ShellDispatcher dispatcher;
    TempDir home;
    std::unique_ptr<AppSettings> settings;
    RecordingDialogs dialogs;
    RequestLogWindow form{dialogs};
};

}  // namespace

TEST_F(ClientWindow, LogsEachRequestAndAnswerInTheirLineFormat) {
    dispatcher.answerJson("test", testAnswer(true));
    form.client().executeDelay("test", Json::object());
    form.client().executeDelay("getsalepoints", Json{{"a", "б"}});
    EXPECT_EQ(lines(),
              (QStringList{
                  "<<<<<  test {}", R"(>>>>>   {"status":200,"message":"","data":{"auth":true}})",
                  R"(<<<<<  getsalepoints {"a":"б"})", R"(>>>>>   {"status":200,"data":{}})"}));
}

// The log masks the password and the token; the service receives them whole.
TEST_F(ClientWindow, SecretsAreMaskedInTheLogButSentWhole) {
    dispatcher.answerJson("authorize", Json::parse(R"({"status":200,"message":"",)"
                                                   R"("data":{"auth":true,"token":"tok-12345"}})"));
    form.client().executeDelay("authorize", Json{{"login", "me"}, {"password", "secret-pw"}});
    EXPECT_EQ(lines(), (QStringList{R"(<<<<<  authorize {"login":"me","password":"secr…"})",
                                    R"(>>>>>   {"status":200,"message":"",)"
                                    R"("data":{"auth":true,"token":"tok-…"}})"}));
    ASSERT_EQ(dispatcher.count("authorize"), 1u);
    EXPECT_EQ(dispatcher.requests("authorize")[0].body["password"], "secret-pw");
}

TEST_F(ClientWindow, TheCheckBoxIsAskedAtEachLine) {
    control<QCheckBox>(form, "logRequestsCheck")->setChecked(false);
    form.client().executeDelay("test", Json::object());
    EXPECT_TRUE(lines().isEmpty());
    control<QCheckBox>(form, "logRequestsCheck")->setChecked(true);
    form.client().executeDelay("test", Json::object());
    EXPECT_EQ(lines().size(), 2);
    EXPECT_TRUE(settings->clientLog()) << "unchecking is not a save";
}

TEST_F(ClientWindow, AFailedRequestLeavesOnlyItsRequestLine) {
    home.write("settings.ini", settingsIniFor(closedPort(), "token") + "[client]\nlog=1\n");
    AppSettings unreachable(home.path());
    form.setSettings(&unreachable);
    EXPECT_THROW(form.client().executeDelay("test", Json::object()), RestRequestError);
    EXPECT_EQ(lines(), QStringList{"<<<<<  test {}"});
    form.setSettings(settings.get());
}

TEST_F(ClientWindow, ALineFromAWorkerIsAppendedOnTheUserInterfaceThread) {
    std::thread worker([&] { form.log("<<<<<  cashbox", Json{{"add", "1"}}); });
    worker.join();
    // The worker only handed the line over: the widget is untouched until the event loop runs.
    EXPECT_TRUE(lines().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(lines(), QStringList{R"(<<<<<  cashbox {"add":"1"})"});
}

TEST_F(ClientWindow, TheLogKeepsItsNewestLinesOnly) {
    for (int i = 0; i < RequestLogWindow::kMaxLogLines + 3; ++i)
        form.log("line", i);
    const QStringList kept = lines();
    ASSERT_EQ(kept.size(), RequestLogWindow::kMaxLogLines);
    EXPECT_EQ(kept.front(), "line 3");
    EXPECT_EQ(kept.back(), QString("line %1").arg(RequestLogWindow::kMaxLogLines + 2));
}

// Large answers make long lines: each is cut with its full length shown, and the log
// drops its oldest lines to stay within its text budget.
TEST_F(ClientWindow, TheLogKeepsItsTextWithinItsBudget) {
    const Json large = {{"status", 200}, {"data", std::string(100 * 1000, 'x')}};
    const std::string fullLength =
        std::to_string(std::string(">>>>>   ").size() + dumpCompact(large).size());
    const int lines = RequestLogWindow::kMaxLogCharacters / int(kMaxLogLineBytes) + 5;
    for (int i = 0; i < lines; ++i) {
        form.log("<<<<<  tasks", Json{{"n", i}});
        form.log(">>>>>  ", large);
    }
    const QStringList kept = this->lines();
    EXPECT_LE(control<QPlainTextEdit>(form, "logText")->document()->characterCount(),
              RequestLogWindow::kMaxLogCharacters);
    ASSERT_GE(kept.size(), 2 * (lines - 6));  // only what the budget could not hold went
    EXPECT_LT(kept.size(), 2 * lines);
    EXPECT_EQ(kept.back().size(), int(kMaxLogLineBytes) +
                                      QString(" … (обрезано, всего  байт)").size() +
                                      int(fullLength.size()));
    EXPECT_TRUE(kept.back().endsWith(
        QString::fromStdString(" … (обрезано, всего " + fullLength + " байт)")));
    EXPECT_EQ(kept[kept.size() - 2], QString(R"(<<<<<  tasks {"n":%1})").arg(lines - 1));
}

TEST_F(ClientWindow, AnyChangeEnablesSave) {
    const std::vector<std::function<void()>> changes = {
        [&] { control<QCheckBox>(form, "logRequestsCheck")->setChecked(false); },
        [&] { control<QCheckBox>(form, "useProxyCheck")->setChecked(true); },
        [&] { control<QLineEdit>(form, "proxyHostEdit")->setText("proxy.local"); },
        [&] { control<QLineEdit>(form, "proxyPortEdit")->setText("3128"); },
        [&] { control<QLineEdit>(form, "proxyUserEdit")->setText("user"); },
        [&] { control<QLineEdit>(form, "proxyPasswordEdit")->setText("pass"); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        control<QAction>(form, "saveAction")->setEnabled(false);
        changes[i]();
        EXPECT_TRUE(control<QAction>(form, "saveAction")->isEnabled()) << "change " << i;
        EXPECT_TRUE(control<QPushButton>(form, "saveButton")->isEnabled()) << "change " << i;
    }
}

TEST_F(ClientWindow, SaveStoresTheLogSwitchAndNothingOfTheProxy) {
    EXPECT_TRUE(control<QCheckBox>(form, "logRequestsCheck")->isChecked());
    EXPECT_FALSE(control<QAction>(form, "saveAction")->isEnabled());
    for (QLineEdit* edit :
         {control<QLineEdit>(form, "proxyHostEdit"), control<QLineEdit>(form, "proxyPortEdit"),
          control<QLineEdit>(form, "proxyUserEdit"), control<QLineEdit>(form, "proxyPasswordEdit")})
        EXPECT_FALSE(edit->isEnabled());

    control<QCheckBox>(form, "logRequestsCheck")->setChecked(false);
    control<QCheckBox>(form, "useProxyCheck")->setChecked(true);
    control<QPushButton>(form, "saveButton")->click();

    EXPECT_FALSE(control<QAction>(form, "saveAction")->isEnabled());
    EXPECT_FALSE(AppSettings(home.path()).clientLog());
    EXPECT_EQ(home.read("settings.ini").find("roxy"), std::string::npos);
    EXPECT_FALSE(control<QLineEdit>(form, "proxyHostEdit")->isEnabled())
        << "the proxy stays unsupported";
}

TEST_F(ClientWindow, StoredSwitchIsShownBySetSettings) {
    home.write("settings.ini", "[client]\nlog=0\n");
    AppSettings quiet(home.path());
    form.setSettings(&quiet);
    EXPECT_FALSE(control<QCheckBox>(form, "logRequestsCheck")->isChecked());
    EXPECT_FALSE(control<QAction>(form, "saveAction")->isEnabled());
    form.setSettings(settings.get());
}
