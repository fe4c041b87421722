// The cashbox window headless, against the register emulator and a dispatcher on 127.0.0.1.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>

#include "cashbox/CashboxConnection.h"
#include "cashbox/CashboxTestKit.h"
#include "cashbox/ExchangeCycle.h"
#include "drivers/CashboxDriver.h"
#include "support/Controls.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kSerial = "00106100000001";

enum class State { Idle, Connected, Reconnecting };

const char* stateName(State s) {
    return s == State::Idle ? "Idle" : s == State::Connected ? "Connected" : "Reconnecting";
}

void expectState(CashboxRecord& record, State expected) {
    SCOPED_TRACE(stateName(expected));
    settle(record);
    EXPECT_EQ(record.isConnected(), expected == State::Connected);
    EXPECT_EQ(record.state().clientTimer, expected == State::Connected);
    EXPECT_EQ(record.state().reconnectTimer, expected == State::Reconnecting);
}

std::string panel1(CashboxWindow& window) {
    settle(window.record());
    return control<QLabel>(window, "statusPanel")->text().toStdString();
}

using Cashbox = CashboxWorld::Cashbox;

class CashboxWindowTest : public ::testing::Test {
protected:
    std::unique_ptr<CashboxWorld> world;

    void setUp(const std::vector<RecordSpec>& records, const std::vector<Json>& bench) {
        world = std::make_unique<CashboxWorld>(records, bench);
        control<QCheckBox>(*world->requestLogWindow, "logRequestsCheck")->setChecked(true);
    }
    Cashbox window(const std::string& serial = kSerial) {
        Cashbox cashbox = world->makeWindow(salePoint(serial));
        settle(*cashbox.record);
        return cashbox;
    }
    std::string log() {
        return control<QPlainTextEdit>(*world->requestLogWindow, "logText")
            ->toPlainText()
            .toStdString();
    }
};

