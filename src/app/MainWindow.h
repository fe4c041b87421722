#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/AppContext.h"
#include "platform/Json.h"
#include "platform/ProblemLog.h"

class QAction;
class QMenu;
class QTableView;

namespace th {

class AppSettings;
class CashboxTableModel;
class CashboxRecord;
class CashboxWindow;
struct RegisterEnvironment;
class Updater;
class UpdateActions;

// The main window: the register list, the menus, the tray icon and the start sequence.
// Minimising or closing it only hides the program in the tray, or, while the desktop has no
// tray, minimises it to the taskbar; "Выход" and "Разлогинить" end the program.
class MainWindow : public QMainWindow {
public:
    // Whether the desktop has a tray to hide the program in now.
    using TrayProbe = std::function<bool()>;

    static constexpr const char* kCaption = "Кассовый клиент tillhaven. Версия ПО: ";
    static constexpr const char* kHelpUrl = "https://tillhaven.ru/docs/manual/cashbox_client";
    static constexpr int kClientWidth = 728;
    static constexpr int kClientHeight = 221;
    // The title of the tray's notifications.
    static constexpr const char* kTrayTitle = "Тиллхейвен";

    MainWindow(ShellServices& services, const ProcessWindows& windows);
    ~MainWindow() override;

    AppSettings& appSettings() { return *appSettings_; }
    // True once "Выход", "Разлогинить" or an unauthorized start closed the window.
    bool isClosing() const { return closing_; }
    Updater& updater() { return *updater_; }

    // The start sequence of the first show: token check, login, token saving, the list.
    void startOnFirstShow();
    // Stops every register's worker before the program ends.
    void stopRegisters();
    void showFromTray();
    // A click or a double click on the tray icon shows the main window.
    void onTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    // The desktop's tray is asked at each close; the program asks Qt.
    void setTrayProbe(TrayProbe probe) { trayAvailable_ = std::move(probe); }
    // How many problems were notified in the tray (or would have been, without a tray).
    int notificationCount() const { return notifications_; }

    void addCashbox();
    void showRequestLog();
    void quit();
    void logOut();
    void openHelp();
    void checkForUpdate();
    void startUpdate();
    void showAbout();
    void showWindow();

    // The register list (CashboxList.cpp).
    void prepareCashboxes();
    // Adds the row and the record of one "getsalepoints" element; nullptr when the register
    // is listed already or the element does not describe a register.
    CashboxRecord* addSalePoint(const Json& data);
    // The listener of every record's connection changes.
    void onConnectionChanged(CashboxRecord& record);
    // Shows a register's new connection state in its row and in the tray icon.
    void onConnectionChanged(const std::string& serial, bool isConnected);
    // The listener of every record's documents that need a person: said in its row, and a
    // standing condition for the tray icon.
    void onAttentionChanged(CashboxRecord& record);
    bool anyNeedsAttention() const;
    void openSelectedCashbox();
    // The sale points' records, in the order of their creation.
    const std::vector<std::unique_ptr<CashboxRecord>>& cashboxes() const { return cashboxes_; }
    CashboxRecord* findCashbox(const std::string& serial) const;
    // The register's window, built the first time it is asked for; hidden until shown.
    CashboxWindow& cashboxWindow(CashboxRecord& record);
    // The window if it has been built, nullptr otherwise.
    CashboxWindow* builtCashboxWindow(const CashboxRecord& record) const;

    QSystemTrayIcon& trayIcon() { return *trayIcon_; }
    // The tray and window icons while any register is connected, and while none is.
    const QIcon& connectedIcon() const { return connectedIcon_; }
    const QIcon& disconnectedIcon() const { return disconnectedIcon_; }
    CashboxTableModel& cashboxModel() { return *cashboxModel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Gives each control its object name: its member's name without the underscore.
    void nameControls();
    void setUpWindow();
    void createActions();
    QAction* addAction(const char* caption, void (MainWindow::*handler)());
    void createMenus();
    void createTrayIcon();
    void createCashboxTable();
    // Out of the way after the caption's close button: hidden in the tray, or minimised
    // when there is no tray to bring it back from.
    void hideToTray();
    // Closes the main window for good, which ends the program.
    void closeMainWindow();
    // Adds the rows of new sale points at once, then their records in the answer's order.
    void addCashboxes(const std::vector<const Json*>& points);
    CashboxRecord& createRecord(const Json& data);
    const RegisterEnvironment& registerEnvironment();
    // The program's own work ran into a problem (serial empty when it belongs to no
    // register), or a register recovered from its problems: shown in the register's row,
    // logged, and notified in the tray when it is news (CashboxList.cpp).
    void showProblem(const std::string& serial, const std::string& text);
    void registerRecovered(const std::string& serial);
    ProblemLog& problemLog();
    void checkUpdateAtStartup();
    // Stops every register's worker, all at once, and waits for them (CashboxList.cpp).
    void closeCashboxes();

    ShellServices& services_;
    const ProcessWindows& windows_;
    std::unique_ptr<AppSettings> appSettings_;
    std::unique_ptr<Updater> updater_;
    std::unique_ptr<UpdateActions> updateActions_;
    std::unique_ptr<RegisterEnvironment> registerEnvironment_;
    // After the settings, which the records and their workers use until they go.
    std::vector<std::unique_ptr<CashboxRecord>> cashboxes_;
    std::unordered_map<std::string, CashboxRecord*> cashboxBySerial_;
    // After the records they show, so they go first.
    std::unordered_map<const CashboxRecord*, std::unique_ptr<CashboxWindow>> cashboxWindows_;
    bool shown_ = false;
    bool closing_ = false;
    TrayProbe trayAvailable_ = &QSystemTrayIcon::isSystemTrayAvailable;
    std::unique_ptr<ProblemLog> problemLog_;
    int notifications_ = 0;

    // Controls, the tray icon and the register table's model.
    QAction* addCashboxAction_ = nullptr;
    QAction* showRequestLogAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* logOutAction_ = nullptr;
    QAction* helpAction_ = nullptr;
    QAction* checkUpdateAction_ = nullptr;
    QAction* updateAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* showAction_ = nullptr;
    QMenu* actionsMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QTableView* cashboxTable_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    QIcon connectedIcon_;
    QIcon disconnectedIcon_;
    CashboxTableModel* cashboxModel_ = nullptr;
};

}  // namespace th
