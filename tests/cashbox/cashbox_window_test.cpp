// The cashbox window headless, against the register emulator and a dispatcher on 127.0.0.1.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "cashbox/CashboxConnection.h"
#include "cashbox/CashboxTestKit.h"
#include "cashbox/ExchangeCycle.h"
#include "drivers/Cashboxdrv.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kSerial = "00106100000001";

enum class State { Idle, Connected, Reconnecting };

const char* stateName(State s) {
    return s == State::Idle ? "Idle" : s == State::Connected ? "Connected" : "Reconnecting";
}

void expectState(TFormCashbox& window, State expected) {
    SCOPED_TRACE(stateName(expected));
    EXPECT_EQ(window.isConnected(), expected == State::Connected);
    EXPECT_EQ(window.ClientTimer->isActive(), expected == State::Connected);
    EXPECT_EQ(window.ReconnectTimer->isActive(), expected == State::Reconnecting);
}

std::string panel1(TFormCashbox& window) {
    return window.StatusPanel1->text().toStdString();
}

class CashboxWindowTest : public ::testing::Test {
protected:
    std::unique_ptr<CashboxWorld> world;

    void setUp(const std::vector<RecordSpec>& records, const std::vector<Json>& bench) {
        world = std::make_unique<CashboxWorld>(records, bench);
    }
    std::unique_ptr<TFormCashbox> window(const std::string& serial = kSerial) {
        return world->makeWindow(salePoint(serial));
    }
};

