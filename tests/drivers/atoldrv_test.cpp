#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RecordingFptr.h"
#include "drivers/AtolDriver.h"
#include "drivers/DriverFailures.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

using th::AtolDriver;
using th::AutomationError;
using th::AutomationRegistry;
using th::CashboxDriver;
using th::DriverError;
using th::Json;
using th::Variant;
using th::test::FptrScript;
using Trace = std::vector<std::string>;

namespace {

Trace join(std::initializer_list<Trace> parts) {
    Trace all;
    for (const Trace& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The call sequences of connect(), piece by piece.
const Trace kModel = {"LIBFPTR_SETTING_MODEL", "LIBFPTR_MODEL_ATOL_AUTO",
                      R"(setSingleSetting(1,"500"))"};
const Trace kUsb = {"LIBFPTR_SETTING_PORT", "LIBFPTR_PORT_USB", "setSingleSetting(2,20)"};
const Trace kCom3 = {"LIBFPTR_SETTING_PORT",          "LIBFPTR_PORT_COM",
                     "setSingleSetting(2,21)",        "LIBFPTR_SETTING_COM_FILE",
                     R"(setSingleSetting(3,"COM3"))", "LIBFPTR_SETTING_BAUDRATE",
                     "LIBFPTR_PORT_BR_115200",        R"(setSingleSetting(4,"7"))"};
const Trace kOpen = {"applySingleSettings", "open", "isOpened"};
const Trace kReadSerial = {
    "LIBFPTR_PARAM_DATA_TYPE",     "LIBFPTR_DT_STATUS", "setParam(10,11)", "queryData",
    "LIBFPTR_PARAM_SERIAL_NUMBER", "getParamString(12)"};
const Trace kCloseOpen = {"isOpened", "beep", "beep", "close"};

// A driver over a recording object, with a listener that notes what it was told.
struct Rig {
    explicit Rig(const std::string& serial = "SN-1",
                 std::filesystem::path usbDeviceDir = std::filesystem::path(),
                 th::UsbDeviceTree usb = {}) {
        th::test::serveRecordingFptr(registry, script);
        // The machine's own devices stay out of it: only the ones a test puts in place.
        registry.setPorts(std::make_shared<const th::RegisterPorts>(
            [] { return std::vector<th::SerialPortEntry>{}; }, std::move(usbDeviceDir),
            std::move(usb)));
        driver = std::make_unique<AtolDriver>(serial, registry);
        driver->setOnChangedState([this](CashboxDriver& sender) {
            EXPECT_EQ(&sender, driver.get());
            traceAtListener.push_back(script->trace.size());
            script->trace.push_back("<listener>");
        });
    }
    // The listener's own entries are left out, so traces compare to the object's calls.
    Trace calls() const {
        Trace out;
        for (const auto& c : script->trace) {
            if (c != "<listener>")
                out.push_back(c);
        }
        return out;
    }
    int listenerCalls() const { return static_cast<int>(traceAtListener.size()); }

    std::shared_ptr<FptrScript> script = std::make_shared<FptrScript>();
    AutomationRegistry registry;
    std::unique_ptr<AtolDriver> driver;
    std::vector<size_t> traceAtListener;
};

struct ConnectCase {
    const char* name;
    std::string driverSerial;
    std::string comType;
    std::string comPort;
    bool openBefore;
    bool openSucceeds;
    std::string reportedSerial;
    Trace expectedCalls;
    std::string expectedError;  // empty: connect succeeds
    int expectedListenerCalls;
};

std::ostream& operator<<(std::ostream& os, const ConnectCase& c) {
    return os << c.name;
}

const std::string kMismatch = "Найдена касса с другим серийным номером: ";
const std::string kBadType = "Некорректный тип соединения";

const ConnectCase kConnectCases[] = {
    {"Usb", "SN-1", "USB", "COM3", false, true, "SN-1",
     join({{"isOpened"}, kModel, kUsb, kOpen, kReadSerial, {"beep"}}), "", 1},
    {"Com", "SN-1", "COM", "COM3", false, true, "SN-1",
     join({{"isOpened"}, kModel, kCom3, kOpen, kReadSerial, {"beep"}}), "", 1},
    {"AlreadyOpenClosesFirst", "SN-1", "USB", "", true, true, "SN-1",
     join({{"isOpened", "close"}, kModel, kUsb, kOpen, kReadSerial, {"beep"}}), "", 1},
    {"TestModeAcceptsAnySerial", "0", "USB", "", false, true, "ANY-42",
     join({{"isOpened"}, kModel, kUsb, kOpen, kReadSerial, {"beep"}}), "", 1},
    {"OtherSerial", "SN-1", "USB", "", false, true, "SN-2",
     join({{"isOpened"}, kModel, kUsb, kOpen, kReadSerial, kCloseOpen}), kMismatch + "SN-2", 1},
    {"SerialDiffersInCase", "ab-1", "COM", "COM3", false, true, "AB-1",
     join({{"isOpened"}, kModel, kCom3, kOpen, kReadSerial, kCloseOpen}), kMismatch + "AB-1", 1},
    {"SerialWithTrailingBlank", "SN-1", "USB", "", false, true, "SN-1 ",
     join({{"isOpened"}, kModel, kUsb, kOpen, kReadSerial, kCloseOpen}), kMismatch + "SN-1 ", 1},
    {"OpenFails", "SN-1", "USB", "", false, false, "SN-1",
     join({{"isOpened"}, kModel, kUsb, kOpen}), "Невозможно подключиться к кассе", 0},
    {"LowerCaseUsb", "SN-1", "usb", "", false, true, "SN-1", join({{"isOpened"}, kModel}), kBadType,
     0},
    {"MixedCaseCom", "SN-1", "Com", "COM3", false, true, "SN-1", join({{"isOpened"}, kModel}),
     kBadType, 0},
    {"EmptyType", "SN-1", "", "", false, true, "SN-1", join({{"isOpened"}, kModel}), kBadType, 0},
    {"BadTypeClosesOpenConnection", "SN-1", "usb", "", true, true, "SN-1",
     join({{"isOpened", "close"}, kModel}), kBadType, 0},
};

class Connect : public testing::TestWithParam<ConnectCase> {};

TEST_P(Connect, CallsTheObjectInOrderAndTellsTheListenerLast) {
    const ConnectCase& c = GetParam();
    Rig rig(c.driverSerial);
    rig.driver->setComType(c.comType);
    rig.driver->setComPort(c.comPort);
    rig.script->opened = c.openBefore;
    rig.script->openSucceeds = c.openSucceeds;
    rig.script->serial = c.reportedSerial;

    std::string error;
    try {
        rig.driver->connect();
    } catch (const DriverError& e) {
        error = e.what();
    }

    EXPECT_EQ(error, c.expectedError);
    EXPECT_EQ(rig.calls(), c.expectedCalls);
    EXPECT_EQ(rig.listenerCalls(), c.expectedListenerCalls);
    if (c.expectedListenerCalls > 0) {
        EXPECT_EQ(rig.traceAtListener.back() + 1, rig.script->trace.size()) << "listener not last";
    }
    EXPECT_EQ(rig.script->opened, c.expectedError.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, Connect, testing::ValuesIn(kConnectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AtolDisconnect, BeepsTwiceAndClosesWhenOpenAndAlwaysTellsTheListener) {
    using Op = std::function<void(AtolDriver&)>;
    const std::pair<const char*, Op> ops[] = {{"disconnect", [](AtolDriver& d) { d.disconnect(); }},
                                              {"onclose", [](AtolDriver& d) { d.onclose(); }}};
    for (const auto& [name, op] : ops) {
        for (bool open : {true, false}) {
            SCOPED_TRACE(std::string(name) + (open ? " open" : " closed"));
            Rig rig;
            rig.script->opened = open;
            op(*rig.driver);
            EXPECT_EQ(rig.calls(), open ? kCloseOpen : Trace{"isOpened"});
            EXPECT_EQ(rig.listenerCalls(), 1);
            EXPECT_FALSE(rig.driver->isConnected());
        }
    }
}

TEST(AtolCheckConnection, ConnectsThenDisconnectsAndListenerHearsBoth) {
    Rig rig;
    rig.driver->setComType("USB");
    rig.script->serial = "SN-1";
    std::vector<bool> heard;
    rig.driver->setOnChangedState([&](CashboxDriver& d) { heard.push_back(d.isConnected()); });

    EXPECT_TRUE(rig.driver->checkConnection());
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
    EXPECT_FALSE(rig.script->opened);
    // Each listener call reads isOpened through isConnected.
    EXPECT_EQ(rig.calls(), join({{"isOpened"},
                                 kModel,
                                 kUsb,
                                 kOpen,
                                 kReadSerial,
                                 {"beep"},
                                 {"isOpened"},
                                 kCloseOpen,
                                 {"isOpened"}}));
}

TEST(AtolCheckConnection, RaisesConnectFailureRatherThanFalse) {
    Rig rig;
    rig.driver->setComType("USB");
    rig.script->openSucceeds = false;
    EXPECT_THROW(rig.driver->checkConnection(), DriverError);
    EXPECT_EQ(rig.listenerCalls(), 0);
}

TEST(AtolDriver, CreatingOpensNothingAndTestModeIsExactlyZero) {
    const std::pair<const char*, bool> cases[] = {{"0", true},   {"00", false}, {" 0", false},
                                                  {"0 ", false}, {"", false},   {"SN-1", false}};
    for (const auto& [serial, testMode] : cases) {
        SCOPED_TRACE(serial);
        Rig rig(serial);
        EXPECT_EQ(rig.driver->testMode(), testMode);
        EXPECT_EQ(rig.driver->serial(), serial);
        EXPECT_EQ(rig.driver->comType(), "");
        EXPECT_TRUE(rig.calls().empty());
    }
}

TEST(AtolDriver, GetVersionAndCheckConnectedReadTheObject) {
    Rig rig;
    rig.script->version = "10.10.5.0";
    rig.script->opened = true;
    EXPECT_EQ(rig.driver->getVersion(), "10.10.5.0");
    EXPECT_TRUE(rig.driver->checkConnected());
    EXPECT_EQ(rig.calls(), (Trace{"version", "isOpened"}));
}

TEST(AtolDriver, AutomationErrorsReachTheCallerWithTheObjectsDescription) {
    using Op = std::function<void(AtolDriver&)>;
    struct Case {
        const char* failing;
        Op op;
    };
    const Case cases[] = {
        {"version", [](AtolDriver& d) { d.getVersion(); }},
        {"isOpened", [](AtolDriver& d) { d.checkConnected(); }},
        {"open", [](AtolDriver& d) { d.connect(); }},
        {"LIBFPTR_PORT_USB", [](AtolDriver& d) { d.connect(); }},
        {"getParamString", [](AtolDriver& d) { d.checkConnection(); }},
        {"close", [](AtolDriver& d) { d.disconnect(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        Rig rig;
        rig.driver->setComType("USB");
        rig.script->opened = true;
        rig.script->failing = {c.failing};
        try {
            c.op(*rig.driver);
            ADD_FAILURE() << "no error raised";
        } catch (const AutomationError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Сбой ") + c.failing);
        }
    }
}

TEST(AtolDriver, CreatingWithoutTheVendorObjectNamesTheProgId) {
    AutomationRegistry empty;
    try {
        AtolDriver driver("SN-1", empty);
        ADD_FAILURE() << "driver created";
    } catch (const AutomationError& e) {
        EXPECT_STREQ(e.what(), R"(Недопустимая строка с указанием класса, ProgID: "AddIn.Fptr10")");
    }
}

struct TaskCase {
    const char* name;
    bool open;
    std::optional<std::string> task;  // nullopt: no task at all
    Variant processResult;
    std::string answer;
    std::int64_t errorCode;
    std::optional<std::string> expected;  // compact JSON of the result; nullopt: none
    Trace expectedCalls;
};

std::ostream& operator<<(std::ostream& os, const TaskCase& c) {
    return os << c.name;
}

const std::string kTask = R"({"type":"sell","items":[{"name":"Хлеб ржаной","price":42.5}]})";
const Trace kSendTask = {"isOpened",    "LIBFPTR_PARAM_JSON_DATA", "setParam(13,\"" + kTask + "\")",
                         "processJson", "LIBFPTR_PARAM_JSON_DATA", "getParamString(13)"};
const std::int64_t kFailed = -1;

const TaskCase kTaskCases[] = {
    {"Answer", true, kTask, std::int64_t{0}, R"({"fiscalParams":{"fiscalDocumentNumber":7}})", 0,
     R"({"fiscalParams":{"fiscalDocumentNumber":7}})", kSendTask},
    {"ClosedConnection", false, kTask, std::int64_t{0}, "{}", 0, std::nullopt, {"isOpened"}},
    {"NoTask", true, std::nullopt, std::int64_t{0}, "{}", 0, std::nullopt, {"isOpened"}},
    {"AnswerNotJson", true, kTask, std::int64_t{0}, "{not json", 0, std::nullopt, kSendTask},
    {"EmptyAnswer", true, kTask, std::int64_t{0}, "", 0, std::nullopt, kSendTask},
    // The codes by which the vendor's driver says the register cannot be reached.
    {"ConnectionDisabledIsNoAnswer", true, kTask, kFailed, R"({"x":1})", 1, std::nullopt,
     join({kSendTask, {"errorCode"}})},
    {"NoConnectionIsNoAnswer", true, kTask, kFailed, R"({"x":1})", 2, std::nullopt,
     join({kSendTask, {"errorCode"}})},
    {"PortBusyIsNoAnswer", true, kTask, kFailed, R"({"x":1})", 3, std::nullopt,
     join({kSendTask, {"errorCode"}})},
    {"PortNotAvailableIsNoAnswer", true, kTask, kFailed, R"({"x":1})", 4, std::nullopt,
     join({kSendTask, {"errorCode"}})},
    {"ConnectionLostIsNoAnswer", true, kTask, kFailed, R"({"x":1})", 241, std::nullopt,
     join({kSendTask, {"errorCode"}})},
    {"NoPaperIsRefusal", true, kTask, kFailed, "", 44, R"({"error":"44 [Нет бумаги]"})",
     join({kSendTask, {"errorCode", "errorDescription"}})},
    {"FailureCodeAsText", true, kTask, std::string("-1"), "", 0, R"({"error":"0 [Нет бумаги]"})",
     join({kSendTask, {"errorCode", "errorDescription"}})},
    {"OtherNegativeCodeIsNotFailure", true, kTask, std::int64_t{-2}, R"({"ok":true})", 0,
     R"({"ok":true})", kSendTask},
};

class ProcessJson : public testing::TestWithParam<TaskCase> {};

TEST_P(ProcessJson, AnswersWithoutRaising) {
    const TaskCase& c = GetParam();
    Rig rig;
    rig.script->opened = c.open;
    rig.script->processResult = c.processResult;
    rig.script->answer = c.answer;
    rig.script->errorCode = c.errorCode;
    rig.script->errorDescription = "Нет бумаги";
    std::optional<Json> task;
    if (c.task)
        task = Json::parse(*c.task);
    const Json before = task.value_or(Json());

    std::optional<Json> result = rig.driver->processJSON(task ? &*task : nullptr);

    ASSERT_EQ(result.has_value(), c.expected.has_value());
    if (result) {
        EXPECT_EQ(th::dumpCompact(*result), *c.expected);
    }
    EXPECT_EQ(rig.calls(), c.expectedCalls);
    EXPECT_EQ(task.value_or(Json()), before) << "the caller's task was changed";
    EXPECT_EQ(rig.listenerCalls(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessJson, testing::ValuesIn(kTaskCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A refusal's code is read back from the text the driver made of it; only the printer's
// own conditions hold the documents after it.
TEST(DriverFailures, ARefusalsCodeTellsThePrinterFromTheDocument) {
    struct Case {
        Json answer;
        std::optional<std::int64_t> code;
        bool printerNotReady;
    };
    const Case cases[] = {
        {{{"error", "44 [Нет бумаги]"}}, 44, true},
        {{{"error", "45 [Открыта крышка]"}}, 45, true},
        {{{"error", "46 [Нет связи с принтером чеков]"}}, 46, true},
        {{{"error", "47 [Механическая ошибка печатающего устройства]"}}, 47, true},
        {{{"error", "150 [Ошибка отрезчика]"}}, 150, true},
        {{{"error", "68 [Смена превысила 24 часа]"}}, 68, false},
        {{{"error", "166 [ФН не найден]"}}, 166, false},
        {{{"error", "[Нет бумаги]"}}, std::nullopt, false},
        {{{"error", 44}}, std::nullopt, false},
        {{{"error", "44 [Нет бумаги]"}, {"fiscalParams", Json::object()}}, std::nullopt, false},
        {{{"fiscalParams", {{"fiscalDocumentNumber", 44}}}}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(th::refusalCode(c.answer), c.code) << c.answer.dump();
        EXPECT_EQ(th::isPrinterNotReady(c.answer), c.printerNotReady) << c.answer.dump();
    }
    for (std::int64_t code : {1, 2, 3, 4, 241})
        EXPECT_EQ(th::classifyDriverFailure(code), th::DriverFailure::OutOfReach) << code;
    for (std::int64_t code : {0, 5, 44, 68, 73, 83, 166, 240, 242})
        EXPECT_NE(th::classifyDriverFailure(code), th::DriverFailure::OutOfReach) << code;
}

TEST(AtolProcessJson, AutomationErrorAnywhereGivesNoAnswer) {
    for (const char* failing : {"isOpened", "setParam", "processJson", "getParamString",
                                "errorCode", "errorDescription", "LIBFPTR_PARAM_JSON_DATA"}) {
        SCOPED_TRACE(failing);
        Rig rig;
        rig.script->opened = true;
        rig.script->processResult = kFailed;
        rig.script->errorCode = 3;
        rig.script->failing = {failing};
        const Json task = Json::parse(R"({"type":"getShiftStatus"})");
        EXPECT_EQ(rig.driver->processJSON(&task), std::nullopt);
    }
}

}  // namespace

namespace {

// What a connection attempt by an unprivileged user ends with: the error's text, then the
// object's calls, one a line.
std::string connectUnprivileged(Rig& rig) {
    auto attempt = [&rig] {
        std::string seen;
        try {
            rig.driver->connect();
            seen = "connected";
        } catch (const DriverError& e) {
            seen = e.what();
        }
        for (const std::string& call : rig.calls())
            seen += "\n" + call;
        return seen;
    };
    return th::test::runUnprivileged(attempt).value_or("<the child failed>");
}

}  // namespace

TEST(AtolPortAccess, AComDeviceTheUserMayNotOpenIsNamedBeforeTheVendorDriverIsAsked) {
    if (!th::test::canDropPrivileges())
        GTEST_SKIP() << "needs root to hand the device to a group and drop to another user";
    th::test::PseudoTerminal device;
    ASSERT_TRUE(device.setAccess(*th::test::groupId("dialout"), 0660));
    Rig rig;
    rig.driver->setComType("COM");
    rig.driver->setComPort(device.path().string());

    const std::string seen = connectUnprivileged(rig);
    EXPECT_TRUE(seen.starts_with("Нет доступа к порту " + device.path().string() + ": ")) << seen;
    EXPECT_NE(seen.find("в группу dialout"), std::string::npos) << seen;
    EXPECT_TRUE(seen.ends_with("снова.\nisOpened")) << "nothing set up, nothing opened: " << seen;
}

TEST(AtolPortAccess, AFailedUsbConnectionNamesTheRegistersDeviceTheUserMayNotOpen) {
    if (!th::test::canDropPrivileges())
        GTEST_SKIP() << "needs root to hand the device to a group and drop to another user";
    th::test::TempDir devices;
    std::filesystem::permissions(devices.path(), std::filesystem::perms(0755));
    th::test::PseudoTerminal device;
    ASSERT_TRUE(device.setAccess(*th::test::groupId("dialout"), 0660));
    std::filesystem::create_symlink(device.path(), devices.file("ttyACM0"));
    Rig rig("SN-1", devices.path());
    rig.driver->setComType("USB");
    rig.script->openSucceeds = false;

    const std::string seen = connectUnprivileged(rig);
    EXPECT_TRUE(seen.starts_with("Нет доступа к порту " + devices.file("ttyACM0").string() + ": "))
        << seen;
    EXPECT_TRUE(seen.ends_with("\nopen\nisOpened")) << "the vendor driver tried first: " << seen;
    EXPECT_EQ(rig.listenerCalls(), 0);
}

// The vendor's driver opens a USB register through its USB device: a device of the vendor
// the user may not open is named, with the rule that gives access to it.
TEST(AtolPortAccess, AFailedUsbConnectionNamesTheRegistersUsbDeviceAndTheRuleForIt) {
    if (!th::test::canDropPrivileges())
        GTEST_SKIP() << "needs root to hand the device to root alone and drop to another user";
    th::test::TempDir usb;
    std::filesystem::permissions(usb.path(), std::filesystem::perms(0755));
    const auto describe = [&](const char* name, const char* vendor, const char* device) {
        const std::filesystem::path entry = usb.path() / "sys" / name;
        std::filesystem::create_directories(entry);
        usb.write("sys/" + std::string(name) + "/idVendor", std::string(vendor) + "\n");
        usb.write("sys/" + std::string(name) + "/busnum", "1\n");
        usb.write("sys/" + std::string(name) + "/devnum", std::string(device) + "\n");
    };
    describe("1-1", "046d", "3");  // a mouse
    describe("1-2", "2912", "7");  // the register
    std::filesystem::create_directories(usb.path() / "dev" / "001");
    th::test::PseudoTerminal device;
    ASSERT_TRUE(device.setAccess(0, 0600));
    std::filesystem::create_symlink(device.path(), usb.path() / "dev" / "001" / "007");
    for (const char* dir : {"sys", "sys/1-1", "sys/1-2", "dev", "dev/001"})
        std::filesystem::permissions(usb.path() / dir, std::filesystem::perms(0755));
    Rig rig("SN-1", usb.file("no-tty"), {usb.path() / "sys", usb.path() / "dev"});
    rig.driver->setComType("USB");
    rig.script->openSucceeds = false;

    const std::string seen = connectUnprivileged(rig);
    const std::string node = (usb.path() / "dev" / "001" / "007").string();
    EXPECT_TRUE(seen.starts_with("Нет доступа к порту " + node + ": ")) << seen;
    EXPECT_NE(seen.find("70-tillhaven-atol.rules"), std::string::npos) << seen;
    EXPECT_NE(seen.find("TAG+=\"uaccess\""), std::string::npos) << seen;
    EXPECT_TRUE(seen.ends_with("\nopen\nisOpened")) << "the vendor driver tried first: " << seen;
}

TEST(AtolPortAccess, AFailedUsbConnectionWithEveryDeviceOpenKeepsTheDriversMessage) {
    th::test::TempDir devices;
    th::test::PseudoTerminal device;
    std::filesystem::create_symlink(device.path(), devices.file("ttyACM0"));
    Rig rig("SN-1", devices.path());
    rig.driver->setComType("USB");
    rig.script->openSucceeds = false;
    try {
        rig.driver->connect();
        FAIL() << "connected";
    } catch (const DriverError& e) {
        EXPECT_STREQ(e.what(), "Невозможно подключиться к кассе");
    }
}
