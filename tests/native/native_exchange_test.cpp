// One full exchange cycle through the native backend: documents travel from the sandbox
// service through the journal to the emulator library, loaded as the vendor's driver would
// be, and back.
#include <gtest/gtest.h>

#include "DemoFeed.h"
#include "NativeTestKit.h"
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

namespace th {
namespace {

constexpr const char* kSerial = "00106700000001";
constexpr const char* kAccountToken = "native-account-token";

sandbox::SandboxOptions sandboxOptions() {
    Json salepoint = {{"kkt_serial", kSerial}, {"address", "Тверская, 7"},
                      {"place", "касса"},      {"token", "native-kkt-token"},
                      {"kkt_reg_num", "1"},    {"fs_serial", "2"}};
    sandbox::SandboxOptions options;
    options.seed = {{"accounts", Json::array({{{"login", "native@tillhaven.local"},
                                               {"password", "native"},
                                               {"token", kAccountToken},
                                               {"salepoints", Json::array({salepoint})}}})}};
    return options;
}

// The process as the program sets it up with RegisterDriver naming the emulator library.
class NativeExchange : public ::testing::Test, public ExchangeHost {
protected:
    NativeExchange() : sandbox_(sandboxOptions()), port_(sandbox_.start()) {
        dir_.write("settings.ini",
                   std::string("[auth]\ntoken=") + kAccountToken +
                       "\n[system]\nTestMode=1\nRegisterDriver=" + test::kEmulatorLibrary +
                       "\nTestUrl=http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1\n");
        dir_.write("emulator.json",
                   dumpCompact({{"registers", Json::array({{{"serial", kSerial}}})}}));
        settings_ = std::make_unique<AppSettings>(dir_.path());
        installRegisterBackend(registry_, settings_->registerDriver(), dir_.path());
        atol_ = std::make_unique<AtolDriver>(kSerial, registry_);
        atol_->setComType("USB");
        atol_->connect();
        client_.setSettings(settings_.get());
        createJournalFile(dir_.file("checks.db"));
        journal_.openJournal(dir_.file("checks.db"));
    }

    std::string serialText() override { return kSerial; }
    std::string cashboxToken() override { return "native-kkt-token"; }
    std::string driverName() override { return kAtolDriverName; }
    CashboxDriver* driver() override { return atol_.get(); }
    void reconnectAfterFailure() override { atol_->disconnect(); }
    void reportProblem(const std::string& text) override { problems_.push_back(text); }

    void tick() {
        try {
            cycle_.runExchangeCycle();
        } catch (const std::exception& e) {
            shown_.push_back(e.what());
        }
    }

    std::vector<std::string> docStates() {
        std::vector<std::string> states;
        const Json snapshot = sandbox_.state().registerSnapshot(kSerial);
        for (const Json& doc : snapshot["docs"]) {
            states.push_back(doc["state"]);
        }
        return states;
    }

    test::TempDir dir_;
    test::ScopedEnv benchVariable_{"TILLHAVEN_EMULATOR_DIR", dir_.path().string()};
    sandbox::SandboxServer sandbox_;
    int port_;
    std::unique_ptr<AppSettings> settings_;
    AutomationRegistry registry_;
    std::unique_ptr<AtolDriver> atol_;
    RecordingDialogs dialogs_;
    DispatcherClient client_{dialogs_};
    TaskJournal journal_;
    CommandResults results_;
    ExchangeCycle cycle_{*this, client_, journal_, results_, dialogs_};
    std::vector<std::string> shown_;
    std::vector<std::string> problems_;
};

TEST_F(NativeExchange, QueuedDocumentsAreFiscalisedOnceReportedAndAcknowledged) {
    Json burst = Json::array({sandbox::DemoFeed::openShiftTask(), sandbox::DemoFeed::saleTask(1)});
    const auto ids = sandbox_.state().queueDocs(kSerial, burst);
    tick();
    EXPECT_EQ(journal_.selectChecks(kSerial, "completed").size(), ids.size());
    tick();
    tick();
    EXPECT_EQ(docStates(), std::vector<std::string>(ids.size(), "acked"));

    int fiscalised = 0;
    for (const Json& line : EmulatorBench(dir_.path()).logLines()) {
        fiscalised += line.contains("external_id") && !line.contains("error");
    }
    EXPECT_EQ(fiscalised, static_cast<int>(ids.size()));
    EXPECT_TRUE(shown_.empty()) << shown_.front();
    EXPECT_EQ(dialogs_.count(), 0u);
}

}  // namespace
}  // namespace th
