#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>

#include "app/CashboxTableModel.h"
#include "app/MainWindow.h"
#include "app/ShellTestKit.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/ProblemLog.h"
#include "platform/Version.h"
#include "settings/AppSettings.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

std::vector<std::string> menuItems(const QMenu& menu) {
    std::vector<std::string> items;
    for (const QAction* action : menu.actions())
        items.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return items;
}

// A program that got past the start sequence: token accepted, the given sale points.
class RunningShell : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher.answerJson("test", testAnswer(true));
        dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", salePoints}});
        shell.start();
        shell.showMainWindow();
        ASSERT_EQ(shell.quits, 0);
        ASSERT_EQ(dispatcher.count("getsalepoints"), 1u);
    }

    MainWindow& form() { return shell.app->mainWindow(); }

    Json salePoints = Json::array();
    ShellDispatcher dispatcher;
    ShellHarness shell{dispatcher.settingsIni("stored-token")};
};

}  // namespace

TEST(MainWindow, CaptionCarriesTheBuildVersion) {
    ShellHarness shell(settingsIniFor(closedPort(), ""));
    MainWindow& form = shell.start().mainWindow();
    EXPECT_EQ(form.windowTitle().toStdString(),
              std::string("Кассовый клиент tillhaven. Версия ПО: ") + kProgramVersion);
    EXPECT_STREQ(kProgramVersion, "1.0.1.0");
    EXPECT_EQ(form.trayIcon().toolTip().toStdString(), "Тиллхейвен");
    EXPECT_TRUE(form.trayIcon().isVisible());
    EXPECT_EQ(form.trayIcon().icon().cacheKey(), form.disconnectedIcon().cacheKey());
    EXPECT_EQ(form.connectedIcon().availableSizes().value(0), QSize(40, 44));
}

TEST(MainWindow, MenusHoldTheActionsInOrder) {
    ShellHarness shell(settingsIniFor(closedPort(), ""));
    MainWindow& form = shell.start().mainWindow();
    EXPECT_EQ(
        menuItems(*control<QMenu>(form, "actionsMenu")),
        (std::vector<std::string>{"Добавить кассу", "Открыть клиент",
                                  "Запускать при входе в систему", "-", "Выход", "Разлогинить"}));
    EXPECT_EQ(control<QMenu>(form, "actionsMenu")->title().toStdString(), "Действия");
    EXPECT_EQ(menuItems(*control<QMenu>(form, "helpMenu")),
              (std::vector<std::string>{"Помощь", "Проверить обновления", "Обновить", "-",
                                        "О программе"}));
    EXPECT_EQ(control<QMenu>(form, "helpMenu")->title().toStdString(), "Справка");
    EXPECT_EQ(menuItems(*control<QMenu>(form, "trayMenu")),
              (std::vector<std::string>{"Управление", "Открыть клиент", "-", "Помощь", "Обновить",
                                        "-", "Выход"}));
    EXPECT_EQ(form.trayIcon().contextMenu(), control<QMenu>(form, "trayMenu"));
    for (QAction* action :
         {control<QAction>(form, "addCashboxAction"),
          control<QAction>(form, "showRequestLogAction"), control<QAction>(form, "quitAction"),
          control<QAction>(form, "logOutAction"), control<QAction>(form, "helpAction"),
          control<QAction>(form, "checkUpdateAction"), control<QAction>(form, "aboutAction"),
          control<QAction>(form, "showAction")})
        EXPECT_TRUE(action->isEnabled()) << action->text().toStdString();
    EXPECT_FALSE(control<QAction>(form, "updateAction")->isEnabled());
}

TEST_F(RunningShell, CloseAndMinimiseHideTheProgramAndShowAppBringsItBack) {
    form().close();
    EXPECT_FALSE(form().isVisible());
    EXPECT_TRUE(form().trayIcon().isVisible());
    control<QAction>(form(), "showAction")->trigger();
    EXPECT_TRUE(form().isVisible());

    form().showMinimized();
    QCoreApplication::processEvents();
    EXPECT_FALSE(form().isVisible());
    emit form().trayIcon().activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(form().isVisible());
    EXPECT_FALSE(form().isMinimized());

    QCoreApplication::processEvents();
    EXPECT_EQ(shell.quits, 0);
    // Showing again repeats neither the token check nor the list.
    EXPECT_EQ(dispatcher.count("test"), 1u);
    EXPECT_EQ(dispatcher.count("getsalepoints"), 1u);
}