TEST_F(CashboxWindowTest, IsCreatedWithItsControlsInTheirInitialState) {
    setUp({}, {});
    CashboxRecord record(world->environment());
    CashboxWindow window(world->dialogs, record);

    EXPECT_EQ(window.windowTitle(), "Настройки кассы");
    EXPECT_GE(window.width(), 746);
    EXPECT_GE(window.height(), 377);
    EXPECT_EQ(control<QGroupBox>(window, "deviceBox")->title(), "Информация об устройстве");
    EXPECT_GE(control<QGroupBox>(window, "deviceBox")->height(), 153);
    EXPECT_EQ(control<QGroupBox>(window, "connectionBox")->title(), "Информация о подключении");
    for (QLineEdit* edit :
         {control<QLineEdit>(window, "serialEdit"), control<QLineEdit>(window, "addressEdit"),
          control<QLineEdit>(window, "placeEdit"), control<QLineEdit>(window, "fiscalStorageEdit"),
          control<QLineEdit>(window, "registrationStatusEdit"),
          control<QLineEdit>(window, "registrationNumberEdit")}) {
        EXPECT_TRUE(edit->isReadOnly());
        EXPECT_TRUE(edit->text().isEmpty());
    }
    EXPECT_TRUE(control<QComboBox>(window, "driverCombo")->isEditable());
    EXPECT_EQ(control<QComboBox>(window, "driverCombo")->count(), 1);
    EXPECT_EQ(control<QComboBox>(window, "driverCombo")->itemText(0), "Атол");
    EXPECT_TRUE(control<QComboBox>(window, "driverCombo")->currentText().isEmpty());
    EXPECT_EQ(control<QComboBox>(window, "connectionTypeCombo")->count(), 2);
    EXPECT_TRUE(control<QComboBox>(window, "connectionTypeCombo")->currentText().isEmpty());
    // The emulator's bench is empty: no port to offer.
    EXPECT_EQ(control<QComboBox>(window, "comPortCombo")->count(), 0);
    EXPECT_TRUE(control<QComboBox>(window, "comPortCombo")->currentText().isEmpty());
    EXPECT_TRUE(control<QComboBox>(window, "comPortCombo")->isEditable());
    EXPECT_EQ(control<QComboBox>(window, "comPortCombo")->completer(), nullptr);
    EXPECT_FALSE(control<QComboBox>(window, "comPortCombo")->isEnabled());
    EXPECT_FALSE(control<QLabel>(window, "comPortLabel")->isEnabled());
    const std::pair<QComboBox*, const char*> shown[] = {
        {control<QComboBox>(window, "baudRateCombo"), "115200 бод"},
        {control<QComboBox>(window, "dataBitsCombo"), "8 бит"},
        {control<QComboBox>(window, "parityCombo"), "нет"},
        {control<QComboBox>(window, "stopBitsCombo"), "1 бит"}};
    for (auto [combo, text] : shown) {
        EXPECT_EQ(combo->currentText(), text);
        EXPECT_FALSE(combo->isEnabled());
    }
    for (QLabel* label :
         {control<QLabel>(window, "baudRateLabel"), control<QLabel>(window, "dataBitsLabel"),
          control<QLabel>(window, "parityLabel"), control<QLabel>(window, "stopBitsLabel")})
        EXPECT_FALSE(label->isEnabled());
    EXPECT_FALSE(control<QCheckBox>(window, "autostartCheck")->isChecked());
    EXPECT_EQ(control<QCheckBox>(window, "autostartCheck")->text(),
              "Устанавливать соединение автоматически при запуске программы");
    EXPECT_FALSE(control<QPushButton>(window, "saveButton")->isEnabled());
    EXPECT_TRUE(control<QPushButton>(window, "connectButton")->isEnabled());
    EXPECT_EQ(control<QLabel>(window, "connectionPanel")->width(), 50);
    EXPECT_TRUE(control<QLabel>(window, "connectionPanel")->text().isEmpty());
    EXPECT_EQ(control<QLabel>(window, "statusPanel")->width(), 600);
    EXPECT_EQ(panel1(window), "Соединение с ККТ не установлено");
    EXPECT_EQ(kClientInterval, 5000);
    EXPECT_EQ(kReconnectInterval, 10000);
    expectState(record, State::Idle);
    // A sale point that is not set up here has no worker.
    EXPECT_EQ(record.worker(), nullptr);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

TEST_F(CashboxWindowTest, SetDataReadsTheMembersAsTextAndMissingOnesAsEmpty) {
    setUp({}, {});
    CashboxRecord record(world->environment());
    record.setData({{"kkt_serial", 106}, {"address", "Адрес"}, {"token", "tok"}});
    CashboxWindow window(world->dialogs, record);
    EXPECT_EQ(control<QLineEdit>(window, "serialEdit")->text(), "106");
    EXPECT_EQ(control<QLineEdit>(window, "addressEdit")->text(), "Адрес");
    EXPECT_EQ(record.cashboxToken(), "tok");
    EXPECT_TRUE(control<QLineEdit>(window, "placeEdit")->text().isEmpty());
    EXPECT_TRUE(control<QLineEdit>(window, "fiscalStorageEdit")->text().isEmpty());
    record.setData(Json::array({1, 2}));
    EXPECT_TRUE(record.serial().empty());
    EXPECT_TRUE(
        control<QLineEdit>(CashboxWindow(world->dialogs, record), "serialEdit")->text().isEmpty());
}

TEST_F(CashboxWindowTest, AutostartWithTheRegisterReachableEndsConnectedAndReported) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();

    expectState(*w.record, State::Connected);
    EXPECT_EQ(panel1(*w), "ККТ на связи");
    ASSERT_EQ(world->dispatcher.count("cashbox"), 1u);
    const Json report = world->dispatcher.bodies("cashbox").front();
    EXPECT_EQ(report["Driver"], "Атол");
    EXPECT_EQ(report["cashbox"]["deviceInfo"]["serial"], kSerial);
    EXPECT_TRUE(report["status"].contains("deviceStatus"));
    EXPECT_TRUE(report.contains("fn"));
    EXPECT_TRUE(report.contains("reg"));
    EXPECT_FALSE(report.contains("add"));
    EXPECT_EQ(world->dialogs.count(), 0u) << world->dialogs.texts().front();
}

