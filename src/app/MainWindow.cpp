#include "app/MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/Autostart.h"
#include "app/CashboxTableModel.h"
#include "app/DesktopNotifier.h"
#include "app/Icons.h"
#include "auth/LoginDialog.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/CashboxWindow.h"
#include "dispatcher/gui/RequestLogWindow.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/Version.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/SafeApplication.h"
#include "platform/gui/WindowFit.h"
#include "settings/AppSettings.h"
#include "updater/AboutDialog.h"
#include "updater/UpdateActions.h"
#include "updater/Updater.h"
#include "wizard/AddCashboxWizard.h"

namespace th {

namespace {

// Enter (or Return) on a row of the register table opens it, as a double click does. A
// filter rather than the view's "activated", which some styles emit on a single click.
class EnterOpensRow : public QObject {
public:
    EnterOpensRow(QObject* parent, std::function<void()> open)
        : QObject(parent), open_(std::move(open)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
            if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
                open_();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> open_;
};

}  // namespace

MainWindow::MainWindow(ShellServices& services, const ProcessWindows& windows)
    : services_(services),
      windows_(windows),
      background_(std::make_unique<BackgroundTasks>(*this)),
      autostartDirectory_(AutostartEntry::sessionDirectory()) {
    setWindowTitle(kCaption);
    QFont tahoma("Tahoma");
    tahoma.setPixelSize(11);
    setFont(tahoma);
    connectedIcon_ = greenStatusIcon();
    disconnectedIcon_ = redStatusIcon();
    setWindowIcon(connectedIcon_);
    createActions();
    createMenus();
    createTrayIcon();
    createCashboxTable();
    createStatusLine();
    nameControls();
    resizeToFit(*this, {kClientWidth, kClientHeight + menuBar()->sizeHint().height()});
    move(0, 0);
    setUpWindow();
}

MainWindow::~MainWindow() = default;

void MainWindow::setUpWindow() {
    trayIcon_->show();
    appSettings_ = std::make_unique<AppSettings>(services_.paths.settingsDir);
    runAtLoginAction_->setChecked(
        appSettings_->runAtLogin().value_or(AutostartEntry(autostartDirectory_, "").exists()));
    updater_ = std::make_unique<Updater>(*appSettings_, services_.dialogs);
    updater_->setAbortFlag(&background_->abortFlag());
    updateActions_ = std::make_unique<UpdateActions>(
        *updater_, services_.dialogs,
        UpdateActions::Hooks{.isUpdateEnabled = [this] { return updateAction_->isEnabled(); },
                             .enableUpdate = [this] { updateAction_->setEnabled(true); },
                             .appClose = [this] { quit(); }});
    setWindowTitle(windowTitle() + QString::fromStdString(updater_->currentVersionText()));
    checkUpdateAtStartup();
}

QAction* MainWindow::addAction(const char* caption, void (MainWindow::*handler)()) {
    auto* action = new QAction(QString::fromUtf8(caption), this);
    connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    return action;
}

void MainWindow::createActions() {
    addCashboxAction_ = addAction("Добавить кассу", &MainWindow::addCashbox);
    addCashboxAction_->setIcon(addCashboxIcon());
    showRequestLogAction_ = addAction("Открыть клиент", &MainWindow::showRequestLog);
    quitAction_ = addAction("Выход", &MainWindow::quit);
    logOutAction_ = addAction("Разлогинить", &MainWindow::logOut);
    helpAction_ = addAction("Помощь", &MainWindow::openHelp);
    checkUpdateAction_ = addAction("Проверить обновления", &MainWindow::checkForUpdate);
    updateAction_ = addAction("Обновить", &MainWindow::startUpdate);
    updateAction_->setEnabled(false);  // until an update check finds a newer version
    aboutAction_ = addAction("О программе", &MainWindow::showAbout);
    showAction_ = addAction("Управление", &MainWindow::showWindow);
    runAtLoginAction_ = new QAction(QString::fromUtf8(kRunAtLogin), this);
    runAtLoginAction_->setCheckable(true);
    // Triggered only by the user: setting the mark from the settings writes nothing.
    connect(runAtLoginAction_, &QAction::triggered, this, [this](bool on) { setRunAtLogin(on); });
    retryNowAction_ = addAction(kRetryNow, &MainWindow::retryNow);
    dismissMessageAction_ = addAction("✕", &MainWindow::dismissMessage);
    dismissMessageAction_->setToolTip("Скрыть сообщение");
}

void MainWindow::createMenus() {
    actionsMenu_ = menuBar()->addMenu("Действия");
    actionsMenu_->addAction(addCashboxAction_);
    actionsMenu_->addAction(showRequestLogAction_);
    actionsMenu_->addAction(runAtLoginAction_);
    actionsMenu_->addSeparator();
    actionsMenu_->addAction(quitAction_);
    actionsMenu_->addAction(logOutAction_);

    helpMenu_ = menuBar()->addMenu("Справка");
    helpMenu_->addAction(helpAction_);
    helpMenu_->addAction(checkUpdateAction_);
    helpMenu_->addAction(updateAction_);
    helpMenu_->addSeparator();
    helpMenu_->addAction(aboutAction_);

    trayMenu_ = new QMenu(this);
    trayMenu_->addAction(showAction_);
    trayMenu_->addAction(showRequestLogAction_);
    trayMenu_->addSeparator();
    trayMenu_->addAction(helpAction_);
    trayMenu_->addAction(updateAction_);
    trayMenu_->addSeparator();
    trayMenu_->addAction(quitAction_);
}

void MainWindow::createTrayIcon() {
    // Red until a register reports a connection.
    trayIcon_ = new QSystemTrayIcon(disconnectedIcon_, this);
    trayIcon_->setToolTip("Тиллхейвен");
    trayIcon_->setContextMenu(trayMenu_);
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { onTrayIconActivated(reason); });
    notifier_ = new DesktopNotifier(
        *trayIcon_, [this] { return trayAvailable_(); }, this);
}

void MainWindow::createCashboxTable() {
    cashboxModel_ = new CashboxTableModel(this);
    cashboxTable_ = new QTableView(this);
    cashboxTable_->setModel(cashboxModel_);
    cashboxTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    cashboxTable_->setSelectionMode(QAbstractItemView::SingleSelection);
    cashboxTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    cashboxTable_->verticalHeader()->hide();
    cashboxTable_->setShowGrid(true);
    cashboxTable_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    for (int column = 0; column < CashboxTableModel::ColumnCount; ++column) {
        if (CashboxTableModel::kColumnWidths[column] > 0)
            cashboxTable_->setColumnWidth(column, CashboxTableModel::kColumnWidths[column]);
    }
    connect(cashboxTable_, &QTableView::doubleClicked, this, [this] { openSelectedCashbox(); });
    createMessageLine();
    auto* client = new QWidget(this);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(messageLine_);
    layout->addWidget(cashboxTable_, 1);
    cashboxTable_->installEventFilter(
        new EnterOpensRow(cashboxTable_, [this] { openSelectedCashbox(); }));
    setCentralWidget(client);
}

// Above the list: the latest problem that belongs to no register, until dismissed.
void MainWindow::createMessageLine() {
    messageLine_ = new QWidget(this);
    auto* row = new QHBoxLayout(messageLine_);
    row->setContentsMargins(4, 2, 2, 2);
    messageText_ = new QLabel(messageLine_);
    messageText_->setWordWrap(true);
    messageText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    dismissButton_ = new QToolButton(messageLine_);
    dismissButton_->setDefaultAction(dismissMessageAction_);
    dismissButton_->setAutoRaise(true);
    row->addWidget(messageText_, 1);
    row->addWidget(dismissButton_);
    messageLine_->setStyleSheet("background-color: #fff4c2;");
    messageLine_->hide();
}

// Below the list, while the start waits for the service: the countdown and "Повторить
// сейчас".
void MainWindow::createStatusLine() {
    serviceStatusLabel_ = new QLabel(this);
    retryNowButton_ = new QToolButton(this);
    retryNowButton_->setDefaultAction(retryNowAction_);
    statusBar()->addWidget(serviceStatusLabel_, 1);
    statusBar()->addPermanentWidget(retryNowButton_);
    statusBar()->hide();
    retryTimer_ = new QTimer(this);
    retryTimer_->setSingleShot(true);
    connect(retryTimer_, &QTimer::timeout, this, [this] { retryNow(); });
    countdownTimer_ = new QTimer(this);
    countdownTimer_->setInterval(1000);
    connect(countdownTimer_, &QTimer::timeout, this, [this] {
        secondsToRetry_ = std::max(secondsToRetry_ - 1, 0);
        showCountdown();
    });
    updateRetryTimer_ = new QTimer(this);
    updateRetryTimer_->setSingleShot(true);
    connect(updateRetryTimer_, &QTimer::timeout, this, [this] { startUpdateCheck(); });
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // Runs from the message loop, right after the window appears: the login dialog and
    // the end of the program both need the loop running.
    QMetaObject::invokeMethod(this, &MainWindow::startOnFirstShow, Qt::QueuedConnection);
}

void MainWindow::begin(bool hidden) {
    if (!hidden) {
        show();
        return;
    }
    // Without a tray the taskbar is the one way back to the window.
    if (!trayAvailable_())
        showMinimized();
    QMetaObject::invokeMethod(this, &MainWindow::startOnFirstShow, Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    // The caption's close button, Alt+F4 and the window menu only hide the program.
    event->ignore();
    hideToTray();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Without a tray the minimised window stays in the taskbar, the one way back to it.
    if (!trayAvailable_())
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

void MainWindow::hideToTray() {
    // A panel with a tray can come and go while the program runs: asked anew each time.
    if (trayAvailable_())
        hide();
    else
        showMinimized();
}

void MainWindow::closeMainWindow() {
    stopRegisters();
    startStage_ = StartStage::Ended;
    closing_ = true;
    close();
    services_.quit();
}

// The requests of the start and the update check end first: they log to the client window
// and read the settings.
void MainWindow::stopRegisters() {
    retryTimer_->stop();
    countdownTimer_->stop();
    updateRetryTimer_->stop();
    background_->stop();
    closeCashboxes();
}

void MainWindow::showFromTray() {
    showAction_->trigger();
}

void MainWindow::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
    // StatusNotifierItem trays report only the click; XEmbed trays report both, and a
    // double click shows a window that is shown already.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        showFromTray();
}

void MainWindow::showWindow() {
    if (closing_)
        return;  // a later start's request while the program ends
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::showRequestLog() {
    RequestLogWindow& requestLogWindow = *windows_.requestLogWindow;
    requestLogWindow.show();
    requestLogWindow.raise();
    requestLogWindow.activateWindow();
}

void MainWindow::quit() {
    closeMainWindow();
}

void MainWindow::logOut() {
    appSettings_->setToken("");
    appSettings_->save();
    closeMainWindow();
}

void MainWindow::openHelp() {
    // A browser that cannot be started is not reported.
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(kHelpUrl)));
}

void MainWindow::addCashbox() {
    AddCashboxWizard& wizard = *windows_.addCashboxWizard;
    wizard.setSettings(appSettings_.get());
    wizard.setListedCheck(
        [this](const std::string& serial) { return findCashbox(serial) != nullptr; });
    services_.runModal(wizard);
    if (wizard.success())
        prepareCashboxes();
}

void MainWindow::checkForUpdate() {
    updateActions_->checkForUpdate(true);
}

void MainWindow::startUpdate() {
    updateActions_->startUpdate();
}

void MainWindow::showAbout() {
    AboutDialog& about = *windows_.aboutDialog;
    about.setVersion(QString::fromStdString(updater_->currentVersionText()));
    services_.runModal(about);
}

void MainWindow::nameControls() {
    setObjectNames({
        {addCashboxAction_, "addCashboxAction"},
        {showRequestLogAction_, "showRequestLogAction"},
        {quitAction_, "quitAction"},
        {logOutAction_, "logOutAction"},
        {helpAction_, "helpAction"},
        {checkUpdateAction_, "checkUpdateAction"},
        {updateAction_, "updateAction"},
        {aboutAction_, "aboutAction"},
        {showAction_, "showAction"},
        {runAtLoginAction_, "runAtLoginAction"},
        {retryNowAction_, "retryNowAction"},
        {dismissMessageAction_, "dismissMessageAction"},
        {messageText_, "messageText"},
        {serviceStatusLabel_, "serviceStatusLabel"},
        {actionsMenu_, "actionsMenu"},
        {helpMenu_, "helpMenu"},
        {trayMenu_, "trayMenu"},
        {cashboxTable_, "cashboxTable"},
    });
}

}  // namespace th