TEST_F(RunningShell, OneClickOnTheTrayIconShowsTheHiddenWindow) {
    form().close();
    ASSERT_FALSE(form().isVisible());
    emit form().trayIcon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form().isVisible());

    // The middle button and the context menu's own opening show nothing.
    form().close();
    for (auto reason : {QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context}) {
        emit form().trayIcon().activated(reason);
        EXPECT_FALSE(form().isVisible()) << reason;
    }
}

TEST_F(RunningShell, WithoutATrayCloseAndMinimiseLeaveTheWindowInTheTaskbar) {
    shell.trayAvailable = false;
    form().close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form().isVisible());
    EXPECT_TRUE(form().isMinimized());
    control<QAction>(form(), "showAction")->trigger();
    EXPECT_FALSE(form().isMinimized());

    form().showMinimized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form().isVisible());
    EXPECT_TRUE(form().isMinimized());
    EXPECT_EQ(shell.quits, 0);

    // A panel with a tray that comes later is used from the next close on.
    control<QAction>(form(), "showAction")->trigger();
    shell.trayAvailable = true;
    form().close();
    EXPECT_FALSE(form().isVisible());
}

TEST_F(RunningShell, ShowClientOpensTheClientWindow) {
    control<QAction>(form(), "showRequestLogAction")->trigger();
    EXPECT_TRUE(shell.app->requestLogWindow().isVisible());
    EXPECT_TRUE(form().isVisible());
}

TEST_F(RunningShell, QuitEndsTheProgramWithoutSaving) {
    const std::string before = shell.home.read("settings.ini");
    control<QAction>(form(), "quitAction")->trigger();
    EXPECT_EQ(shell.quits, 1);
    EXPECT_FALSE(form().isVisible());
    EXPECT_EQ(shell.home.read("settings.ini"), before);
}

TEST_F(RunningShell, LogoutEmptiesTheStoredTokenAndEnds) {
    control<QAction>(form(), "logOutAction")->trigger();
    EXPECT_EQ(shell.quits, 1);
    EXPECT_EQ(AppSettings(shell.home.path()).token(), "");
    const std::string ini = shell.home.read("settings.ini");
    EXPECT_NE(ini.find("[auth]\ntoken=\n"), std::string::npos) << ini;
}

TEST_F(RunningShell, LogoutThatCannotSaveKeepsTheProgramRunning) {
    // A directory where settings.ini should be: no write succeeds, not even for root.
    std::filesystem::remove(shell.home.file("settings.ini"));
    std::filesystem::create_directory(shell.home.file("settings.ini"));
    EXPECT_ANY_THROW(form().logOut());
    EXPECT_EQ(shell.quits, 0);
}

class SalePointList : public RunningShell {
protected:
    void SetUp() override {
        salePoints = Json::parse(R"([
            {"kkt_serial": "300", "address": "ул. Длинная-предлинная, дом 1", "place": "A"},
            {"kkt_serial": "100", "address": "Склад", "place": "B"},
            {"kkt_serial": "300", "address": "Дубликат", "place": "C"},
            "not a sale point",
            {"address": "без серийного номера"},
            {"kkt_serial": "200", "address": "Зал", "place": "D"}])");
        RunningShell::SetUp();
    }
    std::string cell(int row, int column) {
        return form().cashboxModel().index(row, column).data().toString().toStdString();
    }
};

TEST_F(SalePointList, RowsAreSortedBySerialOncePerRegister) {
    CashboxTableModel& rows = form().cashboxModel();
    ASSERT_EQ(rows.rowCount(), 3);
    EXPECT_EQ(cell(0, CashboxTableModel::SerialColumn), "100");
    EXPECT_EQ(cell(1, CashboxTableModel::SerialColumn), "200");
    EXPECT_EQ(cell(2, CashboxTableModel::SerialColumn), "300");
    EXPECT_EQ(cell(2, CashboxTableModel::AddressColumn), "ул. Длинная-предлинн");
    EXPECT_EQ(cell(0, CashboxTableModel::DeviceColumn), "фискальный регистрат");
    EXPECT_EQ(cell(0, CashboxTableModel::StatusColumn), "не активен");

    form().prepareCashboxes();
    EXPECT_EQ(rows.rowCount(), 3);
}

