#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "BenchFixture.h"
#include "emulator/FptrEmulator.h"

namespace th {
namespace {

using test::BenchDir;
using test::benchRegister;
using test::cashSale;

// Talks to an emulator object member by member, as the vendor's driver is talked to.
class Fptr {
public:
    explicit Fptr(std::shared_ptr<TEmulatorBench> bench) : object_(std::move(bench)) {}

    Variant call(const std::string& member, std::vector<Variant> args = {}) {
        return object_.invoke(member, args);
    }
    bool openUsb() { return openWith(fptr::kPortUsb, ""); }
    bool openCom(const std::string& file) { return openWith(fptr::kPortCom, file); }
    bool isOpened() { return variantBool(call("isOpened")); }
    std::int64_t errorCode() { return variantInt(call("errorCode")); }

    // The task's answer, or nullopt when processJson failed.
    std::optional<Json> task(const Json& task) {
        call("setParam", {fptr::kParamJsonData, dumpCompact(task)});
        std::string code = variantText(call("processJson"));
        std::string answer = variantText(call("getParamString", {fptr::kParamJsonData}));
        if (code == "-1") {
            return std::nullopt;
        }
        return parseJson(answer);
    }

private:
    bool openWith(std::int64_t port, const std::string& file) {
        call("setSingleSetting", {fptr::kSettingPort, port});
        call("setSingleSetting", {fptr::kSettingComFile, file});
        call("applySingleSettings");
        call("open");
        return isOpened();
    }

    TFptrEmulator object_;
};

class EmulatorObject : public ::testing::Test {
protected:
    void SetUp() override {
        dir.writeBench({benchRegister("A-1", "USB", {{"reachable", false}}),
                        benchRegister("B-2", "COM3"), benchRegister("C-3", "USB")});
    }
    void setFlag(const std::string& serial, const char* flag, bool value) {
        Json bench = *parseJson(dir.readText("emulator.json"));
        for (Json& entry : bench["registers"]) {
            if (entry["serial"] == serial) {
                entry[flag] = value;
            }
        }
        dir.write("emulator.json", bench);
    }
    std::string connectedSerial(Fptr& fptr) {
        fptr.call("setParam", {fptr::kParamDataType, fptr::kDtStatus});
        fptr.call("queryData");
        return variantText(fptr.call("getParamString", {fptr::kParamSerialNumber}));
    }

    BenchDir dir;
    std::shared_ptr<TEmulatorBench> bench = std::make_shared<TEmulatorBench>(dir.path());
};

TEST_F(EmulatorObject, UsbReachesTheFirstReachableUsbRegisterAndComTheOneOnItsPort) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    EXPECT_EQ(connectedSerial(fptr), "C-3");
    ASSERT_TRUE(fptr.openCom("COM3"));
    EXPECT_EQ(connectedSerial(fptr), "B-2");

    EXPECT_FALSE(fptr.openCom("COM4"));
    EXPECT_EQ(fptr.errorCode(), 4);
    setFlag("C-3", "reachable", false);
    EXPECT_FALSE(fptr.openUsb());
    EXPECT_EQ(fptr.errorCode(), 4);
}

TEST_F(EmulatorObject, UnpluggingMidConnectionAnswersWithCodeFourUntilPluggedBack) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    ASSERT_TRUE(fptr.task({{"type", "openShift"}}));

    setFlag("C-3", "reachable", false);
    EXPECT_FALSE(fptr.task(cashSale(10, "doc-1")));
    EXPECT_EQ(fptr.errorCode(), 4);
    EXPECT_TRUE(fptr.isOpened()) << "the connection is the driver's to close";
    EXPECT_EQ(fptr.call("beep"), Variant{std::int64_t{-1}});

