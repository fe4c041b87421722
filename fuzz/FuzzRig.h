// What the exchange fuzz targets share: a data directory with an emulated register on
// USB, a real journal file, settings pointing at a stand-in dispatcher on loopback that
// answers every "tasks" request like the service, and one exchange cycle over them. Built
// once per fuzzing process. A cycle that fails to build, send or handle its exchange takes
// the reconnection path, which aborts: every such failure is a finding.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzDir.h"
#include "cashbox/CommandResults.h"
#include "cashbox/ExchangeCycle.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "drivers/AtolDriver.h"
#include "emulator/RegisterBackends.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"
#include "support/LoopbackServer.h"

namespace th::fuzz {

inline constexpr const char* kSerial = "00106700000001";

// The service's side of an exchange: every document reported completed is acknowledged.
class StubDispatcher : public test::LoopbackServer {
public:
    StubDispatcher() {
        Post("/dispatcher/v1/tasks", [](const httplib::Request& request, httplib::Response& reply) {
            reply.set_content(dumpDispatcher(answerTo(request.body)), "application/json");
        });
        start();
    }

private:
    static Json answerTo(const std::string& body) {
        Json acked = Json::array();
        const std::optional<Json> request = parseJson(body);
        if (!request || !request->is_object() || !request->contains("completed"))
            std::abort();  // the client sent no "tasks" request worth the name
        for (const Json& entry : request->at("completed"))
            acked.push_back(entry.at("id"));
        return {
            {"status", 200},
            {"message", ""},
            {"data",
             {{"acked", std::move(acked)}, {"docs", Json::array()}, {"commands", Json::array()}}}};
    }
};

inline std::filesystem::path preparedDir(const char* name, const StubDispatcher& service) {
    const auto dir = makeWorkDir(name);
    writeFile(dir / "settings.ini", "[auth]\ntoken=fuzz\n[system]\nTestMode=1\nTestUrl=" +
                                        service.baseUrl() + "\nRegisterDriver=emulator\n");
    writeFile(dir / "emulator.json",
              R"({"registers": [{"serial": ")" + std::string(kSerial) + R"(", "port": "USB"}]})");
    createJournalFile(dir / kJournalFileName);
    return dir;
}

class ExchangeRig : public ExchangeHost {
public:
    explicit ExchangeRig(const char* name)
        : dir_(preparedDir(name, service_)),
          settings_(dir_),
          atol_(kSerial, registry()),
          client_(dialogs_),
          cycle_(*this, client_, journal_, results_, dialogs_) {
        client_.setSettings(&settings_);
        journal_.openJournal(dir_ / kJournalFileName);
        atol_.setComType("USB");
        atol_.connect();
        if (!atol_.checkConnected())
            std::abort();
    }

    std::string serialText() override { return kSerial; }
    std::string cashboxToken() override { return "fuzz-kkt"; }
    std::string driverName() override { return kAtolDriverName; }
    CashboxDriver* driver() override { return &atol_; }
    // The register is emulated and the service answers: nothing should ever fail.
    void reconnectAfterFailure() override { std::abort(); }
    void reportProblem(const std::string&) override {}

    ExchangeCycle& cycle() { return cycle_; }
    DispatcherClient& client() { return client_; }
    TaskJournal& journal() { return journal_; }
    CommandResults& results() { return results_; }
    RecordingDialogs& dialogs() { return dialogs_; }
    const std::filesystem::path& dir() const { return dir_; }

    // Keeps the files from growing over millions of runs: an empty table, no task log.
    void startAfresh() {
        runSql("delete from checks");
        std::error_code ec;
        std::filesystem::remove(dir_ / "emulator-log.jsonl", ec);
        results_.take();
        dialogs_.clear();
    }

    // Writes rows behind the journal's back, as another program or a damaged disk might.
    void runSql(const std::string& sql, const std::vector<std::string>& texts = {}) {
        sqlite3* db = nullptr;
        sqlite3_open_v2((dir_ / kJournalFileName).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            std::abort();
        for (size_t n = 0; n < texts.size(); ++n)
            sqlite3_bind_text(statement, static_cast<int>(n + 1), texts[n].data(),
                              static_cast<int>(texts[n].size()), SQLITE_TRANSIENT);
        if (sqlite3_step(statement) != SQLITE_DONE)
            std::abort();
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

private:
    AutomationRegistry& registry() {
        installRegisterBackend(registry_, "emulator", dir_);
        return registry_;
    }

    StubDispatcher service_;
    std::filesystem::path dir_;
    AppSettings settings_;
    AutomationRegistry registry_;
    AtolDriver atol_;
    RecordingDialogs dialogs_;
    DispatcherClient client_;
    TaskJournal journal_;
    CommandResults results_;
    ExchangeCycle cycle_;
};

}  // namespace th::fuzz
