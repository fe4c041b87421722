#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
    explicit Fptr(std::shared_ptr<EmulatorBench> bench) : object_(std::move(bench)) {}

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

    FptrEmulator object_;
};

class EmulatorObject : public ::testing::Test {
protected:
    void SetUp() override {
        dir.writeBench({benchRegister("A-1", "USB", {{"reachable", false}}),
                        benchRegister("B-2", "COM3"), benchRegister("C-3", "USB")});
    }
    void setFlag(const std::string& serial, const char* flag, bool value) {
        setMember(serial, flag, value);
    }
    void setMember(const std::string& serial, const char* name, const Json& value) {
        Json bench = *parseJson(dir.readText("emulator.json"));
        for (Json& entry : bench["registers"]) {
            if (entry["serial"] == serial) {
                entry[name] = value;
            }
        }
        dir.write("emulator.json", bench);
    }
    // The log's lines for one register, in the order they were written.
    std::vector<Json> linesOf(const std::string& serial) {
        std::vector<Json> lines;
        for (Json& line : bench->logLines()) {
            if (line["serial"] == serial) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    }
    std::string connectedSerial(Fptr& fptr) {
        fptr.call("setParam", {fptr::kParamDataType, fptr::kDtStatus});
        fptr.call("queryData");
        return variantText(fptr.call("getParamString", {fptr::kParamSerialNumber}));
    }

    BenchDir dir;
    std::shared_ptr<EmulatorBench> bench = std::make_shared<EmulatorBench>(dir.path());
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

// A register that falls silent keeps its port: the driver says "no connection" (2), where
// an unplugged one says "port not available" (4).
TEST_F(EmulatorObject, ASilentRegisterAnswersWithCodeTwoUntilItSpeaksAgain) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openCom("COM3"));
    ASSERT_TRUE(fptr.task({{"type", "openShift"}}));

    setFlag("B-2", "silent", true);
    EXPECT_FALSE(fptr.task(cashSale(10, "doc-1")));
    EXPECT_EQ(fptr.errorCode(), 2);
    EXPECT_EQ(variantText(fptr.call("errorDescription")), "Нет связи");
    EXPECT_TRUE(fptr.isOpened());
    EXPECT_FALSE(fptr.openCom("COM3"));
    EXPECT_EQ(fptr.errorCode(), 2);

