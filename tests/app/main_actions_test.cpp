// The main window's actions that reach the updater, the about box and the wizard.
#include <gtest/gtest.h>

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/MainWindow.h"
#include "app/ShellTestKit.h"
#include "support/Controls.h"
#include "support/CurrentDirectory.h"
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

// A session bus of the test's own (dbus-daemon) with a notification service on it, as a
// desktop without a tray has: it records what it is asked to show and takes it.
class NotificationService : public QDBusVirtualObject {
public:
    NotificationService() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(60000) || !daemon_.waitForReadyRead(60000))
            return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QDBusConnection bus = QDBusConnection::connectToBus(address_, "notification-service");
        ready_ = bus.isConnected() && bus.registerService("org.freedesktop.Notifications") &&
                 bus.registerVirtualObject("/org/freedesktop/Notifications", this);
    }
    ~NotificationService() override {
        QDBusConnection::disconnectFromBus("notification-service");
        daemon_.kill();
        daemon_.waitForFinished(60000);
    }

    bool ready() const { return ready_; }
    const QString& address() const { return address_; }
    std::vector<std::string> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

    QString introspect(const QString&) const override { return {}; }
    // Runs on the bus connection's own thread.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != "Notify" || message.arguments().size() < 5)
            return false;
        {
            std::lock_guard lock(mutex_);
            shown_.push_back(message.arguments().at(4).toString().toStdString());
        }
        connection.send(message.createReply(QVariant::fromValue(1u)));
        return true;
    }

private:
    QProcess daemon_;
    QString address_;
    bool ready_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
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

// GNOME without a tray extension: the offer reaches the desktop's notification service and
// the main window's message line, and only then counts as shown.
TEST(StartupUpdateCheck, WithoutATrayTheOfferReachesTheNotificationServiceAndTheMessageLine) {
    ASSERT_FALSE(QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        << "dbus-daemon is missing: scripts/setup installs it";
    NotificationService service;
    ASSERT_TRUE(service.ready()) << "no private session bus";
    // Each test runs in a process of its own: the program's session bus is this one.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", service.address().toUtf8().constData(), 1);
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.2.0"));
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    shell.trayAvailable = false;
    shell.start();
    MainWindow& form = shell.app->mainWindow();

    ASSERT_TRUE(loopUntil([&] { return form.notificationCount() == 1; }));
    ASSERT_EQ(service.shown().size(), 1u);
    EXPECT_NE(service.shown()[0].find("до версии 1.0.2.0"), std::string::npos)
        << service.shown()[0];
    EXPECT_NE(form.messageLine().toStdString().find("до версии 1.0.2.0"), std::string::npos)
        << form.messageLine().toStdString();
    control<QAction>(form, "dismissMessageAction")->trigger();
    EXPECT_EQ(form.messageLine().toStdString(), "");
    EXPECT_TRUE(shell.dialogs.texts().empty());
}

// Without a tray and without a notification service nothing reached the screen but the
// message line: nothing is counted as shown.
TEST(StartupUpdateCheck, AnOfferThatReachedNoNotificationIsNotCounted) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    ShellDispatcher dispatcher;
    dispatcher.answerJson("swversion", offeredVersion("1.0.2.0"));
    ShellHarness shell(settingsWithUpdateCheck(dispatcher.port()));
    shell.trayAvailable = false;
    shell.start();
    MainWindow& form = shell.app->mainWindow();
    EXPECT_NE(form.messageLine().toStdString().find("до версии 1.0.2.0"), std::string::npos);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.notificationCount(), 0);
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
