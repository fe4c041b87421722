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

class TAppSettings;
class TCashboxListModel;
class TCashboxRecord;
class TFormCashbox;
struct TRegisterEnvironment;
class TUpdater;
class UpdateActions;

// The main window: the register list, the menus, the tray icon and the start sequence.
// Minimising or closing it only hides the program in the tray, or, while the desktop has no
// tray, minimises it to the taskbar; "Выход" and "Разлогинить" end the program.
class TForm1 : public QMainWindow {
public:
    // Whether the desktop has a tray to hide the program in now.
    using TrayProbe = std::function<bool()>;

    static constexpr const char* kCaption = "Кассовый клиент tillhaven. Версия ПО: ";
    static constexpr const char* kHelpUrl = "https://tillhaven.ru/docs/manual/cashbox_client";
    static constexpr int kClientWidth = 728;
    static constexpr int kClientHeight = 221;
    // The title of the tray's notifications.
    static constexpr const char* kTrayTitle = "Тиллхейвен";

    TForm1(TShellServices& services, const TProcessWindows& windows);
    ~TForm1() override;

    TAppSettings& AppSettings() { return *FAppSettings; }
    // True once "Выход", "Разлогинить" or an unauthorized start closed the window.
    bool isClosing() const { return FClosing; }
    TUpdater& Updater() { return *FUpdater; }

    // The start sequence of the first show: token check, login, token saving, the list.
    void FormShow();
    // Stops every register's worker before the program ends.
    void FormClose();
    void TrayIconDblClick();
    // A click or a double click on the tray icon shows the main window.
    void TrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    // The desktop's tray is asked at each close; the program asks Qt.
    void setTrayProbe(TrayProbe probe) { FTrayAvailable = std::move(probe); }
    // How many problems were notified in the tray (or would have been, without a tray).
    int notificationCount() const { return notifications_; }

    void AddCashboxExecute();
    void showClientExecute();
    void AppCloseExecute();
    void LogoutExecute();
    void ActionHelpExecute();
    void ActionCheckUpdateExecute();
    void ActionUpdateExecute();
    void AboutExecute();
    void ShowAppExecute();

    // The register list (CashboxList.cpp).
    void prepareCashboxes();
    // Adds the row and the record of one "getsalepoints" element; nullptr when the register
    // is listed already or the element does not describe a register.
    TCashboxRecord* CashboxCreate(const Json& data);
    // The listener of every record's connection changes.
    void CashboxConnectionChange(TCashboxRecord& Sender);
    // Shows a register's new connection state in its row and in the tray icon.
    void CashboxConnectionChange(const std::string& serial, bool isConnected);
    void CashBoxGridDblClick();
    // The sale points' records, in the order of their creation.
    const std::vector<std::unique_ptr<TCashboxRecord>>& Cashboxes() const { return FCashboxes; }
    TCashboxRecord* findCashbox(const std::string& serial) const;
    // The register's window, built the first time it is asked for; hidden until shown.
    TFormCashbox& cashboxWindow(TCashboxRecord& record);
    // The window if it has been built, nullptr otherwise.
    TFormCashbox* builtCashboxWindow(const TCashboxRecord& record) const;

    QAction* AddCashbox = nullptr;
    QAction* showClient = nullptr;
    QAction* AppClose = nullptr;
    QAction* Logout = nullptr;
    QAction* ActionHelp = nullptr;
    QAction* ActionCheckUpdate = nullptr;
    QAction* ActionUpdate = nullptr;
    QAction* About = nullptr;
    QAction* ShowApp = nullptr;

    QMenu* ActionsMenu = nullptr;  // "Действия"
    QMenu* HelpMenu = nullptr;     // "Справка"
    QMenu* PopupMenu1 = nullptr;   // the tray menu
    QSystemTrayIcon* TrayIcon = nullptr;
    QIcon GreenIMage;
    QIcon RedImage;
    QTableView* CashBoxGrid = nullptr;
    TCashboxListModel* FDMemTable1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate();
    void createActions();
    QAction* addAction(const char* caption, void (TForm1::*handler)());
    void createMenus();
    void createTrayIcon();
    void createGrid();
    // Out of the way after the caption's close button: hidden in the tray, or minimised
    // when there is no tray to bring it back from.
    void hideToTray();
    // Closes the main window for good, which ends the program.
    void closeMainWindow();
    // Adds the rows of new sale points at once, then their records in the answer's order.
    void addCashboxes(const std::vector<const Json*>& points);
    TCashboxRecord& createRecord(const Json& data);
    const TRegisterEnvironment& registerEnvironment();
    // The program's own work ran into a problem (serial empty when it belongs to no
    // register), or a register recovered from its problems: shown in the register's row,
    // logged, and notified in the tray when it is news (CashboxList.cpp).
    void showProblem(const std::string& serial, const std::string& text);
    void registerRecovered(const std::string& serial);
    ProblemLog& problemLog();
    void checkUpdateAtStartup();
    // Stops every register's worker, all at once, and waits for them (CashboxList.cpp).
    void closeCashboxes();

    TShellServices& services_;
    const TProcessWindows& windows_;
    std::unique_ptr<TAppSettings> FAppSettings;
    std::unique_ptr<TUpdater> FUpdater;
    std::unique_ptr<UpdateActions> FUpdateActions;
    std::unique_ptr<TRegisterEnvironment> FRegisterEnvironment;
    // After the settings, which the records and their workers use until they go.
    std::vector<std::unique_ptr<TCashboxRecord>> FCashboxes;
    std::unordered_map<std::string, TCashboxRecord*> FCashboxBySerial;
    // After the records they show, so they go first.
    std::unordered_map<const TCashboxRecord*, std::unique_ptr<TFormCashbox>> FCashboxWindows;
    bool FShown = false;
    bool FClosing = false;
    TrayProbe FTrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
    std::unique_ptr<ProblemLog> problemLog_;
    int notifications_ = 0;
};

}  // namespace th
