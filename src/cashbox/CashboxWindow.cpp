#include "cashbox/CashboxWindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "cashbox/CashboxConnection.h"
#include "cashbox/CashboxRecord.h"
#include "cashbox/DocumentsPage.h"
#include "drivers/AtolDriver.h"
#include "platform/Dialogs.h"
#include "platform/gui/ObjectNames.h"
#include "platform/gui/SafeApplication.h"
#include "platform/gui/SerialPortCombo.h"
#include "platform/gui/WindowFit.h"

namespace th {

namespace {

constexpr const char* kComConnection = "COM";

QString qtText(const std::string& text) {
    return QString::fromStdString(text);
}

std::string stdText(const QString& text) {
    return text.toStdString();
}

// Editable combo boxes keep what the user types as the box's text only: nothing is added
// to the item list.
void makeEditable(QComboBox& combo) {
    combo.setEditable(true);
    combo.setInsertPolicy(QComboBox::NoInsert);
}

}  // namespace

void CashboxWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

CashboxWindow::CashboxWindow(IDialogs& dialogs, CashboxRecord& record, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), record_(record) {
    setWindowFlag(Qt::Window);
    setWindowTitle(QString::fromUtf8(kCaption));
    createControls();
    nameControls();
    // The settings page keeps the window's size; the tabs' bar comes on top of it.
    resizeToFit(*this, {kClientWidth, kClientHeight + pages_->tabBar()->sizeHint().height()});
    showData();
    if (CashBoxSettingsPtr settings = record_.cashboxSettings())
        fillControls(record_.settings()->readCashbox(settings));
    showState();
    record_.setOnStateShown([this](CashboxRecord&) {
        showState();
        documentsPage_->followRecord();
    });
    connectSignals();
}

CashboxWindow::~CashboxWindow() {
    record_.setOnStateShown(nullptr);
}

// ---- controls -------------------------------------------------------------------------------

// Two pages over one status bar: the register's settings, as they always were, and its
// documents.
void CashboxWindow::createControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    settingsPage_ = new QWidget;
    auto* settingsLayout = new QVBoxLayout(settingsPage_);
    settingsLayout->setContentsMargins(0, 0, 0, 0);
    settingsLayout->setSpacing(0);
    deviceBox_ = createDeviceBox();
    deviceBox_->setFixedHeight(kDeviceBoxHeight);
    settingsLayout->addWidget(deviceBox_);
    connectionBox_ = createConnectionBox();
    settingsLayout->addWidget(connectionBox_, 1);
    documentsPage_ = new DocumentsPage(dialogs_, record_);
    pages_ = new QTabWidget;
    pages_->setDocumentMode(true);
    pages_->addTab(settingsPage_, QString::fromUtf8("Настройки"));
    pages_->addTab(documentsPage_, QString::fromUtf8(DocumentsPage::kTitle));
    layout->addWidget(pages_, 1);
    createStatusBar();
    layout->addWidget(statusLine_);
}

QLineEdit* CashboxWindow::addReadOnlyEdit(QGridLayout& grid, int row, int column,
                                          const char* label) {
    auto* edit = new QLineEdit;
    edit->setReadOnly(true);
    auto* caption = new QLabel(QString::fromUtf8(label));
    caption->setBuddy(edit);
    grid.addWidget(caption, row, column);
    grid.addWidget(edit, row + 1, column);
    return edit;
}

QComboBox* CashboxWindow::addCombo(QGridLayout& grid, int row, int column, const char* label,
                                   QLabel** labelOut, QComboBox* combo) {
    if (combo == nullptr)
        combo = new QComboBox;
    auto* caption = new QLabel(QString::fromUtf8(label));
    caption->setBuddy(combo);
    grid.addWidget(caption, row, column);
    grid.addWidget(combo, row + 1, column);
    if (labelOut)
        *labelOut = caption;
    return combo;
}

QGroupBox* CashboxWindow::createDeviceBox() {
    auto* box = new QGroupBox(QString::fromUtf8("Информация об устройстве"));
    auto* grid = new QGridLayout(box);
    serialEdit_ = addReadOnlyEdit(*grid, 0, 0, "Серийный номер кассы");
    addressEdit_ = addReadOnlyEdit(*grid, 0, 1, "Адрес установки");
    placeEdit_ = addReadOnlyEdit(*grid, 0, 2, "место расчетов");
    fiscalStorageEdit_ = addReadOnlyEdit(*grid, 2, 0, "Серийный номер ФН");
    registrationStatusEdit_ = addReadOnlyEdit(*grid, 2, 1, "Статус регистрации");
    registrationNumberEdit_ = addReadOnlyEdit(*grid, 2, 2, "Регистрационный номер");
    return box;
}

