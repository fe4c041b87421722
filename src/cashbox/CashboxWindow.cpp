#include "cashbox/CashboxWindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>

#include "cashbox/CashboxConnection.h"
#include "cashbox/CashboxRecord.h"
#include "drivers/AtolDriver.h"
#include "platform/Dialogs.h"
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

CashboxWindow::CashboxWindow(IDialogs& dialogs, CashboxRecord& record, QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), record_(record) {
    setWindowFlag(Qt::Window);
    setWindowTitle(QString::fromUtf8(kCaption));
    createControls();
    resizeToFit(*this, {kClientWidth, kClientHeight});
    showData();
    if (CashBoxSettingsPtr settings = record_.CashBoxSettings())
        fillControls(record_.Settings()->readCashbox(settings));
    showState();
    record_.setOnStateShown([this](CashboxRecord&) { showState(); });
    connectSignals();
}

CashboxWindow::~CashboxWindow() {
    record_.setOnStateShown(nullptr);
}

// ---- controls -------------------------------------------------------------------------------

void CashboxWindow::createControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    DeviceBox = createDeviceBox();
    DeviceBox->setFixedHeight(kDeviceBoxHeight);
    layout->addWidget(DeviceBox);
    ConnectionBox = createConnectionBox();
    layout->addWidget(ConnectionBox, 1);
    createStatusBar();
    layout->addWidget(StatusBar1);
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
    KKTSerial = addReadOnlyEdit(*grid, 0, 0, "Серийный номер кассы");
    Address = addReadOnlyEdit(*grid, 0, 1, "Адрес установки");
    Place = addReadOnlyEdit(*grid, 0, 2, "место расчетов");
    FSSerial = addReadOnlyEdit(*grid, 2, 0, "Серийный номер ФН");
    RegStatus = addReadOnlyEdit(*grid, 2, 1, "Статус регистрации");
    RegNum = addReadOnlyEdit(*grid, 2, 2, "Регистрационный номер");
    return box;
}

QGroupBox* CashboxWindow::createConnectionBox() {
    auto* box = new QGroupBox(QString::fromUtf8("Информация о подключении"));
    auto* grid = new QGridLayout(box);

    SDriver = addCombo(*grid, 0, 0, "Драйвер устройства", nullptr);
    makeEditable(*SDriver);
    SDriver->addItem(QString::fromUtf8(kAtolDriverName));
    SDriver->setCurrentIndex(-1);
    SDriver->setEditText({});
    checkDriver = new QPushButton(QString::fromUtf8("Проверить драйвер"));
    grid->addWidget(checkDriver, 2, 0);

    SConnectionType = addCombo(*grid, 0, 1, "Тип подключения", nullptr);
    makeEditable(*SConnectionType);
    SConnectionType->addItems({"USB", "COM"});
    SConnectionType->setCurrentIndex(-1);
    SConnectionType->setEditText({});
    CheckConnection = new QPushButton(QString::fromUtf8("Проверить связь"));
    grid->addWidget(CheckConnection, 2, 1);

    // The machine's serial ports (or the emulator's), read afresh whenever the list opens.
    AutomationRegistry& automation = record_.environment().automation;
    SComPort = addCombo(*grid, 0, 2, "COM-порт", &SComPortLabel,
                        new SerialPortCombo([&automation] { return automation.ports()->list(); }));
    SComPort->setCompleter(nullptr);
    SComPort->setCurrentIndex(SComPort->count() > 0 ? 0 : -1);

    // The line parameters are shown, never used: a COM connection always runs at 115200.
    SBaudRate = addCombo(*grid, 0, 3, "Скорость", &SBaudRateLabel);
    SBit = addCombo(*grid, 0, 4, "Бит в байте", &SBitLabel);
    SParity = addCombo(*grid, 2, 3, "Четность", &SParityLabel);
    SStop = addCombo(*grid, 2, 4, "Стоп-битов", &SStopLabel);
    const std::pair<QComboBox*, const char*> shown[] = {
        {SBaudRate, "115200 бод"}, {SBit, "8 бит"}, {SParity, "нет"}, {SStop, "1 бит"}};
    for (auto [combo, text] : shown) {
        makeEditable(*combo);
        combo->setEditText(QString::fromUtf8(text));
    }
    const std::initializer_list<QWidget*> disabled = {
        SComPort,  SComPortLabel, SBaudRate,    SBaudRateLabel, SBit,
        SBitLabel, SParity,       SParityLabel, SStop,          SStopLabel};
    for (QWidget* w : disabled)
        w->setEnabled(false);

    autostart = new QCheckBox(
        QString::fromUtf8("Устанавливать соединение автоматически при запуске программы"));
    grid->addWidget(autostart, 4, 0, 1, 3);
    Connect = new QPushButton(QString::fromUtf8("Установить соединение"));
    grid->addWidget(Connect, 5, 0);
    Disconnect = new QPushButton(QString::fromUtf8("Разорвать соединение"));
    grid->addWidget(Disconnect, 5, 1);
    SaveBtn = new QPushButton(QString::fromUtf8("Сохранить настройки"));
    SaveBtn->setEnabled(false);
    grid->addWidget(SaveBtn, 5, 4);
    grid->setRowStretch(6, 1);
    return box;
}

// Panel 0 is drawn by its owner and left empty; panel 1 shows the connection.
void CashboxWindow::createStatusBar() {
    StatusBar1 = new QStatusBar;
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel0 = new QLabel;
    StatusPanel0->setFixedWidth(kStatusPanel0Width);
    StatusPanel1 = new QLabel(QString::fromUtf8(kPanelNotConnected));
    StatusPanel1->setFixedWidth(kStatusPanel1Width);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1);
}

