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
    layout->addWidget(statusLine);
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

    driverCombo = addCombo(*grid, 0, 0, "Драйвер устройства", nullptr);
    makeEditable(*driverCombo);
    driverCombo->addItem(QString::fromUtf8(kAtolDriverName));
    driverCombo->setCurrentIndex(-1);
    driverCombo->setEditText({});
    checkDriver = new QPushButton(QString::fromUtf8("Проверить драйвер"));
    grid->addWidget(checkDriver, 2, 0);

    connectionTypeCombo = addCombo(*grid, 0, 1, "Тип подключения", nullptr);
    makeEditable(*connectionTypeCombo);
    connectionTypeCombo->addItems({"USB", "COM"});
    connectionTypeCombo->setCurrentIndex(-1);
    connectionTypeCombo->setEditText({});
    CheckConnection = new QPushButton(QString::fromUtf8("Проверить связь"));
    grid->addWidget(CheckConnection, 2, 1);

    // The machine's serial ports (or the emulator's), read afresh whenever the list opens.
    AutomationRegistry& automation = record_.environment().automation;
    comPortCombo =
        addCombo(*grid, 0, 2, "COM-порт", &comPortLabel,
                 new SerialPortCombo([&automation] { return automation.ports()->list(); }));
    comPortCombo->setCompleter(nullptr);
    comPortCombo->setCurrentIndex(comPortCombo->count() > 0 ? 0 : -1);

    // The line parameters are shown, never used: a COM connection always runs at 115200.
    baudRateCombo = addCombo(*grid, 0, 3, "Скорость", &baudRateLabel);
    dataBitsCombo = addCombo(*grid, 0, 4, "Бит в байте", &dataBitsLabel);
    parityCombo = addCombo(*grid, 2, 3, "Четность", &parityLabel);
    stopBitsCombo = addCombo(*grid, 2, 4, "Стоп-битов", &stopBitsLabel);
    const std::pair<QComboBox*, const char*> shown[] = {{baudRateCombo, "115200 бод"},
                                                        {dataBitsCombo, "8 бит"},
                                                        {parityCombo, "нет"},
                                                        {stopBitsCombo, "1 бит"}};
    for (auto [combo, text] : shown) {
        makeEditable(*combo);
        combo->setEditText(QString::fromUtf8(text));
    }
    const std::initializer_list<QWidget*> disabled = {
        comPortCombo,  comPortLabel, baudRateCombo, baudRateLabel, dataBitsCombo,
        dataBitsLabel, parityCombo,  parityLabel,   stopBitsCombo, stopBitsLabel};
    for (QWidget* w : disabled)
        w->setEnabled(false);

    autostart = new QCheckBox(
        QString::fromUtf8("Устанавливать соединение автоматически при запуске программы"));
    grid->addWidget(autostart, 4, 0, 1, 3);
    Connect = new QPushButton(QString::fromUtf8("Установить соединение"));
    grid->addWidget(Connect, 5, 0);
    Disconnect = new QPushButton(QString::fromUtf8("Разорвать соединение"));
    grid->addWidget(Disconnect, 5, 1);
    saveButton = new QPushButton(QString::fromUtf8("Сохранить настройки"));
    saveButton->setEnabled(false);
    grid->addWidget(saveButton, 5, 4);
    grid->setRowStretch(6, 1);
    return box;
}

// Panel 0 is drawn by its owner and left empty; panel 1 shows the connection.
void CashboxWindow::createStatusBar() {
    statusLine = new QStatusBar;
    statusLine->setSizeGripEnabled(false);
    connectionPanel = new QLabel;
    connectionPanel->setFixedWidth(kConnectionPanelWidth);
    statusPanel = new QLabel(QString::fromUtf8(kPanelNotConnected));
    statusPanel->setFixedWidth(kStatusPanelWidth);
    statusLine->addWidget(connectionPanel);
    statusLine->addWidget(statusPanel);
}