    setFlag("B-2", "silent", false);
    ASSERT_TRUE(fptr.openCom("COM3"));
    auto answer = fptr.task(cashSale(10, "doc-1"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*textAt(*answer, "fiscalParams.fiscalDocumentNumber"), "3");
}

// The link dies while the register prints: the document is made, its answer never comes.
TEST_F(EmulatorObject, ARegisterFallingSilentDuringThePrintMakesTheDocumentWithoutAnAnswer) {
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    ASSERT_TRUE(fptr.task({{"type", "openShift"}}));
    setMember("C-3", "printSeconds", 3);

    std::optional<Json> answer;
    std::thread printing([&] { answer = fptr.task(cashSale(10, "doc-1")); });
    const auto made = [&] {
        for (const Json& line : linesOf("C-3"))
            if (line.value("external_id", Json()) == "doc-1" &&
                line.contains("fiscalDocumentNumber"))
                return true;
        return false;
    };
    while (!made())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    setFlag("C-3", "silent", true);
    printing.join();
    EXPECT_FALSE(answer);
    EXPECT_EQ(fptr.errorCode(), 2);

    setFlag("C-3", "silent", false);
    auto status = fptr.task({{"type", "getFnStatus"}});
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["fnStatus"]["fiscalDocumentNumber"], 3);
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
    EXPECT_EQ(lines[4]["error"], "73 [Смена закрыта - операция невозможна]");
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
    auto restarted = std::make_shared<EmulatorBench>(dir.path());
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
    std::vector<std::shared_ptr<EmulatorBench>> benches = {
        bench, bench, std::make_shared<EmulatorBench>(dir.path())};
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

// A lost answer is the link's fault: the register made the document, so numbers rise each
// time, and only the first N fiscal documents of the register's life lose their answers.
TEST_F(EmulatorObject, LostAnswersAreDocumentsMadeWithoutAnAnswerUpToTheBenchCount) {
    for (std::int64_t lose : {0, 1, 3}) {
        SCOPED_TRACE("loseAnswers " + std::to_string(lose));
        BenchDir own;
        own.writeBench(Json::array({benchRegister("C-3", "USB", {{"loseAnswers", lose}})}));
        auto ownBench = std::make_shared<EmulatorBench>(own.path());
        const std::vector<Json> tasks = {{{"type", "openShift"}}, cashSale(10, "s-1"),
                                         {{"type", "reportX"}},   cashSale(20, "s-2"),
                                         cashSale(30, "s-3"),     {{"type", "closeShift"}}};
        Fptr fptr(ownBench);
        ASSERT_TRUE(fptr.openUsb());
        std::int64_t fiscalSoFar = 0;
        for (const Json& task : tasks) {
            bool fiscal = task["type"] != "reportX";
            bool lost = fiscal && fiscalSoFar < lose;
            fiscalSoFar += fiscal ? 1 : 0;
            auto answer = fptr.task(task);
            EXPECT_EQ(answer.has_value(), !lost) << task["type"];
            EXPECT_EQ(fptr.errorCode(), lost ? 2 : 0) << task["type"];
            auto status = fptr.task({{"type", "getFnStatus"}});
            ASSERT_TRUE(status);
            EXPECT_EQ((*status)["fnStatus"]["fiscalDocumentNumber"], 1 + fiscalSoFar)
                << "the document is made whether or not its answer arrives";
        }

        std::vector<std::int64_t> numbers;
        std::int64_t lostLines = 0;
        for (const Json& line : ownBench->logLines()) {
            if (line.contains("fiscalDocumentNumber")) {
                numbers.push_back(line["fiscalDocumentNumber"].get<std::int64_t>());
                lostLines += line.value("answerLost", false) ? 1 : 0;
                EXPECT_EQ(line.contains("answerLost"), numbers.size() <= std::size_t(lose));
                EXPECT_FALSE(line.contains("error"));
            } else {
                EXPECT_FALSE(line.contains("answerLost")) << line.dump();
            }
        }
        EXPECT_EQ(numbers, (std::vector<std::int64_t>{2, 3, 4, 5, 6}));
        EXPECT_EQ(lostLines, lose);
        EXPECT_EQ(ownBench->stateOf("C-3").lostAnswers, lose);

        // The count never resets: a restarted emulator answers the next document.
        Fptr restarted(std::make_shared<EmulatorBench>(own.path()));
        ASSERT_TRUE(restarted.openUsb());
        EXPECT_TRUE(restarted.task({{"type", "openShift"}}));
    }
}

TEST_F(EmulatorObject, LastFiscalParamsOfALostSaleAreTheOnesItsAnswerWouldHaveCarried) {
    setMember("C-3", "loseAnswers", 2);
    Fptr fptr(bench);
    ASSERT_TRUE(fptr.openUsb());
    EXPECT_FALSE(fptr.task({{"type", "openShift"}}));
    auto shift = fptr.task({{"type", "getLastFiscalParams"}});
    ASSERT_TRUE(shift);
    EXPECT_EQ((*shift)["fiscalParams"]["fiscalDocumentNumber"], 2);
    EXPECT_FALSE((*shift)["fiscalParams"].contains("total"));

    EXPECT_FALSE(fptr.task(cashSale(12.5, "s-1")));
    auto sale = fptr.task({{"type", "getLastFiscalParams"}});
    ASSERT_TRUE(sale);
    EXPECT_EQ((*sale)["fiscalParams"]["fiscalDocumentNumber"], 3);
    EXPECT_EQ((*sale)["fiscalParams"]["fiscalReceiptNumber"], 1);
    EXPECT_EQ((*sale)["fiscalParams"]["total"], 12.5);
    EXPECT_EQ(*findPath(*sale, "fiscalParams.fiscalDocumentSign"),
              *findPath(bench->stateOf("C-3").lastFiscalParams, "fiscalDocumentSign"));
    std::vector<Json> lines = linesOf("C-3");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1]["type"], "getLastFiscalParams");
    EXPECT_FALSE(lines[1].contains("fiscalDocumentNumber"));
}