    setFlag("C-3", "reachable", true);
    auto answer = fptr.task(cashSale(10, "doc-1"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*textAt(*answer, "fiscalParams.fiscalDocumentNumber"), "3");
}

TEST_F(EmulatorObject, RefusalsCarryCodeAndDescriptionAndFlagsAreReadAtEveryTask) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    EXPECT_FALSE(fptr.task(cashSale(10)));
    EXPECT_EQ(fptr.errorCode(), static_cast<int>(fptr::ErrorCode::shiftClosed));
    EXPECT_EQ(variantText(fptr.call("errorDescription")), "Смена закрыта - операция невозможна");

    ASSERT_TRUE(fptr.task({{"type", "openShift"}}));
    EXPECT_EQ(fptr.errorCode(), 0);
    setFlag("C-3", "paperPresent", false);
    EXPECT_FALSE(fptr.task(cashSale(10)));
    EXPECT_EQ(fptr.errorCode(), static_cast<int>(fptr::ErrorCode::noPaper));
    auto status = fptr.task({{"type", "getDeviceStatus"}});
    ASSERT_TRUE(status);
    EXPECT_EQ(boolAt(*status, "deviceStatus.paperPresent"), false);
}

TEST_F(EmulatorObject, LogRecordsEveryTaskWithItsOutcome) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    fptr.task({{"type", "openShift"}});
    fptr.task(cashSale(10, "ext-1"));
    fptr.task({{"type", "getShiftStatus"}, {"external_id", 42}});
    fptr.task({{"type", "closeShift"}, {"external_id", "ext-2"}});
    fptr.task(cashSale(10, "ext-3"));  // the shift is closed now

    std::vector<Json> lines = bench->logLines();
    ASSERT_EQ(lines.size(), 5u);
    for (const Json& line : lines) {
        EXPECT_EQ(line["serial"], "C-3");
        EXPECT_TRUE(line["time"].is_string());
    }
    EXPECT_EQ(lines[0]["type"], "openShift");
    EXPECT_EQ(lines[0]["fiscalDocumentNumber"], 2);
    EXPECT_EQ(lines[1]["external_id"], "ext-1");
    EXPECT_EQ(lines[1]["fiscalDocumentNumber"], 3);
    EXPECT_EQ(lines[2]["external_id"], 42);
    EXPECT_FALSE(lines[2].contains("fiscalDocumentNumber"));
    EXPECT_EQ(lines[3]["fiscalDocumentNumber"], 4);
    EXPECT_EQ(lines[4]["external_id"], "ext-3");
    EXPECT_EQ(lines[4]["error"], "30 [Смена закрыта - операция невозможна]");
    EXPECT_FALSE(lines[4].contains("fiscalDocumentNumber"));
}

TEST_F(EmulatorObject, ARestartContinuesTheNumberingAndCountsBeeps) {
    {
        Fptr fptr(bench);
        ASSERT_TRUE(fptr.openUsb());
        fptr.call("beep");
        ASSERT_TRUE(fptr.task({{"type", "openShift"}}));
        ASSERT_TRUE(fptr.task(cashSale(10)));
    }
    auto restarted = std::make_shared<TEmulatorBench>(dir.path());
    Fptr fptr(restarted);
    ASSERT_TRUE(fptr.openUsb());
    fptr.call("beep");
    auto answer = fptr.task(cashSale(10));
    ASSERT_TRUE(answer) << fptr.errorCode();
    EXPECT_EQ(*textAt(*answer, "fiscalParams.fiscalDocumentNumber"), "4");
    EXPECT_EQ(*textAt(*answer, "fiscalParams.fiscalReceiptNumber"), "2");
    EXPECT_EQ(restarted->stateOf("C-3").beeps, 2);
}

TEST_F(EmulatorObject, DamagedStateIsNeverWrittenOverAndTakesNoDocuments) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    ASSERT_TRUE(fptr.task({{"type", "openShift"}}));
    const std::string damaged = R"({"registers": {"C-3": {"shiftOpened": tr)";
    dir.writeText("emulator-state.json", damaged);

    EXPECT_FALSE(fptr.task(cashSale(10)));
    EXPECT_EQ(fptr.errorCode(), 4) << "no answer: the document stays pending";
    EXPECT_NE(variantText(fptr.call("errorDescription")).find("emulator-state.json"),
              std::string::npos);
    EXPECT_FALSE(fptr.openUsb());
    EXPECT_EQ(dir.readText("emulator-state.json"), damaged);
}