void CashboxWindow::connectSignals() {
    auto run = [this](QObject* sender, void (CashboxWindow::*handler)(QObject*)) {
        return [this, sender, handler] { guarded([&] { (this->*handler)(sender); }); };
    };
    connect(driverCombo, &QComboBox::currentTextChanged, this,
            run(driverCombo, &CashboxWindow::onDriverChosen));
    connect(connectionTypeCombo, &QComboBox::currentTextChanged, this,
            run(connectionTypeCombo, &CashboxWindow::onFieldEdited));
    connect(comPortCombo, &QComboBox::currentTextChanged, this,
            run(comPortCombo, &CashboxWindow::onFieldEdited));
    connect(autostart, &QCheckBox::clicked, this, run(autostart, &CashboxWindow::onFieldEdited));
    connect(checkDriver, &QPushButton::clicked, this,
            run(checkDriver, &CashboxWindow::showDriverVersion));
    connect(CheckConnection, &QPushButton::clicked, this,
            run(CheckConnection, &CashboxWindow::testConnection));
    connect(Connect, &QPushButton::clicked, this, run(Connect, &CashboxWindow::connectByUser));
    connect(Disconnect, &QPushButton::clicked, this,
            run(Disconnect, &CashboxWindow::disconnectByUser));
    connect(saveButton, &QPushButton::clicked, this, run(saveButton, &CashboxWindow::saveSettings));
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
    const QSignalBlocker blockDriver(driverCombo);
    const QSignalBlocker blockType(connectionTypeCombo);
    const QSignalBlocker blockPort(comPortCombo);
    driverCombo->setCurrentText(qtText(record.Driver));
    connectionTypeCombo->setCurrentText(qtText(record.ConnectionType));
    comPortCombo->setCurrentText(qtText(record.ComPort));
    autostart->setChecked(record.autostart);
    const bool com = connectionTypeCombo->currentText() == kComConnection;
    comPortCombo->setEnabled(com);
    comPortLabel->setEnabled(com);
}

void CashboxWindow::showState() {
    statusPanel->setText(qtText(record_.state().panel));
}

// Only the exact name "Атол" gives the register a driver, and a worker to hold it; a
// worker already there lets its driver go for any other name.
void CashboxWindow::onDriverChosen(QObject*) {
    const std::string name = stdText(driverCombo->currentText());
    record_.editSettings([&](CashboxSettings& record) { record.Driver = name; });
    onFieldEdited(this);
    if (name != kAtolDriverName && !record_.worker())
        return;
    record_.ensureWorker().postUserAction(
        [name](RegisterLink& link, ActionOutcome&) { link.setDriverName(name); }, this,
        [this](const ActionOutcome& outcome) { showOutcome(outcome); });
}

void CashboxWindow::onFieldEdited(QObject*) {
    saveButton->setEnabled(false);
    const bool com = connectionTypeCombo->currentText() == kComConnection;
    comPortCombo->setEnabled(com);
    comPortLabel->setEnabled(com);
    const std::string connectionType = stdText(connectionTypeCombo->currentText());
    const std::string comPort = stdText(comPortCombo->currentText());
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

void CashboxWindow::saveSettings(QObject*) {
    AppSettings* settings = record_.Settings();
    CashBoxSettingsPtr record = record_.CashBoxSettings();
    if (!settings || !record)
        return;
    settings->setCashboxSettings(record);
    settings->save();
    saveButton->setEnabled(false);
}

RegisterWorker& CashboxWindow::requireWorker() {
    if (!record_.worker() && stdText(driverCombo->currentText()) != kAtolDriverName)
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
        saveButton->setEnabled(true);
    for (const StateWarning& box : outcome.boxes)
        dialogs_.show(box.kind, box.text);
}

void CashboxWindow::showDriverVersion(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.driverVersion(outcome); });
}

// ---- connection -----------------------------------------------------------------------------

void CashboxWindow::testConnection(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome& outcome) { link.checkConnection(outcome); });
}

void CashboxWindow::connectByUser(QObject*) {
    runOnWorker([](RegisterLink& link, ActionOutcome&) { link.connectRegister(); });
}

// Only the button switches the reconnection off. Without a worker nothing is connected.
void CashboxWindow::disconnectByUser(QObject* Sender) {
    if (!record_.worker())
        return;
    const bool byButton = qobject_cast<QAbstractButton*>(Sender) != nullptr;
    runOnWorker(
        [byButton](RegisterLink& link, ActionOutcome&) { link.disconnectRegister(byButton); });
}

}  // namespace th