QGroupBox* CashboxWindow::createConnectionBox() {
    auto* box = new QGroupBox(QString::fromUtf8("Информация о подключении"));
    auto* grid = new QGridLayout(box);

    driverCombo_ = addCombo(*grid, 0, 0, "Драйвер устройства", nullptr);
    makeEditable(*driverCombo_);
    driverCombo_->addItem(QString::fromUtf8(kAtolDriverName));
    driverCombo_->setCurrentIndex(-1);
    driverCombo_->setEditText({});
    checkDriverButton_ = new QPushButton(QString::fromUtf8("Проверить драйвер"));
    grid->addWidget(checkDriverButton_, 2, 0);

    connectionTypeCombo_ = addCombo(*grid, 0, 1, "Тип подключения", nullptr);
    makeEditable(*connectionTypeCombo_);
    connectionTypeCombo_->addItems({"USB", "COM"});
    connectionTypeCombo_->setCurrentIndex(-1);
    connectionTypeCombo_->setEditText({});
    checkConnectionButton_ = new QPushButton(QString::fromUtf8("Проверить связь"));
    grid->addWidget(checkConnectionButton_, 2, 1);

    // The machine's serial ports (or the emulator's), read afresh whenever the list opens.
    AutomationRegistry& automation = record_.environment().automation;
    comPortCombo_ =
        addCombo(*grid, 0, 2, "COM-порт", &comPortLabel_,
                 new SerialPortCombo([&automation] { return automation.ports()->list(); }));
    comPortCombo_->setCompleter(nullptr);
    comPortCombo_->setCurrentIndex(comPortCombo_->count() > 0 ? 0 : -1);

    // The line parameters are shown, never used: a COM connection always runs at 115200.
    baudRateCombo_ = addCombo(*grid, 0, 3, "Скорость", &baudRateLabel_);
    dataBitsCombo_ = addCombo(*grid, 0, 4, "Бит в байте", &dataBitsLabel_);
    parityCombo_ = addCombo(*grid, 2, 3, "Четность", &parityLabel_);
    stopBitsCombo_ = addCombo(*grid, 2, 4, "Стоп-битов", &stopBitsLabel_);
    const std::pair<QComboBox*, const char*> shown[] = {{baudRateCombo_, "115200 бод"},
                                                        {dataBitsCombo_, "8 бит"},
                                                        {parityCombo_, "нет"},
                                                        {stopBitsCombo_, "1 бит"}};
    for (auto [combo, text] : shown) {
        makeEditable(*combo);
        combo->setEditText(QString::fromUtf8(text));
    }
    const std::initializer_list<QWidget*> disabled = {
        comPortCombo_,  comPortLabel_, baudRateCombo_, baudRateLabel_, dataBitsCombo_,
        dataBitsLabel_, parityCombo_,  parityLabel_,   stopBitsCombo_, stopBitsLabel_};
    for (QWidget* w : disabled)
        w->setEnabled(false);

    autostartCheck_ = new QCheckBox(
        QString::fromUtf8("Устанавливать соединение автоматически при запуске программы"));
    grid->addWidget(autostartCheck_, 4, 0, 1, 3);
    connectButton_ = new QPushButton(QString::fromUtf8("Установить соединение"));
    grid->addWidget(connectButton_, 5, 0);
    disconnectButton_ = new QPushButton(QString::fromUtf8("Разорвать соединение"));
    grid->addWidget(disconnectButton_, 5, 1);
    saveButton_ = new QPushButton(QString::fromUtf8("Сохранить настройки"));
    saveButton_->setEnabled(false);
    grid->addWidget(saveButton_, 5, 4);
    grid->setRowStretch(6, 1);
    return box;
}