TEST_F(CashboxWindowTest, IsCreatedWithItsControlsInTheirInitialState) {
    setUp({}, {});
    TFormCashbox window(world->environment());

    EXPECT_EQ(window.windowTitle(), "Настройки кассы");
    EXPECT_GE(window.width(), 746);
    EXPECT_GE(window.height(), 377);
    EXPECT_EQ(window.DeviceBox->title(), "Информация об устройстве");
    EXPECT_GE(window.DeviceBox->height(), 153);
    EXPECT_EQ(window.ConnectionBox->title(), "Информация о подключении");
    for (QLineEdit* edit : {window.KKTSerial, window.Address, window.Place, window.FSSerial,
                            window.RegStatus, window.RegNum}) {
        EXPECT_TRUE(edit->isReadOnly());
        EXPECT_TRUE(edit->text().isEmpty());
    }
    EXPECT_TRUE(window.SDriver->isEditable());
    EXPECT_EQ(window.SDriver->count(), 1);
    EXPECT_EQ(window.SDriver->itemText(0), "Атол");
    EXPECT_TRUE(window.SDriver->currentText().isEmpty());
    EXPECT_EQ(window.SConnectionType->count(), 2);
    EXPECT_TRUE(window.SConnectionType->currentText().isEmpty());
    // The emulator's bench is empty: no port to offer.
    EXPECT_EQ(window.SComPort->count(), 0);
    EXPECT_TRUE(window.SComPort->currentText().isEmpty());
    EXPECT_TRUE(window.SComPort->isEditable());
    EXPECT_EQ(window.SComPort->completer(), nullptr);
    EXPECT_FALSE(window.SComPort->isEnabled());
    EXPECT_FALSE(window.SComPortLabel->isEnabled());
    const std::pair<QComboBox*, const char*> shown[] = {{window.SBaudRate, "115200 бод"},
                                                        {window.SBit, "8 бит"},
                                                        {window.SParity, "нет"},
                                                        {window.SStop, "1 бит"}};
    for (auto [combo, text] : shown) {
        EXPECT_EQ(combo->currentText(), text);
        EXPECT_FALSE(combo->isEnabled());
    }
    for (QLabel* label :
         {window.SBaudRateLabel, window.SBitLabel, window.SParityLabel, window.SStopLabel})
        EXPECT_FALSE(label->isEnabled());
    EXPECT_FALSE(window.autostart->isChecked());
    EXPECT_EQ(window.autostart->text(),
              "Устанавливать соединение автоматически при запуске программы");
    EXPECT_FALSE(window.SaveBtn->isEnabled());
    EXPECT_TRUE(window.Connect->isEnabled());
    EXPECT_EQ(window.StatusPanel0->width(), 50);
    EXPECT_TRUE(window.StatusPanel0->text().isEmpty());
    EXPECT_EQ(window.StatusPanel1->width(), 600);
    EXPECT_EQ(panel1(window), "Соединение с ККТ не установлено");
    EXPECT_EQ(window.ClientTimer->interval(), 5000);
    EXPECT_EQ(window.ReconnectTimer->interval(), 10000);
    expectState(window, State::Idle);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

TEST_F(CashboxWindowTest, SetDataReadsTheMembersAsTextAndMissingOnesAsEmpty) {
    setUp({}, {});
    TFormCashbox window(world->environment());
    window.setData({{"kkt_serial", 106}, {"address", "Адрес"}, {"token", "tok"}});
    EXPECT_EQ(window.KKTSerial->text(), "106");
    EXPECT_EQ(window.Address->text(), "Адрес");
    EXPECT_EQ(window.CashboxToken(), "tok");
    EXPECT_TRUE(window.Place->text().isEmpty());
    EXPECT_TRUE(window.FSSerial->text().isEmpty());
    window.setData(Json::array({1, 2}));
    EXPECT_TRUE(window.KKTSerial->text().isEmpty());
}

TEST_F(CashboxWindowTest, AutostartWithTheRegisterReachableEndsConnectedAndReported) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();

    expectState(*w, State::Connected);
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

TEST_F(CashboxWindowTest, AutostartUnpluggedReconnectsByItselfOncePluggedIn) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    TFormCashbox w(world->environment());
    w.setData(salePoint(kSerial));

    // The first attempt's error goes to the caller of setSettings.
    EXPECT_THROW(w.setSettings(*world->settings), DriverError);
    expectState(w, State::Reconnecting);
    EXPECT_EQ(panel1(w), "Соединение с ККТ не установлено");

    w.ReconnectTimerTimer(w.ReconnectTimer);
    expectState(w, State::Reconnecting);
    EXPECT_EQ(panel1(w), "Невозможно подключиться к кассе");
    EXPECT_EQ(world->dispatcher.count("cashbox"), 0u);

    world->setBenchFlag(kSerial, "reachable", true);
    w.ReconnectTimerTimer(w.ReconnectTimer);
    expectState(w, State::Connected);
    EXPECT_EQ(panel1(w), "ККТ на связи");
    EXPECT_EQ(world->dispatcher.count("cashbox"), 1u);
    EXPECT_EQ(world->dialogs.count(), 0u);
}

TEST_F(CashboxWindowTest, ReconnectionWhoseStateCheckFailsStaysConnectedWithTheErrorShown) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    TFormCashbox w(world->environment());
    w.setData(salePoint(kSerial));
    EXPECT_THROW(w.setSettings(*world->settings), DriverError);
    world->setBenchFlag(kSerial, "reachable", true);
    // The shared client now reaches no service: the "cashbox" report cannot be sent.
    TempDir elsewhere;
    elsewhere.write("settings.ini", "[system]\nTestMode=1\nTestUrl=http://127.0.0.1:1/d\n");
    TAppSettings unreachable(elsewhere.path());
    world->clientForm->SetSettings(&unreachable);

    w.ReconnectTimerTimer(w.ReconnectTimer);
    expectState(w, State::Connected);
    EXPECT_NE(panel1(w).find("REST request failed"), std::string::npos) << panel1(w);
}

TEST_F(CashboxWindowTest, CheckConnectionOnAConnectedWindowLeavesItIdleWithSavingEnabled) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    expectState(*w, State::Connected);

    w->CheckConnectionClick(w->CheckConnection);
    expectState(*w, State::Idle);
    EXPECT_EQ(panel1(*w), "Соединение с ККТ не установлено");
    EXPECT_TRUE(w->SaveBtn->isEnabled());
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Plain);
    EXPECT_EQ(world->dialogs.boxes()[0].text, "Касса найдена! Сохраните настройки");
}

