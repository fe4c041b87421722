// The ATOL driver against the register emulator through both backends of "AddIn.Fptr10":
// the emulator in process (RegisterDriver=emulator) and the emulator library loaded with
// dlopen through the vendor's C interface (RegisterDriver=<path of the library>). Every
// expectation holds for both.
#include <gtest/gtest.h>

#include "NativeTestKit.h"
#include "drivers/AtolDriver.h"
#include "emulator/BenchFixture.h"
#include "emulator/EmulatorBench.h"
#include "emulator/RegisterBackends.h"

namespace th {
namespace {

using test::BenchDir;
using test::benchRegister;
using test::cashSale;

struct Backend {
    const char* name;
    std::string registerDriver;
};

void PrintTo(const Backend& backend, std::ostream* out) {
    *out << backend.name << " (" << backend.registerDriver << ")";
}

class AtolOnBackend : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        dir.writeBench({benchRegister("00106100000001", "USB"),
                        benchRegister("00106100000002", "COM3", {{"model", "АТОЛ 55Ф"}})});
        installRegisterBackend(registry, GetParam().registerDriver, dir.path());
    }

    std::unique_ptr<AtolDriver> driver(const std::string& serial, const std::string& comType,
                                       const std::string& comPort = "") {
        auto drv = std::make_unique<AtolDriver>(serial, registry);
        drv->setComType(comType);
        drv->setComPort(comPort);
        drv->setOnChangedState([this](CashboxDriver&) { ++stateChanges; });
        return drv;
    }

    std::int64_t beeps(const std::string& serial) { return bench.stateOf(serial).beeps; }

    void editFirstRegister(const Json& changes) {
        Json file = *parseJson(dir.readText("emulator.json"));
        file["registers"][0].update(changes);
        dir.write("emulator.json", file);
    }

    BenchDir dir;
    // The library finds the bench through the environment, as a real program's would.
    test::ScopedEnv benchVariable{"TILLHAVEN_EMULATOR_DIR", dir.path().string()};
    AutomationRegistry registry;
    EmulatorBench bench{dir.path()};
    int stateChanges = 0;
};

TEST_P(AtolOnBackend, ConnectBeepsOnceAndDisconnectTwice) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    EXPECT_TRUE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000001"), 1);
    EXPECT_EQ(stateChanges, 1);
    EXPECT_EQ(drv->getVersion(), "10.10.0.0");

    drv->connect();  // closes and reopens
    EXPECT_EQ(beeps("00106100000001"), 2);

    drv->disconnect();
    EXPECT_FALSE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000001"), 4);
    EXPECT_EQ(stateChanges, 3);
}

TEST_P(AtolOnBackend, CheckConnectionOnACommPortLeavesTheConnectionClosed) {
    auto drv = driver("00106100000002", "COM", "COM3");
    EXPECT_TRUE(drv->checkConnection());
    EXPECT_FALSE(drv->isConnected());
    EXPECT_EQ(beeps("00106100000002"), 3);

    auto absent = driver("00106100000002", "COM", "COM9");
    EXPECT_THROW(absent->checkConnection(), DriverError);
}

TEST_P(AtolOnBackend, SerialIsCheckedExceptInTestMode) {
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

TEST_P(AtolOnBackend, EveryCatalogueTaskIsAnswered) {
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

// Answers far longer than a first read buffer, and not ASCII, arrive whole.
TEST_P(AtolOnBackend, LongNonAsciiAnswersArriveWhole) {
    std::string model;
    for (int i = 0; i < 700; ++i) {
        model += "Ккт№" + std::to_string(i) + "😀";
    }
    editFirstRegister({{"model", model}});
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    Json info = {{"type", "getDeviceInfo"}};
    auto answer = drv->processJSON(&info);
    ASSERT_TRUE(answer);
    EXPECT_EQ(textAt(*answer, "deviceInfo.modelName"), model);
}

TEST_P(AtolOnBackend, DocumentsAreFiscalisedWithGrowingNumbersAndRefusalsAreErrors) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    Json sale = cashSale(150, "ext-1");
    auto refused = drv->processJSON(&sale);
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, (Json{{"error", "73 [Смена закрыта - операция невозможна]"}}));

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

TEST_P(AtolOnBackend, UnpluggingMidConnectionGivesNoAnswer) {
    auto drv = driver("00106100000001", "USB");
    drv->connect();
    editFirstRegister({{"reachable", false}});
    Json task = {{"type", "getShiftStatus"}};
    EXPECT_EQ(drv->processJSON(&task), std::nullopt);
    drv->disconnect();  // its beeps are lost on an unplugged register; it still closes
    EXPECT_FALSE(drv->isConnected());
    EXPECT_THROW(drv->connect(), DriverError);

    editFirstRegister({{"reachable", true}});
    drv->connect();
    EXPECT_TRUE(drv->processJSON(&task));
}

TEST_P(AtolOnBackend, TwoDriversEachReachTheirOwnRegister) {
    auto usb = driver("00106100000001", "USB");
    auto com = driver("00106100000002", "COM", "COM3");
    usb->connect();
    com->connect();
    Json task = {{"type", "getDeviceInfo"}};
    EXPECT_EQ(textAt(*usb->processJSON(&task), "deviceInfo.serial"), "00106100000001");
    EXPECT_EQ(textAt(*com->processJSON(&task), "deviceInfo.serial"), "00106100000002");
    usb.reset();  // one driver gone leaves the other's handle and library working
    EXPECT_TRUE(com->processJSON(&task));
}

INSTANTIATE_TEST_SUITE_P(Backends, AtolOnBackend,
                         ::testing::Values(Backend{"InProcess", "emulator"},
                                           Backend{"Library", test::kEmulatorLibrary}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace th
