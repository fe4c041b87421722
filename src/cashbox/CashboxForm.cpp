#include "cashbox/CashboxForm.h"

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
#include <QTimer>
#include <QVBoxLayout>

#include "cashbox/CashboxConnection.h"
#include "dispatcher/RestClient.h"
#include "dispatcher/gui/ClientForm.h"
#include "drivers/Atoldrv.h"
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

TFormCashbox::TFormCashbox(const TCashboxEnvironment& environment, QWidget* parent)
    : QWidget(parent),
      dialogs_(environment.dialogs),
      automation_(environment.automation),
      clientForm_(environment.clientForm),
      journalPath_(environment.journalPath) {
    setWindowFlag(Qt::Window);
    setWindowTitle(QString::fromUtf8(kCaption));
    createControls();
    createTimers();
    resizeToFit(*this, {kClientWidth, kClientHeight});
    FormCreate();
    FExchange = std::make_unique<TExchangeCycle>(static_cast<ExchangeHost&>(*this), *FClient,
                                                 FJournal, environment.commandResults, dialogs_);
    connectSignals();
}

TFormCashbox::~TFormCashbox() {
    ClientTimer->stop();
    ReconnectTimer->stop();
    FConnectionChange = nullptr;
    if (!FDriver)
        return;
    // A window released without free() still lets its register go, but tells nobody.
    FDriver->setOnChangedState(nullptr);
    try {
        if (FisConnected)
            FDriver->disconnect();
    } catch (const std::exception&) {
        // The connection goes with the driver object.
    }
}

// The process-wide command results are created empty once, by the application: a window
// created while results wait for the next request must not throw them away.
void TFormCashbox::FormCreate() {
    FClient = std::make_unique<TTHVRESTClient>(dialogs_);
    FClient->setOnLog([&clientForm = clientForm_](const std::string& command, const Json& data) {
        clientForm.log(command, data);
    });
    FisConnected = false;
    try {
        FJournal.openJournal(journalPath_);
    } catch (const std::exception& e) {
        dialogs_.show(BoxKind::Error, e.what());
    }
}

// ---- controls -------------------------------------------------------------------------------