TEST_F(CashboxWindowTest, OnlyTheDisconnectButtonSwitchesTheReconnectionOff) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    world->setBenchFlag(kSerial, "reachable", false);
    TFormCashbox w(world->environment());
    w.setData(salePoint(kSerial));
    EXPECT_THROW(w.setSettings(*world->settings), DriverError);

    w.DisconnectClick(&w);  // as the exchange cycle does
    expectState(w, State::Reconnecting);
    w.DisconnectClick(w.Disconnect);
    expectState(w, State::Idle);

    world->setBenchFlag(kSerial, "reachable", true);
    w.ConnectClick(w.Connect);
    expectState(w, State::Connected);
    w.DisconnectClick(w.Disconnect);
    expectState(w, State::Idle);
    EXPECT_EQ(panel1(w), "Соединение с ККТ не установлено");
}

TEST_F(CashboxWindowTest, LostContactInTheExchangeCycleMovesToReconnecting) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    world->clientForm->isLog->setChecked(true);
    w->ClientTimerTimer(w->ClientTimer);
    ASSERT_EQ(world->dispatcher.count("tasks"), 1u);
    // The window's own client logs to the client window.
    EXPECT_TRUE(world->clientForm->Memo1->toPlainText().contains("tasks"));
    EXPECT_EQ(world->dispatcher.bodies("tasks")[0]["Serial"], kSerial);
    EXPECT_EQ(world->dispatcher.bodies("tasks")[0]["Token"], std::string("t-") + kSerial);

    world->setBenchFlag(kSerial, "reachable", false);
    EXPECT_THROW(w->ClientTimerTimer(w->ClientTimer), ExchangeError);
    expectState(*w, State::Reconnecting);
    EXPECT_EQ(world->dispatcher.count("tasks"), 1u);
}

TEST_F(CashboxWindowTest, CoverOpenAndNoPaperWarnCoverFirstAndStayConnected) {
    Json reg = benchRegister(kSerial);
    reg["coverOpened"] = true;
    reg["paperPresent"] = false;
    setUp({{.serial = kSerial}}, {reg});
    auto w = window();

    expectState(*w, State::Connected);
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
    setUp({{.serial = kSerial}}, {reg});
    auto w = window();

    expectState(*w, State::Connected);
    EXPECT_TRUE(world->dialogs.contains("фискальный накопитель отсутствует"));
    EXPECT_FALSE(world->dialogs.contains("ФН не фискализирован"));
}

TEST_F(CashboxWindowTest, WithoutADriverTheActionsReportItAndNothingChanges) {
    setUp({{.serial = kSerial, .driver = ""}}, {benchRegister(kSerial)});
    TFormCashbox w(world->environment());
    w.setData(salePoint(kSerial));

    try {
        w.setSettings(*world->settings);
        FAIL() << "the automatic first attempt without a driver must be reported";
    } catch (const CashboxError& e) {
        EXPECT_STREQ(e.what(), "Драйвер не выбран");
    }
    EXPECT_EQ(w.Driver(), nullptr);
    expectState(w, State::Idle);
    for (auto handler : {&TFormCashbox::ConnectClick, &TFormCashbox::CheckConnectionClick,
                         &TFormCashbox::checkDriverClick}) {
        try {
            (w.*handler)(w.Connect);
            ADD_FAILURE() << "no error without a driver";
        } catch (const CashboxError& e) {
            EXPECT_STREQ(e.what(), "Драйвер не выбран");
        }
    }
    expectState(w, State::Idle);
    // Pressed by the user, the error goes to the error display.
    w.Connect->click();
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Error);
    EXPECT_EQ(world->dialogs.boxes()[0].text, "Драйвер не выбран");
    EXPECT_FALSE(w.SaveBtn->isEnabled());
    EXPECT_EQ(world->dispatcher.count("cashbox"), 0u);
    EXPECT_EQ(panel1(w), "Соединение с ККТ не установлено");
}