// Panel 0 is drawn by its owner and left empty; panel 1 shows the connection.
void CashboxWindow::createStatusBar() {
    statusLine_ = new QStatusBar;
    statusLine_->setSizeGripEnabled(false);
    connectionPanel_ = new QLabel;
    connectionPanel_->setFixedWidth(kConnectionPanelWidth);
    statusPanel_ = new QLabel(QString::fromUtf8(kPanelNotConnected));
    statusPanel_->setFixedWidth(kStatusPanelWidth);
    statusLine_->addWidget(connectionPanel_);
    statusLine_->addWidget(statusPanel_);
}

void CashboxWindow::connectSignals() {
    auto run = [this](void (CashboxWindow::*handler)()) {
        return [this, handler] { guarded([&] { (this->*handler)(); }); };
    };
    connect(pages_, &QTabWidget::currentChanged, this, [this] {
        if (pages_->currentWidget() == documentsPage_)
            documentsPage_->activate();
    });
    connect(driverCombo_, &QComboBox::currentTextChanged, this,
            run(&CashboxWindow::onDriverChosen));
    connect(connectionTypeCombo_, &QComboBox::currentTextChanged, this,
            run(&CashboxWindow::onFieldEdited));
    connect(comPortCombo_, &QComboBox::currentTextChanged, this,
            run(&CashboxWindow::onFieldEdited));
    connect(autostartCheck_, &QCheckBox::clicked, this, run(&CashboxWindow::onFieldEdited));
    connect(checkDriverButton_, &QPushButton::clicked, this,
            run(&CashboxWindow::showDriverVersion));
    connect(checkConnectionButton_, &QPushButton::clicked, this,
            run(&CashboxWindow::testConnection));
    connect(connectButton_, &QPushButton::clicked, this, run(&CashboxWindow::connectByUser));
    connect(disconnectButton_, &QPushButton::clicked, this, run(&CashboxWindow::disconnectByUser));
    connect(saveButton_, &QPushButton::clicked, this, run(&CashboxWindow::saveSettings));
}

void CashboxWindow::guarded(const std::function<void()>& handler) {
    SafeApplication::guarded(dialogs_, handler);
}

// ---- data and settings ----------------------------------------------------------------------

std::string CashboxWindow::serial() const {
    return stdText(serialEdit_->text());
}

bool CashboxWindow::isConnected() const {
    return record_.isConnected();
}

void CashboxWindow::showData() {
    serialEdit_->setText(qtText(record_.dataText("kkt_serial")));
    addressEdit_->setText(qtText(record_.dataText("address")));
    placeEdit_->setText(qtText(record_.dataText("place")));
    registrationNumberEdit_->setText(qtText(record_.dataText("kkt_reg_num")));
    fiscalStorageEdit_->setText(qtText(record_.dataText("fs_serial")));
}

// Filling the controls is not an edit by the user: their change handlers do not run.
void CashboxWindow::fillControls(const CashboxSettings& record) {
    const QSignalBlocker blockDriver(driverCombo_);
    const QSignalBlocker blockType(connectionTypeCombo_);
    const QSignalBlocker blockPort(comPortCombo_);
    driverCombo_->setCurrentText(qtText(record.driver));
    connectionTypeCombo_->setCurrentText(qtText(record.connectionType));
    comPortCombo_->setCurrentText(qtText(record.comPort));
    autostartCheck_->setChecked(record.autostart);
    const bool com = connectionTypeCombo_->currentText() == kComConnection;
    comPortCombo_->setEnabled(com);
    comPortLabel_->setEnabled(com);
}

void CashboxWindow::showState() {
    statusPanel_->setText(qtText(record_.state().panel));
}

// Only the exact name "Атол" gives the register a driver, and a worker to hold it; a
// worker already there lets its driver go for any other name.
void CashboxWindow::onDriverChosen() {
    const std::string name = stdText(driverCombo_->currentText());
    record_.editSettings([&](CashboxSettings& record) { record.driver = name; });
    onFieldEdited();
    if (name != kAtolDriverName && !record_.worker())
        return;
    record_.ensureWorker().postUserAction(
        [name](RegisterLink& link, ActionOutcome&) { link.setDriverName(name); }, this,
        [this](const ActionOutcome& outcome) { showOutcome(outcome); });
}

