#include <gtest/gtest.h>

#include "BenchFixture.h"
#include "drivers/Atoldrv.h"
#include "emulator/EmulatorBench.h"
#include "emulator/RegisterBackends.h"

namespace th {
namespace {

using test::BenchDir;
using test::benchRegister;
using test::cashSale;

// The ATOL driver against the emulator, wired as the program wires it.
class AtolOnEmulator : public ::testing::Test {
protected:
    void SetUp() override {
        dir.writeBench({benchRegister("00106100000001", "USB"),
                        benchRegister("00106100000002", "COM3", {{"model", "АТОЛ 55Ф"}})});
        installRegisterBackend(registry, "emulator", dir.path());
    }

    std::unique_ptr<TAtoldrv> driver(const std::string& serial, const std::string& comType,
                                     const std::string& comPort = "") {
        auto drv = std::make_unique<TAtoldrv>(serial, registry);
        drv->setComType(comType);
        drv->setComPort(comPort);
        drv->setOnChangedState([this](TCashboxdrv&) { ++stateChanges; });
        return drv;
    }

    std::int64_t beeps(const std::string& serial) { return bench.stateOf(serial).beeps; }

    void setReachable(bool reachable) {
        Json file = *parseJson(dir.readText("emulator.json"));
        file["registers"][0]["reachable"] = reachable;
        dir.write("emulator.json", file);
    }

    BenchDir dir;
    AutomationRegistry registry;
    TEmulatorBench bench{dir.path()};
    int stateChanges = 0;
};

TEST_F(AtolOnEmulator, ConnectBeepsOnceAndDisconnectTwice) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    EXPECT_TRUE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000001"), 1);
    EXPECT_EQ(stateChanges, 1);
    EXPECT_FALSE(drv->getVersion().empty());

    drv->connect();  // closes and reopens
    EXPECT_EQ(beeps("00106100000001"), 2);

    drv->disconnect();
    EXPECT_FALSE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000001"), 4);
    EXPECT_EQ(stateChanges, 3);
}

TEST_F(AtolOnEmulator, CheckConnectionLeavesTheConnectionClosed) {
    auto drv = driver("00106100000002", "COM", "COM3");
    EXPECT_TRUE(drv->checkConnection());
    EXPECT_FALSE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000002"), 3);

    auto absent = driver("00106100000002", "COM", "COM9");
    EXPECT_THROW(absent->checkConnection(), DriverError);
}

TEST_F(AtolOnEmulator, SerialIsCheckedExceptInTestMode) {
    auto stranger = driver("00106100000009", "USB");
    try {
        stranger->connect();
        FAIL() << "another register's serial must be refused";
    } catch (const DriverError& e) {
        EXPECT_STREQ(e.what(), "Найдена касса с другим серийным номером: 00106100000001");
    }
    EXPECT_FALSE(stranger->isConnected());
    EXPECT_EQ(beeps("00106100000001"), 2);

    auto testMode = driver("0", "USB");
    testMode->connect();
    EXPECT_TRUE(testMode->isConnected());
}

TEST_F(AtolOnEmulator, EveryCatalogueTaskIsAnswered) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    const std::vector<std::pair<const char*, const char*>> catalogue = {
        {"getDeviceInfo", "deviceInfo.serial"},
        {"getDeviceStatus", "deviceStatus.paperPresent"},
        {"getFnInfo", "fnInfo.serial"},
        {"getRegistrationInfo", "device.registrationNumber"},
        {"getShiftStatus", "shiftStatus.state"},
        {"ofdExchangeStatus", "status.notSentCount"},
        {"getShiftTotals", "shiftTotals.receipts"},
    };
    for (const auto& [type, member] : catalogue) {
        Json task = {{"type", type}};
        auto answer = drv->processJSON(&task);
        ASSERT_TRUE(answer) << type;
        EXPECT_NE(findPath(*answer, member), nullptr) << type << ": " << answer->dump();
    }
    Json info = {{"type", "getDeviceInfo"}};
    EXPECT_EQ(textAt(*drv->processJSON(&info), "deviceInfo.modelName"), "АТОЛ 30Ф");
}

TEST_F(AtolOnEmulator, DocumentsAreFiscalisedWithGrowingNumbersAndRefusalsAreErrors) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    Json sale = cashSale(150, "ext-1");
    auto refused = drv->processJSON(&sale);
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, (Json{{"error", "30 [Смена закрыта - операция невозможна]"}}));

    Json open = {{"type", "openShift"}};
    ASSERT_TRUE(drv->processJSON(&open));
    std::int64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        auto answer = drv->processJSON(&sale);
        ASSERT_TRUE(answer);
        auto number = findPath(*answer, "fiscalParams.fiscalDocumentNumber");
        ASSERT_NE(number, nullptr) << answer->dump();
        EXPECT_GT(number->get<std::int64_t>(), previous);
        previous = number->get<std::int64_t>();
    }
    int fiscalised = 0;
    for (const Json& line : bench.logLines()) {
        fiscalised += line.contains("fiscalDocumentNumber") && line["type"] == "sell";
    }
    EXPECT_EQ(fiscalised, 3);
}

TEST_F(AtolOnEmulator, UnpluggingMidConnectionGivesNoAnswer) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    setReachable(false);
    Json task = {{"type", "getShiftStatus"}};
    EXPECT_EQ(drv->processJSON(&task), std::nullopt);
    drv->disconnect();  // its beeps are lost on an unplugged register; it still closes
    EXPECT_FALSE(drv->isConnected());
    EXPECT_THROW(drv->connect(), DriverError);

    setReachable(true);
    drv->connect();
    EXPECT_TRUE(drv->processJSON(&task));
}

TEST(RegisterBackends, TwoBenchRegistersConnectedBySerialBothAnswer) {
    BenchDir dir;
    dir.writeBench({benchRegister("USB-0001", "USB"), benchRegister("COM-0003", "COM3")});
    AutomationRegistry registry;
    installRegisterBackend(registry, "emulator", dir.path());

    TAtoldrv usb("USB-0001", registry);
    usb.setComType("USB");
    TAtoldrv com("COM-0003", registry);
    com.setComType("COM");
    com.setComPort("COM3");
    usb.connect();
    com.connect();

    Json task = {{"type", "getDeviceInfo"}};
    EXPECT_EQ(textAt(*usb.processJSON(&task), "deviceInfo.serial"), "USB-0001");
    EXPECT_EQ(textAt(*com.processJSON(&task), "deviceInfo.serial"), "COM-0003");
}

TEST(RegisterBackends, AnyOtherDriverLeavesTheProgIdUnserved) {
    BenchDir dir;
    AutomationRegistry registry;
    installRegisterBackend(registry, "", dir.path());
    installRegisterBackend(registry, "Emulator", dir.path());
    EXPECT_FALSE(registry.isRegistered(kFptrProgId));
    EXPECT_THROW(TAtoldrv("1", registry), AutomationError);
}

}  // namespace
}  // namespace th