// None of these registers is set up here: the rows follow their changes, and the tray,
// which counts only registers that connect here by themselves, stays green.
TEST_F(SalePointList, ConnectionChangeMarksTheRow) {
    EXPECT_EQ(form().trayIcon().icon().cacheKey(), form().connectedIcon().cacheKey());
    form().onConnectionChanged("200", true);
    EXPECT_EQ(cell(1, CashboxTableModel::StatusColumn), "активен");
    EXPECT_EQ(control<QTableView>(form(), "cashboxTable")->currentIndex().row(), 1);

    form().onConnectionChanged("300", false);
    EXPECT_EQ(cell(1, CashboxTableModel::StatusColumn), "активен");
    EXPECT_EQ(control<QTableView>(form(), "cashboxTable")->currentIndex().row(), 2);

    form().onConnectionChanged("unknown", true);
    EXPECT_EQ(form().trayIcon().icon().cacheKey(), form().connectedIcon().cacheKey());
}

TEST(Application, RegisterDriverOfTheSettingsServesTheDriverObject) {
    for (const auto& [driver, served] :
         std::vector<std::pair<std::string, bool>>{{"emulator", true}, {"", false}}) {
        ShellHarness shell(settingsIniFor(closedPort(), "") + "RegisterDriver=" + driver + "\n");
        EXPECT_EQ(shell.start().automation().isRegistered(kFptrProgId), served) << driver;
    }
}