void CashboxWindow::onFieldEdited() {
    saveButton_->setEnabled(false);
    const bool com = connectionTypeCombo_->currentText() == kComConnection;
    comPortCombo_->setEnabled(com);
    comPortLabel_->setEnabled(com);
    const std::string connectionType = stdText(connectionTypeCombo_->currentText());
    const std::string comPort = stdText(comPortCombo_->currentText());
    const bool automatic = autostartCheck_->isChecked();
    record_.editSettings([&](CashboxSettings& record) {
        record.connectionType = connectionType;
        record.comPort = comPort;
        record.autostart = automatic;
    });
    if (RegisterWorker* worker = record_.worker())
        worker->post([connectionType, comPort](RegisterLink& link) {
            link.setConnection(connectionType, comPort);
        });
}

void CashboxWindow::saveSettings() {
    AppSettings* settings = record_.settings();
    CashBoxSettingsPtr record = record_.cashboxSettings();
    if (!settings || !record)
        return;
    settings->setCashboxSettings(record);
    settings->save();
    saveButton_->setEnabled(false);
}

RegisterWorker& CashboxWindow::requireWorker() {
    if (!record_.worker() && stdText(driverCombo_->currentText()) != kAtolDriverName)
        throw CashboxError(kNoDriverSelected);
    return record_.ensureWorker();
}

void CashboxWindow::runOnWorker(const std::function<void(RegisterLink&, ActionOutcome&)>& action) {
    requireWorker().postUserAction(action, this,
                                   [this](const ActionOutcome& outcome) { showOutcome(outcome); });
}

// The boxes of the user's own action, shown once the worker has carried it out; the worker
// goes on meanwhile.
void CashboxWindow::showOutcome(const ActionOutcome& outcome) {
    if (outcome.enableSave)
        saveButton_->setEnabled(true);
    for (const StateWarning& box : outcome.boxes)
        dialogs_.show(box.kind, box.text);
}

void CashboxWindow::showDriverVersion() {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.driverVersion(outcome); });
}

// ---- connection -----------------------------------------------------------------------------

void CashboxWindow::testConnection() {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.checkConnection(outcome); });
}

void CashboxWindow::connectByUser() {
    runOnWorker([](RegisterLink& link, ActionOutcome&) { link.connectRegister(); });
}

// Only the button switches the reconnection off. Without a worker nothing is connected.
void CashboxWindow::disconnectByUser() {
    if (!record_.worker())
        return;
    runOnWorker([](RegisterLink& link, ActionOutcome&) { link.disconnectRegister(true); });
}

void CashboxWindow::showDocumentsPage() {
    pages_->setCurrentWidget(documentsPage_);
    if (record_.needsAttention())
        documentsPage_->showAttention();
    documentsPage_->activate();
}

void CashboxWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (record_.needsAttention())
        showDocumentsPage();
}

void CashboxWindow::nameControls() {
    setObjectNames({
        {pages_, "pages"},
        {settingsPage_, "settingsPage"},
        {documentsPage_, "documentsPage"},
        {deviceBox_, "deviceBox"},
        {serialEdit_, "serialEdit"},
        {addressEdit_, "addressEdit"},
        {placeEdit_, "placeEdit"},
        {fiscalStorageEdit_, "fiscalStorageEdit"},
        {registrationStatusEdit_, "registrationStatusEdit"},
        {registrationNumberEdit_, "registrationNumberEdit"},
        {connectionBox_, "connectionBox"},
        {driverCombo_, "driverCombo"},
        {checkDriverButton_, "checkDriverButton"},
        {connectionTypeCombo_, "connectionTypeCombo"},
        {checkConnectionButton_, "checkConnectionButton"},
        {autostartCheck_, "autostartCheck"},
        {connectButton_, "connectButton"},
        {disconnectButton_, "disconnectButton"},
        {comPortCombo_, "comPortCombo"},
        {comPortLabel_, "comPortLabel"},
        {baudRateCombo_, "baudRateCombo"},
        {baudRateLabel_, "baudRateLabel"},
        {dataBitsCombo_, "dataBitsCombo"},
        {dataBitsLabel_, "dataBitsLabel"},
        {parityCombo_, "parityCombo"},
        {parityLabel_, "parityLabel"},
        {stopBitsCombo_, "stopBitsCombo"},
        {stopBitsLabel_, "stopBitsLabel"},
        {saveButton_, "saveButton"},
        {statusLine_, "statusLine"},
        {connectionPanel_, "connectionPanel"},
        {statusPanel_, "statusPanel"},
    });
}

}  // namespace th