TEST_F(CashboxWindowTest, OnlyTheExactNameMakesADriver) {
    setUp({{.serial = kSerial, .autostart = false}}, {benchRegister(kSerial)});
    auto w = window();
    ASSERT_NE(w->Driver(), nullptr);
    for (const char* typed : {"А", "Ато", "атол", "Атол ", ""}) {
        w->SDriver->setCurrentText(QString::fromUtf8(typed));
        EXPECT_EQ(w->Driver(), nullptr) << typed;
        EXPECT_EQ(world->settings->readCashbox(w->CashBoxSettings()).Driver, typed);
    }
    w->SDriver->setCurrentText("Атол");
    EXPECT_NE(w->Driver(), nullptr);
    w->checkDriverClick(w->checkDriver);
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Plain);
    EXPECT_EQ(world->dialogs.texts()[0].rfind("Установленная версия драйвера: ", 0), 0u);
    EXPECT_GT(world->dialogs.texts()[0].size(),
              std::string("Установленная версия драйвера: ").size());
}

TEST_F(CashboxWindowTest, AMissingVendorDriverReachesTheCallerAndLeavesNoDriver) {
    world = std::make_unique<CashboxWorld>(std::vector<RecordSpec>{{.serial = kSerial}},
                                           std::vector<Json>{benchRegister(kSerial)}, false);
    TFormCashbox w(world->environment());
    w.setData(salePoint(kSerial));
    EXPECT_THROW(w.setSettings(*world->settings), AutomationError);
    EXPECT_EQ(w.Driver(), nullptr);
    expectState(w, State::Idle);
}

// Replacing the driver of a connected register lets the register go and says so, instead
// of showing a connection that no driver holds any more.
TEST_F(CashboxWindowTest, ChangingTheDriverWhileConnectedReportsTheDisconnection) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    std::vector<bool> heard;
    w->setOnConnectionChange([&](TFormCashbox& sender) { heard.push_back(sender.isConnected()); });

    w->SDriver->setCurrentText("");
    EXPECT_EQ(w->Driver(), nullptr);
    expectState(*w, State::Idle);
    EXPECT_EQ(heard, std::vector<bool>{false});
    EXPECT_EQ(panel1(*w), "Соединение с ККТ не установлено");
}

TEST_F(CashboxWindowTest, ConnectionTypeSwitchesThePortAndWithdrawsSaving) {
    setUp({{.serial = kSerial, .autostart = false}}, {benchRegister(kSerial)});
    auto w = window();
    w->CheckConnectionClick(w->CheckConnection);
    ASSERT_TRUE(w->SaveBtn->isEnabled());

    w->SConnectionType->setCurrentText("COM");
    EXPECT_TRUE(w->SComPort->isEnabled());
    EXPECT_TRUE(w->SComPortLabel->isEnabled());
    EXPECT_FALSE(w->SaveBtn->isEnabled());
    w->SComPort->setCurrentText("COM7");
    EXPECT_EQ(w->Driver()->ComType(), "COM");
    EXPECT_EQ(w->Driver()->ComPort(), "COM7");

    w->SConnectionType->setCurrentText("USB");
    EXPECT_FALSE(w->SComPort->isEnabled());
    EXPECT_FALSE(w->SComPortLabel->isEnabled());
    const TCashBoxSettings record = world->settings->readCashbox(w->CashBoxSettings());
    EXPECT_EQ(record.ConnectionType, "USB");
    EXPECT_EQ(record.ComPort, "COM7");
}