void CashboxWindow::connectSignals() {
    auto run = [this](QObject* sender, void (CashboxWindow::*handler)(QObject*)) {
        return [this, sender, handler] { guarded([&] { (this->*handler)(sender); }); };
    };
    connect(SDriver, &QComboBox::currentTextChanged, this,
            run(SDriver, &CashboxWindow::SDriverChange));
    connect(SConnectionType, &QComboBox::currentTextChanged, this,
            run(SConnectionType, &CashboxWindow::FieldChange));
    connect(SComPort, &QComboBox::currentTextChanged, this,
            run(SComPort, &CashboxWindow::FieldChange));
    connect(autostart, &QCheckBox::clicked, this, run(autostart, &CashboxWindow::FieldChange));
    connect(checkDriver, &QPushButton::clicked, this,
            run(checkDriver, &CashboxWindow::checkDriverClick));
    connect(CheckConnection, &QPushButton::clicked, this,
            run(CheckConnection, &CashboxWindow::CheckConnectionClick));
    connect(Connect, &QPushButton::clicked, this, run(Connect, &CashboxWindow::ConnectClick));
    connect(Disconnect, &QPushButton::clicked, this,
            run(Disconnect, &CashboxWindow::DisconnectClick));
    connect(SaveBtn, &QPushButton::clicked, this, run(SaveBtn, &CashboxWindow::SaveBtnClick));
}

void CashboxWindow::guarded(const std::function<void()>& handler) {
    SafeApplication::guarded(dialogs_, handler);
}

// ---- data and settings ----------------------------------------------------------------------

std::string CashboxWindow::serial() const {
    return stdText(KKTSerial->text());
}

bool CashboxWindow::isConnected() const {
    return record_.isConnected();
}

void CashboxWindow::showData() {
    KKTSerial->setText(qtText(record_.dataText("kkt_serial")));
    Address->setText(qtText(record_.dataText("address")));
    Place->setText(qtText(record_.dataText("place")));
    RegNum->setText(qtText(record_.dataText("kkt_reg_num")));
    FSSerial->setText(qtText(record_.dataText("fs_serial")));
}

// Filling the controls is not an edit by the user: their change handlers do not run.
void CashboxWindow::fillControls(const CashboxSettings& record) {
    const QSignalBlocker blockDriver(SDriver);
    const QSignalBlocker blockType(SConnectionType);
    const QSignalBlocker blockPort(SComPort);
    SDriver->setCurrentText(qtText(record.Driver));
    SConnectionType->setCurrentText(qtText(record.ConnectionType));
    SComPort->setCurrentText(qtText(record.ComPort));
    autostart->setChecked(record.autostart);
    const bool com = SConnectionType->currentText() == kComConnection;
    SComPort->setEnabled(com);
    SComPortLabel->setEnabled(com);
}

void CashboxWindow::showState() {
    StatusPanel1->setText(qtText(record_.state().panel));
}

// Only the exact name "Атол" gives the register a driver, and a worker to hold it; a
// worker already there lets its driver go for any other name.
void CashboxWindow::SDriverChange(QObject*) {
    const std::string name = stdText(SDriver->currentText());
    record_.editSettings([&](CashboxSettings& record) { record.Driver = name; });
    FieldChange(this);
    if (name != kAtolDriverName && !record_.worker())
        return;
    record_.ensureWorker().postUserAction(
        [name](RegisterLink& link, ActionOutcome&) { link.setDriverName(name); }, this,
        [this](const ActionOutcome& outcome) { showOutcome(outcome); });
}

void CashboxWindow::FieldChange(QObject*) {
    SaveBtn->setEnabled(false);
    const bool com = SConnectionType->currentText() == kComConnection;
    SComPort->setEnabled(com);
    SComPortLabel->setEnabled(com);
    const std::string connectionType = stdText(SConnectionType->currentText());
    const std::string comPort = stdText(SComPort->currentText());
    const bool automatic = autostart->isChecked();
    record_.editSettings([&](CashboxSettings& record) {
        record.ConnectionType = connectionType;
        record.ComPort = comPort;
        record.autostart = automatic;
    });
    if (RegisterWorker* worker = record_.worker())
        worker->post([connectionType, comPort](RegisterLink& link) {
            link.setConnection(connectionType, comPort);
        });
}

void CashboxWindow::SaveBtnClick(QObject*) {
    AppSettings* settings = record_.Settings();
    CashBoxSettingsPtr record = record_.CashBoxSettings();
    if (!settings || !record)
        return;
    settings->setCashboxSettings(record);
    settings->save();
    SaveBtn->setEnabled(false);
}

RegisterWorker& CashboxWindow::requireWorker() {
    if (!record_.worker() && stdText(SDriver->currentText()) != kAtolDriverName)
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
        SaveBtn->setEnabled(true);
    for (const StateWarning& box : outcome.boxes)
        dialogs_.show(box.kind, box.text);
}

void CashboxWindow::checkDriverClick(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.driverVersion(outcome); });
}

// ---- connection -----------------------------------------------------------------------------

void CashboxWindow::CheckConnectionClick(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.checkConnection(outcome); });
}

void CashboxWindow::ConnectClick(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome&) { link.connectRegister(); });
}

// Only the button switches the reconnection off. Without a worker nothing is connected.
void CashboxWindow::DisconnectClick(QObject* Sender) {
    if (!record_.worker())
        return;
    const bool byButton = qobject_cast<QAbstractButton*>(Sender) != nullptr;
    runOnWorker(
        [byButton](RegisterLink& link, ActionOutcome&) { link.disconnectRegister(byButton); });
}

}  // namespace th