// The automatic first attempt is the program's own work: its error is shown without a box.
TEST_F(CashboxWindowTest, AutostartUnpluggedReconnectsByItselfOncePluggedIn) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    auto w = window();

    expectState(*w.record, State::Reconnecting);
    EXPECT_EQ(panel1(*w), "Невозможно подключиться к кассе");
    EXPECT_EQ(w.record->lastProblem(), "Невозможно подключиться к кассе");
    EXPECT_NE(log().find("Невозможно подключиться к кассе"), std::string::npos);

    onWorker(*w.record, [](RegisterLink& link) { link.tryReconnect(); });
    expectState(*w.record, State::Reconnecting);
    EXPECT_EQ(panel1(*w), "Невозможно подключиться к кассе");
    EXPECT_EQ(world->dispatcher.count("cashbox"), 0u);

    world->setBenchFlag(kSerial, "reachable", true);
    onWorker(*w.record, [](RegisterLink& link) { link.tryReconnect(); });
    expectState(*w.record, State::Connected);
    EXPECT_EQ(panel1(*w), "ККТ на связи");
    EXPECT_EQ(world->dispatcher.count("cashbox"), 1u);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

// Nothing is called by hand here: the exchange timer finds the contact lost, the
// reconnection timer finds the register plugged in again, and the exchange resumes.
TEST_F(CashboxWindowTest, TheTimersAloneReconnectALostRegisterAndResumeTheExchange) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w.record, State::Connected);
    ASSERT_EQ(world->dispatcher.count("cashbox"), 1u);

    world->setBenchFlag(kSerial, "reachable", false);
    ASSERT_TRUE(waitUntil([&] { return w.record->state().reconnectTimer; }));
    EXPECT_FALSE(w.record->isConnected());
    const size_t tasksWhileLost = world->dispatcher.count("tasks");

    world->setBenchFlag(kSerial, "reachable", true);
    ASSERT_TRUE(waitUntil([&] { return w.record->isConnected(); }))
        << "the register never reconnected";
    expectState(*w.record, State::Connected);
    EXPECT_EQ(world->dispatcher.count("cashbox"), 2u) << "one report after the reconnection";
    EXPECT_TRUE(waitUntil([&] { return world->dispatcher.count("tasks") > tasksWhileLost; }))
        << "no exchange after the reconnection";
    EXPECT_EQ(world->dispatcher.count("cashbox"), 2u);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

// A register that stays on its port but falls silent (the driver's "no connection", code 2)
// is out of reach as much as an unplugged one: its state tasks get no answer, the row says so,
// and the reconnection brings it back by itself once it answers again.
TEST_F(CashboxWindowTest, ASilentRegisterIsOutOfReachAndComesBackByItself) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w.record, State::Connected);

    world->setBenchFlag(kSerial, "silent", true);
    ASSERT_TRUE(waitUntil([&] {
        return w.record->state().reconnectTimer &&
               w.record->lastProblem() == "Нет связи с кассой";
    })) << "a silent register was never taken for lost: " << w.record->lastProblem();
    EXPECT_FALSE(w.record->isConnected());

    world->setBenchFlag(kSerial, "silent", false);
    ASSERT_TRUE(waitUntil([&] { return w.record->isConnected(); }))
        << "the register never reconnected";
    expectState(*w.record, State::Connected);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

// The exchange runs every 5 s by itself, not at the reconnection's 10 s: the gaps between
// automatic "tasks" requests are measured with a wide margin on either side.
TEST_F(CashboxWindowTest, AConnectedRegisterExchangesEveryFiveSecondsByItself) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w.record, State::Connected);

    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> arrivals;
    size_t seen = world->dispatcher.count("tasks");
    while (arrivals.size() < 3 && clock.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const size_t now = world->dispatcher.count("tasks");
        if (now > seen)
            arrivals.push_back(clock.elapsed());
        seen = now;
    }
    ASSERT_EQ(arrivals.size(), 3u) << "fewer than three exchanges in a minute";
    const qint64 twoGaps = arrivals[2] - arrivals[0];
    EXPECT_GT(twoGaps, 6000) << "two exchanges apart in " << twoGaps << " ms";
    EXPECT_LT(twoGaps, 16000) << "two exchanges apart in " << twoGaps << " ms";
}

