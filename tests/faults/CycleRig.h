#pragma once

// One register's exchange cycle as a cashbox window runs it, in this process: the sandbox
// service, the emulated register behind the real ATOL driver, a real journal file. A
// failed exchange disconnects the register and the next tick connects it again, as the
// window's reconnection timer does.

#include <gtest/gtest.h>

#include "DemoFeed.h"
#include "FaultKit.h"
#include "cashbox/CommandResults.h"
#include "cashbox/ExchangeCycle.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "platform/ProblemLog.h"
#include "settings/AppSettings.h"

namespace th::faults {

// The register's driver with a hand that can act right after the register has answered.
class WatchedDriver : public CashboxDriver {
public:
    explicit WatchedDriver(CashboxDriver& real) : CashboxDriver(real.serial()), real_(real) {}

    void connect() override { real_.connect(); }
    void disconnect() override { real_.disconnect(); }
    std::string getVersion() override { return real_.getVersion(); }
    bool checkConnection() override { return real_.checkConnection(); }
    bool checkConnected() override { return real_.checkConnected(); }
    void onclose() override { real_.onclose(); }
    std::optional<Json> processJSON(const Json* data) override {
        auto answer = real_.processJSON(data);
        if (afterTask && data != nullptr)
            afterTask(*data);
        return answer;
    }

    std::function<void(const Json& task)> afterTask;

private:
    CashboxDriver& real_;
};

class CycleRig : public ExchangeHost {
public:
    explicit CycleRig(JournalOptions journalOptions = {})
        : sandbox_(sandboxOptions()),
          port_(sandbox_.start()),
          admin_(port_),
          settings_(prepared()),
          atol_(kSerial, backend()),
          reporting_([this](const std::string& text) { reportProblem(text); }),
          client_(reporting_),
          cycle_(*this, client_, journal_, results_, dialogs_),
          problemLog_(home_.file(ProblemLog::kFileName)) {
        client_.setSettings(&settings_);
        atol_.setComType("USB");
        atol_.connect();
        openJournal(journalOptions);
    }

    void openJournal(JournalOptions options = {}) {
        journal_.openJournal(home_.file(kJournalFileName), options);
    }

    std::string serialText() override { return kSerial; }
    std::string cashboxToken() override { return kRegisterToken; }
    std::string driverName() override { return kAtolDriverName; }
    CashboxDriver* driver() override { return &watched_; }
    void reconnectAfterFailure() override {
        ++reconnects_;
        atol_.disconnect();
    }
    // As a register's worker does: the problem is logged, and notified when it is new.
    void reportProblem(const std::string& text) override {
        problems.push_back(text);
        if (problemLog_.report(kSerial, text))
            ++notifications;
    }
    void exchangeSucceeded() override { problemLog_.registerRecovered(kSerial); }
    // What the cycle and the register's client reported without a box, in order, and how
    // many of those reports a merchant would have been notified of.
    std::vector<std::string> problems;
    int notifications = 0;

    // One timer tick; an error that ends the cycle is kept in `shown` and reported.
    void tick() {
        if (!atol_.checkConnected())
            atol_.connect();
        try {
            cycle_.runExchangeCycle();
        } catch (const std::exception& e) {
            shown.push_back(e.what());
            reportProblem(e.what());
        }
    }

    // Ticks until the sandbox has acknowledged every document it was given; false when a
    // generous number of ticks did not do it.
    bool drain(int ticks = 12) {
        for (int n = 0; n < ticks; ++n) {
            if (admin_.docsIn("acked").size() == queued_.size())
                return true;
            tick();
        }
        return admin_.docsIn("acked").size() == queued_.size();
    }

    std::vector<std::string> queueSales(int count) {
        Json batch = Json::array();
        for (int n = 0; n < count; ++n) {
            batch.push_back(sales_ == 0 ? sandbox::DemoFeed::openShiftTask()
                                        : sandbox::DemoFeed::saleTask(sales_));
            ++sales_;
        }
        auto ids = admin_.queueDocs(batch);
        queued_.insert(queued_.end(), ids.begin(), ids.end());
        return ids;
    }

    // Documents queued so far that the register has not fiscalised exactly once.
    std::vector<std::string> notFiscalisedOnce() {
        const auto count = fiscalisations(home_.path());
        std::vector<std::string> wrong;
        for (const std::string& id : queued_) {
            const auto found = count.find(id);
            if (found == count.end() || found->second != 1)
                wrong.push_back(id);
        }
        return wrong;
    }

    size_t rowsIn(const std::string& status) {
        return journal_.selectChecks(kSerial, status).size();
    }

    test::TempDir home_;
    sandbox::SandboxServer sandbox_;
    int port_;
    SandboxAdmin admin_;
    AppSettings settings_;
    AutomationRegistry registry_;
    AtolDriver atol_;
    WatchedDriver watched_{atol_};
    RecordingDialogs dialogs_;
    ReportingDialogs reporting_;
    DispatcherClient client_;
    TaskJournal journal_;
    CommandResults results_;
    ExchangeCycle cycle_;
    ProblemLog problemLog_;
    std::vector<std::string> shown;
    int reconnects_ = 0;

private:
    const std::filesystem::path& prepared() {
        prepareHome(home_, port_);
        return home_.path();
    }
    AutomationRegistry& backend() {
        installRegisterBackend(registry_, "emulator", home_.path());
        return registry_;
    }

    std::vector<std::string> queued_;
    int sales_ = 0;
};

}  // namespace th::faults