void TFormCashbox::createControls() {
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

QLineEdit* TFormCashbox::addReadOnlyEdit(QGridLayout& grid, int row, int column,
                                         const char* label) {
    auto* edit = new QLineEdit;
    edit->setReadOnly(true);
    auto* caption = new QLabel(QString::fromUtf8(label));
    caption->setBuddy(edit);
    grid.addWidget(caption, row, column);
    grid.addWidget(edit, row + 1, column);
    return edit;
}

QComboBox* TFormCashbox::addCombo(QGridLayout& grid, int row, int column, const char* label,
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

QGroupBox* TFormCashbox::createDeviceBox() {
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

QGroupBox* TFormCashbox::createConnectionBox() {
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
    SComPort = addCombo(
        *grid, 0, 2, "COM-порт", &SComPortLabel,
        new SerialPortCombo([&automation = automation_] { return automation.ports()->list(); }));
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
void TFormCashbox::createStatusBar() {
    StatusBar1 = new QStatusBar;
    StatusBar1->setSizeGripEnabled(false);
    StatusPanel0 = new QLabel;
    StatusPanel0->setFixedWidth(kStatusPanel0Width);
    StatusPanel1 = new QLabel(QString::fromUtf8(kPanelNotConnected));
    StatusPanel1->setFixedWidth(kStatusPanel1Width);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1);
}

void TFormCashbox::createTimers() {
    ClientTimer = new QTimer(this);
    ClientTimer->setInterval(kClientInterval);
    ReconnectTimer = new QTimer(this);
    ReconnectTimer->setInterval(kReconnectInterval);
}

void TFormCashbox::connectSignals() {
    auto run = [this](QObject* sender, void (TFormCashbox::*handler)(QObject*)) {
        return [this, sender, handler] { guarded([&] { (this->*handler)(sender); }); };
    };
    connect(SDriver, &QComboBox::currentTextChanged, this,
            run(SDriver, &TFormCashbox::SDriverChange));
    connect(SConnectionType, &QComboBox::currentTextChanged, this,
            run(SConnectionType, &TFormCashbox::FieldChange));
    connect(SComPort, &QComboBox::currentTextChanged, this,
            run(SComPort, &TFormCashbox::FieldChange));
    connect(autostart, &QCheckBox::clicked, this, run(autostart, &TFormCashbox::FieldChange));
    connect(checkDriver, &QPushButton::clicked, this,
            run(checkDriver, &TFormCashbox::checkDriverClick));
    connect(CheckConnection, &QPushButton::clicked, this,
            run(CheckConnection, &TFormCashbox::CheckConnectionClick));
    connect(Connect, &QPushButton::clicked, this, run(Connect, &TFormCashbox::ConnectClick));
    connect(Disconnect, &QPushButton::clicked, this,
            run(Disconnect, &TFormCashbox::DisconnectClick));
    connect(SaveBtn, &QPushButton::clicked, this, run(SaveBtn, &TFormCashbox::SaveBtnClick));
    connect(ClientTimer, &QTimer::timeout, this, run(ClientTimer, &TFormCashbox::ClientTimerTimer));
    connect(ReconnectTimer, &QTimer::timeout, this,
            run(ReconnectTimer, &TFormCashbox::ReconnectTimerTimer));
}

void TFormCashbox::guarded(const std::function<void()>& handler) {
    SafeApplication::guarded(dialogs_, handler);
}

// ---- data and settings ----------------------------------------------------------------------

std::string TFormCashbox::serial() const {
    return stdText(KKTSerial->text());
}

std::string TFormCashbox::driverName() {
    return stdText(SDriver->currentText());
}

// The window keeps its own copy: the caller's answer may go with its client's next request.
void TFormCashbox::setData(const Json& data) {
    FJData = copyJson(data);
    auto text = [&](const char* member) { return textAt(FJData, member).value_or(""); };
    KKTSerial->setText(qtText(text("kkt_serial")));
    Address->setText(qtText(text("address")));
    Place->setText(qtText(text("place")));
    FCashboxToken = text("token");
    RegNum->setText(qtText(text("kkt_reg_num")));
    FSSerial->setText(qtText(text("fs_serial")));
}

void TFormCashbox::setSettings(TAppSettings& settings) {
    FSettings = &settings;
    FClient->setSettings(&settings);
    FCashBoxSettings = settings.getCashboxSettings(serial());
    if (!FCashBoxSettings) {
        // A register new to this workstation: the store holds its record once it is saved.
        FCashBoxSettings = std::make_shared<TCashBoxSettings>();
        FCashBoxSettings->KKTSerial = serial();
    }
    fillControls(settings.readCashbox(FCashBoxSettings));
    SDriverChange(this);
    if (!autostart->isChecked())
        return;
    // Without a driver there is nothing to retry: the window stays idle.
    requireDriver();
    // On before the attempt, so a failed first attempt is retried.
    ReconnectTimer->start();
    ConnectClick(this);
}

// Filling the controls is not an edit by the user: their change handlers do not run.
void TFormCashbox::fillControls(const TCashBoxSettings& record) {
    const QSignalBlocker blockDriver(SDriver);
    const QSignalBlocker blockType(SConnectionType);
    const QSignalBlocker blockPort(SComPort);
    SDriver->setCurrentText(qtText(record.Driver));
    SConnectionType->setCurrentText(qtText(record.ConnectionType));
    SComPort->setCurrentText(qtText(record.ComPort));
    autostart->setChecked(record.autostart);
}

// The record is shared with the settings store, which other threads may save.
void TFormCashbox::editRecord(const std::function<void(TCashBoxSettings&)>& change) {
    if (FSettings && FCashBoxSettings)
        FSettings->editCashbox(FCashBoxSettings, change);
}

void TFormCashbox::SDriverChange(QObject*) {
    releaseDriver();
    const std::string name = driverName();
    if (name == kAtolDriverName) {
        FDriver = std::make_unique<TAtoldrv>(serial(), automation_);
        FDriver->setOnChangedState([this](TCashboxdrv& sender) { changeConnectionState(sender); });
    }
    editRecord([&](TCashBoxSettings& record) { record.Driver = name; });
    FieldChange(this);
}

// A driver replaced while connected is disconnected first and the change shown, so that
// neither the window nor the register list goes on showing a connection nobody holds.
void TFormCashbox::releaseDriver() {
    if (!FDriver)
        return;
    std::unique_ptr<TCashboxdrv> old = std::move(FDriver);
    old->setOnChangedState(nullptr);
    if (!FisConnected)
        return;
    try {
        old->disconnect();
    } catch (const std::exception&) {
        // The connection goes with the driver object.
    }
    setPanel1(kPanelNotConnected);
    FisConnected = false;
    ClientTimer->stop();
    if (FConnectionChange)
        FConnectionChange(*this);
}

void TFormCashbox::FieldChange(QObject*) {
    SaveBtn->setEnabled(false);
    const bool com = SConnectionType->currentText() == kComConnection;
    SComPort->setEnabled(com);
    SComPortLabel->setEnabled(com);
    const std::string connectionType = stdText(SConnectionType->currentText());
    const std::string comPort = stdText(SComPort->currentText());
    const bool automatic = autostart->isChecked();
    // A connected driver goes on as it is; the values apply at its next connect.
    if (FDriver) {
        FDriver->setComType(connectionType);
        FDriver->setComPort(comPort);
    }
    editRecord([&](TCashBoxSettings& record) {
        record.ConnectionType = connectionType;
        record.ComPort = comPort;
        record.autostart = automatic;
    });
}

void TFormCashbox::SaveBtnClick(QObject*) {
    if (!FSettings || !FCashBoxSettings)
        return;
    FSettings->setCashboxSettings(FCashBoxSettings);
    FSettings->save();
    SaveBtn->setEnabled(false);
}

void TFormCashbox::checkDriverClick(QObject*) {
    requireDriver();
    dialogs_.show(BoxKind::Plain, kDriverVersionPrefix + FDriver->getVersion());
}

void TFormCashbox::requireDriver() const {
    if (!FDriver)
        throw CashboxError(kNoDriverSelected);
}

// ---- connection -----------------------------------------------------------------------------

// The test connects and disconnects: the window ends idle whatever its state before.
void TFormCashbox::CheckConnectionClick(QObject*) {
    requireDriver();
    if (!FDriver->checkConnection())
        return;
    SaveBtn->setEnabled(true);
    dialogs_.show(BoxKind::Plain, kRegisterFound);
}

void TFormCashbox::ConnectClick(QObject*) {
    requireDriver();
    FDriver->connect();
    checkParams();
}

void TFormCashbox::DisconnectClick(QObject* Sender) {
    if (FDriver)
        FDriver->disconnect();
    if (qobject_cast<QAbstractButton*>(Sender))
        ReconnectTimer->stop();
}

// The warnings do not undo the connection: the exchange cycle may already run while one
// of them waits for OK.
void TFormCashbox::checkParams() {
    requireDriver();
    const std::vector<StateWarning> warnings =
        checkRegisterState(*FDriver, driverName(), clientForm_.RestClient());
    for (const StateWarning& warning : warnings)
        dialogs_.show(warning.kind, warning.text);
}

void TFormCashbox::changeConnectionState(TCashboxdrv& Sender) {
    if (Sender.isConnected()) {
        setPanel1(kPanelConnected);
        FisConnected = true;
        ReconnectTimer->stop();
    } else {
        setPanel1(kPanelNotConnected);
        FisConnected = false;
    }
    if (FConnectionChange)
        FConnectionChange(*this);
    clientConnect();
}

void TFormCashbox::clientConnect() {
    if (!FDriver) {
        ClientTimer->stop();
        throw CashboxError(kNoDriverInstalled);
    }
    if (FDriver->isConnected())
        ClientTimer->start();
    else
        ClientTimer->stop();
}

void TFormCashbox::ReconnectTimerTimer(QObject*) {
    setPanel1(kPanelReconnecting);
    try {
        ConnectClick(this);
    } catch (const std::exception& e) {
        setPanel1(e.what());
    }
}

void TFormCashbox::ClientTimerTimer(QObject*) {
    FExchange->ClientTimerTimer();
}

void TFormCashbox::reconnectAfterFailure() {
    ReconnectTimer->start();
    DisconnectClick(this);
}

// The status bar keeps the last problem in sight; the request log keeps every one of them.
void TFormCashbox::reportProblem(const std::string& text) {
    setPanel1(text);
    clientForm_.log("problem", Json{{"serial", serial()}, {"message", text}});
}

void TFormCashbox::setPanel1(const std::string& text) {
    StatusPanel1->setText(qtText(text));
}

void TFormCashbox::free() {
    ClientTimer->stop();
    ReconnectTimer->stop();
    if (FDriver)
        FDriver->onclose();
}

}  // namespace th