TEST_F(CashboxWindowTest, ReconnectionWhoseStateCheckFailsStaysConnectedWithTheErrorShown) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    auto w = window();
    world->setBenchFlag(kSerial, "reachable", true);
    // The service refuses the "cashbox" report.
    world->dispatcher.fail("cashbox");

    onWorker(*w.record, [](RegisterLink& link) { link.tryReconnect(); });
    expectState(*w.record, State::Connected);
    EXPECT_NE(panel1(*w).find("500"), std::string::npos) << panel1(*w);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

TEST_F(CashboxWindowTest, CheckConnectionOnAConnectedWindowLeavesItIdleWithSavingEnabled) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w.record, State::Connected);

    w->testConnection();
    expectState(*w.record, State::Idle);
    EXPECT_EQ(panel1(*w), "Соединение с ККТ не установлено");
    EXPECT_TRUE(control<QPushButton>(*w, "saveButton")->isEnabled());
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Plain);
    EXPECT_EQ(world->dialogs.boxes()[0].text, "Касса найдена! Сохраните настройки");
}

TEST_F(CashboxWindowTest, TheDisconnectButtonSwitchesTheReconnectionOff) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    auto w = window();
    expectState(*w.record, State::Reconnecting);

    w->disconnectByUser();
    expectState(*w.record, State::Idle);

    world->setBenchFlag(kSerial, "reachable", true);
    w->connectByUser();
    expectState(*w.record, State::Connected);
    w->disconnectByUser();
    expectState(*w.record, State::Idle);
    EXPECT_EQ(panel1(*w), "Соединение с ККТ не установлено");
}

TEST_F(CashboxWindowTest, LostContactInTheExchangeCycleMovesToReconnecting) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    control<QCheckBox>(*world->requestLogWindow, "logRequestsCheck")->setChecked(true);
    const size_t before = world->dispatcher.count("tasks");
    runCycle(*w.record);
    ASSERT_EQ(world->dispatcher.count("tasks"), before + 1);
    // The worker's own client logs to the client window.
    EXPECT_TRUE(waitUntil([&] { return log().find("tasks") != std::string::npos; }));
    EXPECT_EQ(world->dispatcher.bodies("tasks").back()["Serial"], kSerial);
    EXPECT_EQ(world->dispatcher.bodies("tasks").back()["Token"], std::string("t-") + kSerial);

    world->setBenchFlag(kSerial, "reachable", false);
    const size_t sent = world->dispatcher.count("tasks");
    runCycle(*w.record);
    expectState(*w.record, State::Reconnecting);
    EXPECT_EQ(world->dispatcher.count("tasks"), sent);
    // Found by the program's own work: shown without a box.
    EXPECT_EQ(panel1(*w), "Нет связи с кассой");
    EXPECT_EQ(w.record->lastProblem(), "Нет связи с кассой");
    EXPECT_EQ(world->dialogs.count(), 0u);
}

// After an automatic connection the warnings are problems shown without a box; after the
// user's own "Установить соединение" they are boxes, in the same order.
TEST_F(CashboxWindowTest, CoverOpenAndNoPaperWarnCoverFirstAndStayConnected) {
    Json reg = benchRegister(kSerial);
    reg["coverOpened"] = true;
    reg["paperPresent"] = false;
    setUp({{.serial = kSerial}}, {reg});
    auto w = window();

    expectState(*w.record, State::Connected);
    EXPECT_EQ(world->dialogs.count(), 0u);
    const std::string automatic = log();
    const size_t cover = automatic.find("Проверьте крышку кассы");
    ASSERT_NE(cover, std::string::npos) << automatic;
    EXPECT_NE(automatic.find("В кассе отсутствует чековая лента", cover), std::string::npos);
    EXPECT_EQ(w.record->lastProblem(), "В кассе отсутствует чековая лента");

    w->connectByUser();
    settle(*w.record);
    expectState(*w.record, State::Connected);
    const auto boxes = world->dialogs.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].kind, BoxKind::Warning);
    EXPECT_EQ(boxes[0].text, "Проверьте крышку кассы");
    EXPECT_EQ(boxes[1].kind, BoxKind::Warning);
    EXPECT_EQ(boxes[1].text, "В кассе отсутствует чековая лента");
}