TEST_F(CashboxWindowTest, PortListIsTheBenchsPortsReadWhenItOpensAndKeepsTheStoredPort) {
    setUp({{.serial = kSerial, .connectionType = "COM", .comPort = "COM9", .autostart = false}},
          {benchRegister(kSerial, "COM3")});
    auto w = window();
    EXPECT_EQ(w->SComPort->currentText(), "COM9");
    world->setBench({benchRegister(kSerial, "COM3"), benchRegister("00106100000002", "COM4"),
                     benchRegister("00106100000003")});
    // As after a successful "Проверить связь": any change of the port would withdraw it.
    w->SaveBtn->setEnabled(true);

    w->SComPort->showPopup();
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < w->SComPort->count(); ++i)
        items.emplace_back(w->SComPort->itemText(i).toStdString(),
                           w->SComPort->itemData(i, Qt::ToolTipRole).toString().toStdString());
    w->SComPort->hidePopup();
    EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{
                         {"COM9", "COM9 (не найден)"},
                         {"COM3", "COM3 (эмулятор: АТОЛ 30Ф, 00106100000001)"},
                         {"COM4", "COM4 (эмулятор: АТОЛ 30Ф, 00106100000002)"}}));
    EXPECT_EQ(w->SComPort->currentText(), "COM9");
    EXPECT_TRUE(w->SaveBtn->isEnabled()) << "reading the list is no change";

    w->SComPort->setCurrentIndex(2);
    EXPECT_EQ(w->Driver()->ComPort(), "COM4");
    w->SComPort->setEditText("/dev/ttyUSB3");
    EXPECT_EQ(w->Driver()->ComPort(), "/dev/ttyUSB3") << "a typed name is taken as it is";
}

TEST_F(CashboxWindowTest, SavingStoresANewRegistersRecordInSettingsIni) {
    setUp({}, {benchRegister(kSerial)});
    auto w = window();
    EXPECT_EQ(world->settings->getCashboxSettings(kSerial), nullptr);
    EXPECT_TRUE(w->SDriver->currentText().isEmpty());
    expectState(*w, State::Idle);

    w->SDriver->setCurrentText("Атол");
    w->SConnectionType->setCurrentText("USB");
    w->autostart->click();
    EXPECT_EQ(world->settings->getCashboxSettings(kSerial), nullptr);
    w->CheckConnectionClick(w->CheckConnection);
    w->SaveBtnClick(w->SaveBtn);
    EXPECT_FALSE(w->SaveBtn->isEnabled());

    const TAppSettings reread(world->home.path());
    const CashBoxSettingsPtr saved = reread.getCashboxSettings(kSerial);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->Driver, "Атол");
    EXPECT_EQ(saved->ConnectionType, "USB");
    EXPECT_TRUE(saved->autostart);
    EXPECT_EQ(reread.serials(), std::vector<std::string>{kSerial});
}

TEST_F(CashboxWindowTest, AMissingJournalIsShownAndTheWindowStillMade) {
    setUp({}, {});
    std::filesystem::remove(world->home.file(kJournalFileName));
    TFormCashbox w(world->environment());
    ASSERT_EQ(world->dialogs.count(), 1u);
    EXPECT_EQ(world->dialogs.boxes()[0].kind, BoxKind::Error);
    EXPECT_NE(world->dialogs.texts()[0].find("checks.db"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(world->home.file(kJournalFileName)));
}

TEST_F(CashboxWindowTest, ANewWindowKeepsTheCommandResultsWaiting) {
    setUp({}, {});
    world->commandResults.append({{"id", 7}, {"result", Json::object()}});
    TFormCashbox w(world->environment());
    EXPECT_EQ(world->commandResults.size(), 1u);
}

TEST_F(CashboxWindowTest, FreeReportsTheDisconnectionBeforeTheWindowGoes) {
    setUp({{.serial = kSerial}}, {benchRegister(kSerial)});
    auto w = window();
    std::vector<std::pair<std::string, bool>> heard;
    w->setOnConnectionChange([&](TFormCashbox& sender) {
        heard.push_back({sender.serial(), sender.isConnected()});
    });
    w->free();
    w.reset();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(std::string(kSerial), false));
}

}  // namespace