TEST_F(EmulatorObject, BrokenOrMissingBenchFileFailsTheOpenWithAReason) {
    Fptr fptr(bench);
    for (const char* text :
         {"{\"registers\": [", R"({"registers": [{"port": "USB"}]})",
          R"({"registers": [{"serial": "X", "reachable": "yes"}]})",
          R"({"registers": [{"serial": "X"}, {"serial": "X", "port": "COM1"}]})"}) {
        dir.writeText("emulator.json", text);
        EXPECT_FALSE(fptr.openUsb()) << text;
        EXPECT_EQ(fptr.errorCode(), 4);
        EXPECT_NE(variantText(fptr.call("errorDescription")).find("emulator.json"),
                  std::string::npos)
            << text;
    }
    std::filesystem::remove(dir.path() / "emulator.json");
    EXPECT_FALSE(fptr.openUsb());
}

TEST_F(EmulatorObject, MembersAndConstantsByNameOnly) {
    Fptr fptr(bench);
    EXPECT_EQ(variantInt(fptr.call("LIBFPTR_PARAM_JSON_DATA")), fptr::kParamJsonData);
    EXPECT_EQ(variantInt(fptr.call("LIBFPTR_PORT_BR_115200")), 115200);
    EXPECT_FALSE(fptr.call("version") == Variant{std::string()});
    EXPECT_THROW(fptr.call("LIBFPTR_NO_SUCH_CONSTANT"), AutomationError);
    EXPECT_THROW(fptr.call("Open"), AutomationError);
    EXPECT_THROW(fptr.call("setParam", {std::int64_t{1}}), AutomationError);
    EXPECT_FALSE(fptr.task({{"type", "getDeviceInfo"}}));
    EXPECT_EQ(fptr.errorCode(), 1) << "a closed connection is not a lost one";
}

// Objects on several threads: two share the process's bench (its mutex), one has a bench
// of its own, as another process would (only the flock orders it against the others).
TEST_F(EmulatorObject, ConcurrentObjectsNeverShareADocumentNumber) {
    {
        Fptr opener(bench);
        ASSERT_TRUE(opener.openUsb());
        ASSERT_TRUE(opener.task({{"type", "openShift"}}));
    }
    constexpr int kSales = 20;
    constexpr int kWorkers = 3;
    std::vector<std::shared_ptr<TEmulatorBench>> benches = {
        bench, bench, std::make_shared<TEmulatorBench>(dir.path())};
    std::vector<std::vector<std::int64_t>> numbers(kWorkers);
    auto sell = [&](int worker) {
        Fptr fptr(benches[worker]);
        if (!fptr.openUsb()) {
            return;
        }
        for (int i = 0; i < kSales; ++i) {
            if (auto answer = fptr.task(cashSale(1))) {
                numbers[worker].push_back(
                    (*answer)["fiscalParams"]["fiscalDocumentNumber"].get<std::int64_t>());
            }
        }
    };
    std::vector<std::thread> workers;
    for (int worker = 0; worker < kWorkers; ++worker) {
        workers.emplace_back(sell, worker);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    std::set<std::int64_t> all;
    for (const auto& own : numbers) {
        all.insert(own.begin(), own.end());
    }
    ASSERT_EQ(all.size(), std::size_t{kWorkers * kSales});
    EXPECT_EQ(*all.begin(), 3);
    EXPECT_EQ(*all.rbegin(), 2 + kWorkers * kSales);
    EXPECT_EQ(bench->logLines().size(), 1u + kWorkers * kSales);
    EXPECT_EQ(bench->stateOf("C-3").totals["sell"].count, kWorkers * kSales);
}

}  // namespace
}  // namespace th