TEST_F(CashboxWindowTest, NoFiscalStorageWarnsOfItsAbsenceOnly) {
    Json reg = benchRegister(kSerial);
    reg["fnPresent"] = false;
    reg["fnFiscal"] = false;
    setUp({{.serial = kSerial, .autostart = false}}, {reg});
    auto w = window();
    w->connectByUser();

    expectState(*w.record, State::Connected);
    EXPECT_TRUE(world->dialogs.contains("фискальный накопитель отсутствует"));
    EXPECT_FALSE(world->dialogs.contains("ФН не фискализирован"));
}

TEST_F(CashboxWindowTest, WithoutADriverTheActionsReportItAndNothingChanges) {
    setUp({{.serial = kSerial, .driver = ""}}, {benchRegister(kSerial)});
    auto w = window();

    // The automatic first attempt without a driver is reported, without a box; the
    // register is not set up here, so it gets no worker.
    EXPECT_EQ(w.record->lastProblem(), "Драйвер не выбран");
    EXPECT_EQ(w.record->worker(), nullptr);
    expectState(*w.record, State::Idle);
    for (auto handler : {&CashboxWindow::connectByUser, &CashboxWindow::testConnection,
                         &CashboxWindow::showDriverVersion}) {
        try {
            ((*w).*handler)();
            ADD_FAILURE() << "no error without a driver";
        } catch (const CashboxError& e) {
            EXPECT_STREQ(e.what(), "Драйвер не выбран");
        }
    }
    expectState(*w.record, State::Idle);
    EXPECT_EQ(world->dialogs.count(), 0u);
    // Pressed by the user, the error goes to the error display.
    control<QPushButton>(*w, "connectButton")->click();
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Error);
    EXPECT_EQ(world->dialogs.boxes()[0].text, "Драйвер не выбран");
    EXPECT_FALSE(control<QPushButton>(*w, "saveButton")->isEnabled());
    EXPECT_EQ(world->dispatcher.count("cashbox"), 0u);
    EXPECT_EQ(w.record->worker(), nullptr);
}

TEST_F(CashboxWindowTest, OnlyTheExactNameMakesADriver) {
    setUp({{.serial = kSerial, .autostart = false}}, {benchRegister(kSerial)});
    auto w = window();
    settle(*w.record);
    ASSERT_TRUE(w.record->state().hasDriver);
    for (const char* typed : {"А", "Ато", "атол", "Атол ", ""}) {
        control<QComboBox>(*w, "driverCombo")->setCurrentText(QString::fromUtf8(typed));
        settle(*w.record);
        EXPECT_FALSE(w.record->state().hasDriver) << typed;
        EXPECT_EQ(world->settings->readCashbox(w.record->cashboxSettings()).driver, typed);
    }
    control<QComboBox>(*w, "driverCombo")->setCurrentText("Атол");
    settle(*w.record);
    EXPECT_TRUE(w.record->state().hasDriver);
    w->showDriverVersion();
    settle(*w.record);
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Plain);
    EXPECT_EQ(world->dialogs.texts()[0].rfind("Установленная версия драйвера: ", 0), 0u);
    EXPECT_GT(world->dialogs.texts()[0].size(),
              std::string("Установленная версия драйвера: ").size());
}

TEST_F(CashboxWindowTest, AMissingVendorDriverIsReportedAndLeavesNoDriver) {
    world = std::make_unique<CashboxWorld>(std::vector<RecordSpec>{{.serial = kSerial}},
                                           std::vector<Json>{benchRegister(kSerial)}, false);
    control<QCheckBox>(*world->requestLogWindow, "logRequestsCheck")->setChecked(true);
    auto w = window();
    EXPECT_FALSE(w.record->state().hasDriver);
    EXPECT_NE(w.record->lastProblem().find("AddIn.Fptr10"), std::string::npos)
        << w.record->lastProblem();
    EXPECT_EQ(world->dialogs.count(), 0u);
    expectState(*w.record, State::Idle);
}

