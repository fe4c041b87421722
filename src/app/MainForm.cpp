#include "app/MainForm.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QUrl>

#include "app/CashboxListModel.h"
#include "app/Icons.h"
#include "auth/PasswordDlg.h"
#include "cashbox/CashboxForm.h"
#include "cashbox/CashboxRecord.h"
#include "dispatcher/gui/ClientForm.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/Version.h"
#include "platform/gui/SafeApplication.h"
#include "platform/gui/WindowFit.h"
#include "settings/AppSettings.h"
#include "updater/AboutForm.h"
#include "updater/UpdateActions.h"
#include "updater/Updater.h"
#include "wizard/AddCashboxWizard.h"

namespace th {

TForm1::TForm1(TShellServices& services, const TProcessWindows& windows)
    : services_(services), windows_(windows) {
    setWindowTitle(kCaption);
    QFont tahoma("Tahoma");
    tahoma.setPixelSize(11);
    setFont(tahoma);
    GreenIMage = greenStatusIcon();
    RedImage = redStatusIcon();
    setWindowIcon(GreenIMage);
    createActions();
    createMenus();
    createTrayIcon();
    createGrid();
    resizeToFit(*this, {kClientWidth, kClientHeight + menuBar()->sizeHint().height()});
    move(0, 0);
    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate() {
    TrayIcon->show();
    FAppSettings = std::make_unique<TAppSettings>(services_.paths.settingsDir);
    FUpdater = std::make_unique<TUpdater>(*FAppSettings, services_.dialogs);
    FUpdateActions = std::make_unique<UpdateActions>(
        *FUpdater, services_.dialogs,
        UpdateActions::Hooks{.isUpdateEnabled = [this] { return ActionUpdate->isEnabled(); },
                             .enableUpdate = [this] { ActionUpdate->setEnabled(true); },
                             .appClose = [this] { AppCloseExecute(); }});
    setWindowTitle(windowTitle() + QString::fromStdString(FUpdater->strVersion()));
    checkUpdateAtStartup();
}

// Nobody may be at the screen when the program starts with the session: a newer version
// enables "Обновить" and is notified, a failed check is only reported, and the start goes
// on. The question comes when the user chooses "Проверить обновления".
void TForm1::checkUpdateAtStartup() {
    ReportingDialogs reporting([this](const std::string& text) { showProblem({}, text); });
    SafeApplication::guarded(reporting, [&] {
        if (auto offer = FUpdateActions->checkAtStartup(reporting))
            showProblem({}, *offer);
    });
}

QAction* TForm1::addAction(const char* caption, void (TForm1::*handler)()) {
    auto* action = new QAction(QString::fromUtf8(caption), this);
    connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    return action;
}

void TForm1::createActions() {
    AddCashbox = addAction("Добавить кассу", &TForm1::AddCashboxExecute);
    AddCashbox->setIcon(addCashboxIcon());
    showClient = addAction("Открыть клиент", &TForm1::showClientExecute);
    AppClose = addAction("Выход", &TForm1::AppCloseExecute);
    Logout = addAction("Разлогинить", &TForm1::LogoutExecute);
    ActionHelp = addAction("Помощь", &TForm1::ActionHelpExecute);
    ActionCheckUpdate = addAction("Проверить обновления", &TForm1::ActionCheckUpdateExecute);
    ActionUpdate = addAction("Обновить", &TForm1::ActionUpdateExecute);
    ActionUpdate->setEnabled(false);  // until an update check finds a newer version
    About = addAction("О программе", &TForm1::AboutExecute);
    ShowApp = addAction("Управление", &TForm1::ShowAppExecute);
}

void TForm1::createMenus() {
    ActionsMenu = menuBar()->addMenu("Действия");
    ActionsMenu->addAction(AddCashbox);
    ActionsMenu->addAction(showClient);
    ActionsMenu->addSeparator();
    ActionsMenu->addAction(AppClose);
    ActionsMenu->addAction(Logout);

    HelpMenu = menuBar()->addMenu("Справка");
    HelpMenu->addAction(ActionHelp);
    HelpMenu->addAction(ActionCheckUpdate);
    HelpMenu->addAction(ActionUpdate);
    HelpMenu->addSeparator();
    HelpMenu->addAction(About);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->addAction(ShowApp);
    PopupMenu1->addAction(showClient);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(ActionHelp);
    PopupMenu1->addAction(ActionUpdate);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(AppClose);
}

void TForm1::createTrayIcon() {
    // Red until a register reports a connection.
    TrayIcon = new QSystemTrayIcon(RedImage, this);
    TrayIcon->setToolTip("Тиллхейвен");
    TrayIcon->setContextMenu(PopupMenu1);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { TrayIconActivated(reason); });
}

void TForm1::createGrid() {
    FDMemTable1 = new TCashboxListModel(this);
    CashBoxGrid = new QTableView(this);
    CashBoxGrid->setModel(FDMemTable1);
    CashBoxGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    CashBoxGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    CashBoxGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    CashBoxGrid->verticalHeader()->hide();
    CashBoxGrid->setShowGrid(true);
    CashBoxGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    for (int column = 0; column < TCashboxListModel::ColumnCount; ++column) {
        if (TCashboxListModel::kColumnWidths[column] > 0)
            CashBoxGrid->setColumnWidth(column, TCashboxListModel::kColumnWidths[column]);
    }
    connect(CashBoxGrid, &QTableView::doubleClicked, this, [this] { CashBoxGridDblClick(); });
    setCentralWidget(CashBoxGrid);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FShown)
        return;
    FShown = true;
    // Runs from the message loop, right after the window appears: the login dialog and
    // the end of the program both need the loop running.
    QMetaObject::invokeMethod(this, &TForm1::FormShow, Qt::QueuedConnection);
}