TEST(Application, QuitEndsTheMessageLoopWhileTheWindowIsHidden) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("test", testAnswer(true));
    dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
    ShellHarness shell(dispatcher.settingsIni("stored-token"));
    shell.app = std::make_unique<TillhavenApp>(
        shell.dialogs, [](QDialog&) { return int(QDialog::Rejected); }, quitApplication,
        DataPaths{shell.home.path(), shell.home.path()});
    MainWindow& form = shell.app->mainWindow();
    form.show();
    // Once the start sequence has the list: hidden, then "Выход".
    QTimer started;
    QObject::connect(&started, &QTimer::timeout, &form, [&] {
        if (form.startStage() != MainWindow::StartStage::Running)
            return;
        started.stop();
        form.close();
        QMetaObject::invokeMethod(
            &form, [&] { control<QAction>(form, "quitAction")->trigger(); }, Qt::QueuedConnection);
    });
    started.start(10);
    // Only a safety net: a loop that never ends fails the test instead of hanging it.
    QTimer::singleShot(60000, [] { QCoreApplication::exit(2); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(dispatcher.count("getsalepoints"), 1u);
}

namespace {

std::filesystem::perms modeOf(const std::filesystem::path& file) {
    return std::filesystem::status(file).permissions() & std::filesystem::perms::all;
}

constexpr auto kOwnerOnly =
    std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

}  // namespace

// Receipts can carry a customer's phone or e-mail: the journal and the problem log are the
// owner's alone, files there from before included.
TEST(DataFiles, AreReadableByTheirOwnerOnly) {
    ShellHarness shell(settingsIniFor(closedPort(), ""));
    createJournalFile(shell.home.file("checks.db"));
    for (const char* name : {"checks.db-shm", "tillhaven.log", "tillhaven.log.1"})
        shell.home.write(name, "x");
    for (const char* name : {"checks.db", "checks.db-shm", "tillhaven.log", "tillhaven.log.1"})
        std::filesystem::permissions(shell.home.file(name), std::filesystem::perms(0644));
    shell.start();
    for (const char* name : {"checks.db", "checks.db-shm", "tillhaven.log", "tillhaven.log.1"}) {
        // SQLite removes the -shm file when the program's last connection to the journal
        // closes; while it is there, it is the owner's alone.
        if (std::string(name) == "checks.db-shm" && !std::filesystem::exists(shell.home.file(name)))
            continue;
        EXPECT_EQ(modeOf(shell.home.file(name)), kOwnerOnly) << name;
    }

    // SQLite gives the files it makes beside the journal the journal's mode.
    std::filesystem::remove(shell.home.file("checks.db-shm"));
    {
        TaskJournal journal;
        journal.openJournal(shell.home.file("checks.db"));
        journal.selectChecks("1", "added");
        for (const char* name : {"checks.db-wal", "checks.db-shm"}) {
            if (std::filesystem::exists(shell.home.file(name))) {
                EXPECT_EQ(modeOf(shell.home.file(name)), kOwnerOnly) << name;
            }
        }
        EXPECT_TRUE(std::filesystem::exists(shell.home.file("checks.db-wal")));
    }

    // A log made anew, and the one after a rotation, whatever the umask.
    for (const char* name : {"tillhaven.log", "tillhaven.log.1"})
        std::filesystem::remove(shell.home.file(name));
    const mode_t umaskBefore = ::umask(0);
    ProblemLog log(shell.home.file("tillhaven.log"), 100);
    log.report("", std::string(80, 'a'));
    log.report("", std::string(80, 'b'));
    ::umask(umaskBefore);
    for (const char* name : {"tillhaven.log", "tillhaven.log.1"})
        EXPECT_EQ(modeOf(shell.home.file(name)), kOwnerOnly) << name;
}

// "Запускать при входе в систему" writes the session's autostart entry, which starts the
// program hidden, and removes it; the choice is the user's from then on, across restarts.
TEST(Autostart, TheSwitchWritesAndRemovesTheEntryAndTheChoiceSurvivesARestart) {
    ShellHarness shell(settingsIniFor(closedPort(), ""));
    TempDir config;
    const std::filesystem::path directory = config.path() / "autostart";
    const std::filesystem::path entry = directory / "tillhaven.desktop";
    auto restart = [&]() -> QAction& {
        shell.app.reset();
        shell.start().mainWindow().setAutostartDirectory(directory);
        return *control<QAction>(shell.app->mainWindow(), "runAtLoginAction");
    };

    QAction* runAtLogin = &restart();
    EXPECT_TRUE(runAtLogin->isCheckable());
    EXPECT_FALSE(runAtLogin->isChecked());
    runAtLogin->trigger();
    ASSERT_TRUE(std::filesystem::exists(entry));
    const std::string text = config.read("autostart/tillhaven.desktop");
    EXPECT_NE(text.find("\nExec=" + QCoreApplication::applicationFilePath().toStdString() +
                        " --hidden\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(AppSettings(shell.home.path()).runAtLogin(), true);

    runAtLogin = &restart();
    EXPECT_TRUE(runAtLogin->isChecked());
    runAtLogin->trigger();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(AppSettings(shell.home.path()).runAtLogin(), false);

    runAtLogin = &restart();
    EXPECT_FALSE(runAtLogin->isChecked());
    EXPECT_EQ(shell.dialogs.count(), 0u) << shell.dialogs.texts().front();
}

// An installed program whose user never chose starts at login from its first successful
// login on; a choice made, or a program run from its own directory, is left alone.
struct FirstLoginCase {
    const char* name;
    bool installed;
    const char* choice;  // client/RunAtLogin in settings.ini, "" for none
    bool entryWritten;
};

class FirstLogin : public ::testing::TestWithParam<FirstLoginCase> {};

TEST_P(FirstLogin, TurnsTheStartAtLoginOnOnlyWhenInstalledAndNeverChosen) {
    ShellDispatcher dispatcher;
    dispatcher.answerJson("test", testAnswer(true));
    dispatcher.answerJson("getsalepoints", {{"status", 200}, {"data", Json::array()}});
    std::string settings = dispatcher.settingsIni("stored-token");
    if (*GetParam().choice)
        settings += std::string("[client]\nRunAtLogin=") + GetParam().choice + "\n";
    ShellHarness shell(settings);
    shell.installed = GetParam().installed;
    TempDir config;
    shell.start().mainWindow().setAutostartDirectory(config.path() / "autostart");
    shell.showMainWindow();
    ASSERT_EQ(shell.app->mainWindow().startStage(), MainWindow::StartStage::Running);
    EXPECT_EQ(std::filesystem::exists(config.path() / "autostart" / "tillhaven.desktop"),
              GetParam().entryWritten);
    EXPECT_EQ(control<QAction>(shell.app->mainWindow(), "runAtLoginAction")->isChecked(),
              GetParam().entryWritten);
}

INSTANTIATE_TEST_SUITE_P(Autostart, FirstLogin,
                         ::testing::Values(FirstLoginCase{"InstalledNeverChosen", true, "", true},
                                           FirstLoginCase{"InstalledChoseNo", true, "0", false},
                                           FirstLoginCase{"OwnDirectory", false, "", false}),
                         [](const auto& info) { return std::string(info.param.name); });