// Replacing the driver of a connected register lets the register go and says so, instead
// of showing a connection that no driver holds any more.
TEST_F(CashboxWindowTest, ChangingTheDriverWhileConnectedReportsTheDisconnection) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    std::vector<bool> heard;
    w.record->setOnConnectionChange(
        [&](CashboxRecord& sender) { heard.push_back(sender.isConnected()); });

    control<QComboBox>(*w, "driverCombo")->setCurrentText("");
    expectState(*w.record, State::Idle);
    EXPECT_FALSE(w.record->state().hasDriver);
    EXPECT_EQ(heard, std::vector<bool>{false});
    EXPECT_EQ(panel1(*w), "Соединение с ККТ не установлено");
}

TEST_F(CashboxWindowTest, ConnectionTypeSwitchesThePortAndWithdrawsSaving) {
    setUp({{.serial = kSerial, .autostart = false}}, {benchRegister(kSerial)});
    auto w = window();
    w->testConnection();
    settle(*w.record);
    ASSERT_TRUE(control<QPushButton>(*w, "saveButton")->isEnabled());

    control<QComboBox>(*w, "connectionTypeCombo")->setCurrentText("COM");
    EXPECT_TRUE(control<QComboBox>(*w, "comPortCombo")->isEnabled());
    EXPECT_TRUE(control<QLabel>(*w, "comPortLabel")->isEnabled());
    EXPECT_FALSE(control<QPushButton>(*w, "saveButton")->isEnabled());
    control<QComboBox>(*w, "comPortCombo")->setCurrentText("COM7");
    std::string comType, comPort;
    onWorker(*w.record, [&](RegisterLink& link) {
        comType = link.driver()->comType();
        comPort = link.driver()->comPort();
    });
    EXPECT_EQ(comType, "COM");
    EXPECT_EQ(comPort, "COM7");

    control<QComboBox>(*w, "connectionTypeCombo")->setCurrentText("USB");
    EXPECT_FALSE(control<QComboBox>(*w, "comPortCombo")->isEnabled());
    EXPECT_FALSE(control<QLabel>(*w, "comPortLabel")->isEnabled());
    const CashboxSettings record = world->settings->readCashbox(w.record->cashboxSettings());
    EXPECT_EQ(record.connectionType, "USB");
    EXPECT_EQ(record.comPort, "COM7");
}

TEST_F(CashboxWindowTest, PortListIsTheBenchsPortsReadWhenItOpensAndKeepsTheStoredPort) {
    setUp({{.serial = kSerial, .connectionType = "COM", .comPort = "COM9", .autostart = false}},
          {benchRegister(kSerial, "COM3")});
    auto w = window();
    EXPECT_EQ(control<QComboBox>(*w, "comPortCombo")->currentText(), "COM9");
    world->setBench({benchRegister(kSerial, "COM3"), benchRegister("00106100000002", "COM4"),
                     benchRegister("00106100000003")});
    // As after a successful "Проверить связь": any change of the port would withdraw it.
    control<QPushButton>(*w, "saveButton")->setEnabled(true);

    control<QComboBox>(*w, "comPortCombo")->showPopup();
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < control<QComboBox>(*w, "comPortCombo")->count(); ++i)
        items.emplace_back(control<QComboBox>(*w, "comPortCombo")->itemText(i).toStdString(),
                           control<QComboBox>(*w, "comPortCombo")
                               ->itemData(i, Qt::ToolTipRole)
                               .toString()
                               .toStdString());
    control<QComboBox>(*w, "comPortCombo")->hidePopup();
    EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{
                         {"COM9", "COM9 (не найден)"},
                         {"COM3", "COM3 (эмулятор: АТОЛ 30Ф, 00106100000001)"},
                         {"COM4", "COM4 (эмулятор: АТОЛ 30Ф, 00106100000002)"}}));
    EXPECT_EQ(control<QComboBox>(*w, "comPortCombo")->currentText(), "COM9");
    EXPECT_TRUE(control<QPushButton>(*w, "saveButton")->isEnabled())
        << "reading the list is no change";

    auto driverPort = [&] {
        std::string port;
        onWorker(*w.record, [&](RegisterLink& link) { port = link.driver()->comPort(); });
        return port;
    };
    control<QComboBox>(*w, "comPortCombo")->setCurrentIndex(2);
    EXPECT_EQ(driverPort(), "COM4");
    control<QComboBox>(*w, "comPortCombo")->setEditText("/dev/ttyUSB3");
    EXPECT_EQ(driverPort(), "/dev/ttyUSB3") << "a typed name is taken as it is";
}