void TForm1::FormShow() {
    if (FClosing)
        return;  // the update offered at start-up was accepted: no login
    TClientForm& clientForm = *windows_.ClientForm;
    TPasswordDlg& passwordDlg = *windows_.PasswordDlg;
    try {
        clientForm.SetSettings(FAppSettings.get());
        passwordDlg.checkAuthBegin(this);
        if (!passwordDlg.isAuthorized()) {
            services_.runModal(passwordDlg);
            if (passwordDlg.isAuthorized()) {
                FAppSettings->setToken(passwordDlg.Token());
                FAppSettings->save();
                clientForm.SetSettings(FAppSettings.get());
            }
        }
    } catch (const std::exception& e) {
        services_.dialogs.show(BoxKind::Error, describeStartupError(e));
    }
    if (!passwordDlg.isAuthorized()) {
        closeMainWindow();
        return;
    }
    SafeApplication::guarded(services_.dialogs, [this] { prepareCashboxes(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (FClosing) {
        event->accept();
        return;
    }
    // The caption's close button, Alt+F4 and the window menu only hide the program.
    event->ignore();
    hideToTray();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Without a tray the minimised window stays in the taskbar, the one way back to it.
    if (!FTrayAvailable())
        return;
    // Minimising hides the program instead; the window keeps its normal state for the
    // next "Управление". Hiding waits for the state change to finish.
    QMetaObject::invokeMethod(
        this,
        [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            hideToTray();
        },
        Qt::QueuedConnection);
}

void TForm1::hideToTray() {
    // A panel with a tray can come and go while the program runs: asked anew each time.
    if (FTrayAvailable())
        hide();
    else
        showMinimized();
}

void TForm1::closeMainWindow() {
    FormClose();
    FClosing = true;
    close();
    services_.quit();
}

void TForm1::FormClose() {
    closeCashboxes();
}

void TForm1::TrayIconDblClick() {
    ShowApp->trigger();
}

void TForm1::TrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
    // StatusNotifierItem trays report only the click; XEmbed trays report both, and a
    // double click shows a window that is shown already.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        TrayIconDblClick();
}

void TForm1::ShowAppExecute() {
    if (FClosing)
        return;  // a later start's request while the program ends
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::showClientExecute() {
    TClientForm& clientForm = *windows_.ClientForm;
    clientForm.show();
    clientForm.raise();
    clientForm.activateWindow();
}

void TForm1::AppCloseExecute() {
    closeMainWindow();
}

void TForm1::LogoutExecute() {
    FAppSettings->setToken("");
    FAppSettings->save();
    closeMainWindow();
}

void TForm1::ActionHelpExecute() {
    // A browser that cannot be started is not reported.
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(kHelpUrl)));
}

void TForm1::AddCashboxExecute() {
    TAddCashboxWizard& wizard = *windows_.AddCashboxWizard;
    wizard.setSettings(FAppSettings.get());
    services_.runModal(wizard);
    if (wizard.success())
        prepareCashboxes();
}

void TForm1::ActionCheckUpdateExecute() {
    FUpdateActions->ActionCheckUpdateExecute(true);
}

void TForm1::ActionUpdateExecute() {
    FUpdateActions->ActionUpdateExecute();
}

void TForm1::AboutExecute() {
    TAboutForm& about = *windows_.AboutForm;
    about.Version->setText(QString::fromStdString(FUpdater->strVersion()));
    services_.runModal(about);
}

}  // namespace th