// The sale waits out its print in one thread; meanwhile other objects (one sharing the
// bench, one with a bench of its own as another process would have) reach both registers.
TEST_F(EmulatorObject, PrintingHoldsNoOtherObjectAndTheDocumentIsMadeBeforeIt) {
    constexpr double kPrintSeconds = 3;
    setMember("C-3", "printSeconds", kPrintSeconds);
    Fptr seller(bench);
    ASSERT_TRUE(seller.openUsb());
    ASSERT_TRUE(seller.task({{"type", "getDeviceInfo"}})) << "state tasks never wait";

    std::atomic<bool> answered = false;
    std::optional<Json> answer;
    auto started = std::chrono::steady_clock::now();
    std::thread printing([&] {
        answer = seller.task({{"type", "openShift"}});
        answered = true;
    });
    while (linesOf("C-3").size() < 2 && !answered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<std::pair<std::string, bool>> duringPrint;
    const std::vector<std::pair<std::shared_ptr<EmulatorBench>, std::string>> others = {
        {bench, "openShift"}, {std::make_shared<EmulatorBench>(dir.path()), "closeShift"}};
    for (const auto& [other, document] : others) {
        Fptr onCom(other);
        ASSERT_TRUE(onCom.openCom("COM3"));
        duringPrint.emplace_back("COM3 " + document, onCom.task({{"type", document}}) && !answered);
        Fptr onUsb(other);
        ASSERT_TRUE(onUsb.openUsb());
        auto status = onUsb.task({{"type", "getFnStatus"}});
        duringPrint.emplace_back("USB getFnStatus", status && !answered);
        ASSERT_TRUE(status);
        EXPECT_EQ((*status)["fnStatus"]["fiscalDocumentNumber"], 2) << "made before the print";
    }
    printing.join();
    auto waited = std::chrono::steady_clock::now() - started;

    for (const auto& [what, beforeTheAnswer] : duringPrint) {
        EXPECT_TRUE(beforeTheAnswer) << what << " had to wait for the other register's print";
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["fiscalParams"]["fiscalDocumentNumber"], 2);
    EXPECT_GE(waited, std::chrono::duration<double>(kPrintSeconds));
    EXPECT_EQ(bench->stateOf("B-2").lastDocumentNumber, 3) << "COM3 made both its documents";
}

// A process killed while its register prints leaves the document made, its answer never
// given, and the bench free for the next process.
TEST_F(EmulatorObject, AProcessKilledWhilePrintingLeavesTheDocumentMade) {
    {
        Fptr opener(bench);
        ASSERT_TRUE(opener.openCom("COM3"));
        ASSERT_TRUE(opener.task({{"type", "openShift"}}));
    }
    setMember("B-2", "printSeconds", 60);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Fptr fptr(std::make_shared<EmulatorBench>(dir.path()));
        bool sold = fptr.openCom("COM3") && fptr.task(cashSale(10, "killed"));
        _exit(sold ? 0 : 1);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (linesOf("B-2").size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fptr other(bench);
    ASSERT_TRUE(other.openUsb());
    EXPECT_TRUE(other.task({{"type", "getDeviceStatus"}})) << "the printing process holds no lock";
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the sale must still have been printing";

    std::vector<Json> lines = linesOf("B-2");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["external_id"], "killed");
    EXPECT_EQ(lines[1]["fiscalDocumentNumber"], 3);
    EmulatedRegisterState state = EmulatorBench(dir.path()).stateOf("B-2");
    EXPECT_EQ(state.lastDocumentNumber, 3);
    EXPECT_EQ(state.lastFiscalParams["fiscalDocumentNumber"], 3);
}

}  // namespace
}  // namespace th