// A register not set up here gets its worker when the user chooses its driver.
TEST_F(CashboxWindowTest, SavingStoresANewRegistersRecordInSettingsIni) {
    setUp({}, {benchRegister(kSerial)});
    auto w = window();
    EXPECT_EQ(world->settings->getCashboxSettings(kSerial), nullptr);
    EXPECT_EQ(w.record->worker(), nullptr);
    EXPECT_TRUE(control<QComboBox>(*w, "driverCombo")->currentText().isEmpty());
    expectState(*w.record, State::Idle);

    control<QComboBox>(*w, "driverCombo")->setCurrentText("Атол");
    control<QComboBox>(*w, "connectionTypeCombo")->setCurrentText("USB");
    control<QCheckBox>(*w, "autostartCheck")->click();
    EXPECT_EQ(world->settings->getCashboxSettings(kSerial), nullptr);
    w->testConnection();
    settle(*w.record);
    ASSERT_TRUE(control<QPushButton>(*w, "saveButton")->isEnabled());
    w->saveSettings();
    EXPECT_FALSE(control<QPushButton>(*w, "saveButton")->isEnabled());

    const AppSettings reread(world->home.path());
    const CashBoxSettingsPtr saved = reread.getCashboxSettings(kSerial);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->driver, "Атол");
    EXPECT_EQ(saved->connectionType, "USB");
    EXPECT_TRUE(saved->autostart);
    EXPECT_EQ(reread.serials(), std::vector<std::string>{kSerial});
}

TEST_F(CashboxWindowTest, AMissingJournalIsReportedAndTheRegisterStillConnects) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    std::filesystem::remove(world->home.file(kJournalFileName));
    auto w = window();
    expectState(*w.record, State::Connected);
    EXPECT_EQ(world->dialogs.count(), 0u);
    EXPECT_NE(log().find("checks.db"), std::string::npos) << log();
    EXPECT_FALSE(std::filesystem::exists(world->home.file(kJournalFileName)));
}

// The register's own timers run: two cycles pass without the journal, then it is back.
TEST_F(CashboxWindowTest, AJournalMissingAtStartIsReportedOnceAndOpenedAgainAtTheNextCycle) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    const auto journal = world->home.file(kJournalFileName);
    std::filesystem::rename(journal, world->home.file("elsewhere.db"));
    auto w = window();
    expectState(*w.record, State::Connected);
    QElapsedTimer clock;
    clock.start();
    waitUntil([&] { return clock.elapsed() > 2 * kClientInterval + 1000; });
    EXPECT_EQ(world->dispatcher.count("tasks"), 0u) << "no exchange without the journal";

    std::filesystem::rename(world->home.file("elsewhere.db"), journal);
    EXPECT_TRUE(waitUntil([&] { return world->dispatcher.count("tasks") > 0; }));
    settle(*w.record);
    EXPECT_EQ(w.record->lastProblem(), "");
    const std::string text = log();
    size_t reports = 0;
    for (size_t at = text.find("Журнал заданий не найден"); at != std::string::npos;
         at = text.find("Журнал заданий не найден", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << text;
}

TEST_F(CashboxWindowTest, ANewWindowKeepsTheCommandResultsWaiting) {
    setUp({{.serial = kSerial, .autostart = false}}, {benchRegister(kSerial)});
    world->commandResults.append({{"id", 7}, {"result", Json::object()}});
    auto w = window();
    EXPECT_EQ(world->commandResults.size(), 1u);
}

TEST_F(CashboxWindowTest, StoppingTheWorkerReportsTheDisconnection) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w.record, State::Connected);
    std::vector<std::pair<std::string, bool>> heard;
    w.record->setOnConnectionChange([&](CashboxRecord& sender) {
        heard.push_back({sender.serial(), sender.isConnected()});
    });
    w.record->requestStop();
    EXPECT_TRUE(w.record->waitStopped(QDeadlineTimer(60000)));
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(std::string(kSerial), false));
    EXPECT_FALSE(w.record->isConnected());
}

}  // namespace
