// Documents travelling from the sandbox service through the journal to an emulated ATOL
// register and back, with the cycles driven directly.
#include <gtest/gtest.h>

#include <map>

#include "DemoFeed.h"
#include "SandboxServer.h"
#include "cashbox/CommandResults.h"
#include "cashbox/ExchangeCycle.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "emulator/EmulatorBench.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/TempDir.h"

using namespace th;

namespace {

constexpr const char* kSerial = "00106700000001";
constexpr const char* kAccountToken = "e2e-account-token";

Json seed() {
    Json salepoint = {{"kkt_serial", kSerial},    {"address", "Тверская, 7"}, {"place", "касса"},
                      {"token", "e2e-kkt-token"}, {"kkt_reg_num", "1"},       {"fs_serial", "2"}};
    return {{"accounts", Json::array({{{"login", "e2e@tillhaven.local"},
                                       {"password", "e2e"},
                                       {"token", kAccountToken},
                                       {"salepoints", Json::array({salepoint})}}})}};
}

sandbox::SandboxOptions sandboxOptions() {
    sandbox::SandboxOptions options;
    options.seed = seed();
    return options;
}

// The real driver, with a hand that can pull the register's cable after a number of sales.
class UnpluggableDriver : public CashboxDriver {
public:
    UnpluggableDriver(AtolDriver& real, std::function<void()> unplug)
        : CashboxDriver(real.serial()), real_(real), unplug_(std::move(unplug)) {}

    void connect() override { real_.connect(); }
    void disconnect() override { real_.disconnect(); }
    std::string getVersion() override { return real_.getVersion(); }
    bool checkConnection() override { return real_.checkConnection(); }
    bool checkConnected() override { return real_.checkConnected(); }
    void onclose() override { real_.onclose(); }
    std::optional<Json> processJSON(const Json* data) override {
        auto answer = real_.processJSON(data);
        if (data && data->value("type", "") == "sell" && ++sales_ == unplugAfterSales)
            unplug_();
        return answer;
    }

    int unplugAfterSales = 0;  // 0: never

private:
    AtolDriver& real_;
    std::function<void()> unplug_;
    int sales_ = 0;
};

class EndToEndTest : public ::testing::Test, public ExchangeHost {
protected:
    EndToEndTest()
        : sandbox_(sandboxOptions()),
          port_(sandbox_.start()),
          settings_(prepared(dir_)),
          atol_(kSerial, backend()),
          driver_(atol_, [this] { plug(false); }),
          client_(dialogs_),
          cycle_(*this, client_, journal_, results_, dialogs_) {
        client_.setSettings(&settings_);
        createJournalFile(dir_.file("checks.db"));
        journal_.openJournal(dir_.file("checks.db"));
        atol_.setComType("USB");
        atol_.connect();
    }

    const std::filesystem::path& prepared(const test::TempDir& dir) {
        dir.write("settings.ini", std::string("[auth]\ntoken=") + kAccountToken +
                                      "\n[system]\nTestMode=1\nTestUrl=http://127.0.0.1:" +
                                      std::to_string(port_) + "/dispatcher/v1\n");
        plug(true);
        return dir.path();
    }
    AutomationRegistry& backend() {
        installRegisterBackend(registry_, "emulator", dir_.path());
        return registry_;
    }
    void plug(bool reachable) {
        Json bench = {
            {"registers", Json::array({{{"serial", kSerial}, {"reachable", reachable}}})}};
        dir_.write("emulator.json", dumpCompact(bench));
    }

    std::string serialText() override { return kSerial; }
    std::string cashboxToken() override { return "e2e-kkt-token"; }
    std::string driverName() override { return kAtolDriverName; }
    CashboxDriver* driver() override { return &driver_; }
    void reconnectAfterFailure() override {
        ++reconnects_;
        driver_.disconnect();
    }
    void reportProblem(const std::string& text) override { problems_.push_back(text); }

    // Runs one cycle as the window's timer does, keeping what it would show.
    void tick() {
        try {
            cycle_.runExchangeCycle();
        } catch (const std::exception& e) {
            shown_.push_back(e.what());
        }
    }

    // Successful fiscalisations per external_id, from the emulator's task log.
    std::map<std::string, int> fiscalised() {
        std::map<std::string, int> count;
        for (const Json& line : EmulatorBench(dir_.path()).logLines())
            if (line.contains("external_id") && !line.contains("error"))
                ++count[*valueText(line["external_id"])];
        return count;
    }
    std::vector<std::string> docStates() {
        std::vector<std::string> states;
        const Json snapshot = sandbox_.state().registerSnapshot(kSerial);
        for (const Json& doc : snapshot["docs"])
            states.push_back(doc["state"]);
        return states;
    }

    test::TempDir dir_;
    sandbox::SandboxServer sandbox_;
    int port_;
    AppSettings settings_;
    AutomationRegistry registry_;
    AtolDriver atol_;
    UnpluggableDriver driver_;
    RecordingDialogs dialogs_;
    DispatcherClient client_;
    TaskJournal journal_;
    CommandResults results_;
    ExchangeCycle cycle_;
    int reconnects_ = 0;
    std::vector<std::string> problems_;
    std::vector<std::string> shown_;
};

TEST_F(EndToEndTest, AQueuedDocumentIsFiscalisedOnceReportedAndAcknowledged) {
    const auto ids = sandbox_.state().queueDocs(kSerial, sandbox::DemoFeed::openShiftTask());
    tick();
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(journal_.selectChecks(kSerial, "completed").size(), 1u);
    tick();
    tick();
    EXPECT_EQ(docStates(), std::vector<std::string>{"acked"});
    EXPECT_EQ(fiscalised(), (std::map<std::string, int>{{ids[0], 1}}));
    EXPECT_TRUE(shown_.empty()) << shown_.front();
    EXPECT_EQ(dialogs_.count(), 0u);
}

TEST_F(EndToEndTest, UnpluggingInABurstFiscalisesEveryDocumentExactlyOnce) {
    Json burst = Json::array({sandbox::DemoFeed::openShiftTask()});
    for (int n = 0; n < 6; ++n)
        burst.push_back(sandbox::DemoFeed::saleTask(n));
    const auto ids = sandbox_.state().queueDocs(kSerial, burst);
    driver_.unplugAfterSales = 3;

    tick();  // the burst arrives; the cable goes after the third sale
    tick();  // the register is silent: "Нет связи с кассой", disconnected
    EXPECT_EQ(shown_, std::vector<std::string>{"Нет связи с кассой"});
    EXPECT_EQ(reconnects_, 1);
    EXPECT_FALSE(journal_.selectChecks(kSerial, "added").empty());

    plug(true);
    driver_.connect();
    for (int i = 0; i < 3; ++i)
        tick();

    std::map<std::string, int> once;
    for (const auto& id : ids)
        once[id] = 1;
    EXPECT_EQ(fiscalised(), once);
    EXPECT_EQ(docStates(), std::vector<std::string>(ids.size(), "acked"));
    EXPECT_EQ(shown_.size(), 1u);
}

}  // namespace
