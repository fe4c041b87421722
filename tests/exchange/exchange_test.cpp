// The exchange cycle against a small dispatcher service on 127.0.0.1, a real journal file
// and an in-test register.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include "support/LoopbackServer.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "cashbox/CommandResults.h"
#include "cashbox/ExchangeCycle.h"
#include "cashbox/TaskJournal.h"
#include "dispatcher/DispatcherClient.h"
#include "dispatcher/Messages.h"
#include "drivers/CashboxDriver.h"
#include "platform/Dialogs.h"
#include "settings/AppSettings.h"

namespace fs = std::filesystem;
using namespace th;
using th::test::LoopbackServer;

namespace {

// Plays the service's "tasks" command: hands out queued documents and commands once,
// acknowledges every completed document it is told about, and records each request. A
// scripted reply replaces the next answer.
class FakeService {
public:
    struct Reply {
        int httpStatus;
        std::string body;
    };

    FakeService() {
        server_.Post("/dispatcher/v1/tasks",
                     [this](const httplib::Request& req, httplib::Response& res) {
                         std::lock_guard lock(mutex_);
                         requests_.push_back(Json::parse(req.body));
                         if (!scripted_.empty()) {
                             res.status = scripted_.front().httpStatus;
                             res.set_content(scripted_.front().body, "application/json");
                             scripted_.pop_front();
                             return;
                         }
                         res.set_content(dumpCompact(answer(requests_.back())), "application/json");
                     });
        port_ = server_.start();
    }
    ~FakeService() { server_.shutdown(); }

    std::string baseUrl() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/dispatcher/v1";
    }
    void queueDocument(const Json& document) {
        std::lock_guard lock(mutex_);
        docs_.push_back(document);
    }
    void queueCommand(const Json& command) {
        std::lock_guard lock(mutex_);
        commands_.push_back(command);
    }
    void script(Reply reply) {
        std::lock_guard lock(mutex_);
        scripted_.push_back(std::move(reply));
    }
    std::vector<Json> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    Json lastRequest() const {
        std::lock_guard lock(mutex_);
        return requests_.empty() ? Json() : requests_.back();
    }

private:
    Json answer(const Json& request) {
        Json acked = Json::array();
        for (const Json& entry : request["completed"])
            acked.push_back(entry["id"]);
        Json data = {{"acked", acked}, {"docs", docs_}, {"commands", commands_}};
        docs_ = Json::array();
        commands_ = Json::array();
        return {{"status", 200}, {"data", data}};
    }

    LoopbackServer server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Json> requests_;
    std::deque<Reply> scripted_;
    Json docs_ = Json::array();
    Json commands_ = Json::array();
};

// A register that answers every task with its type and a running number, except the task
// types told to stay silent; records every task it is given.
class FakeRegister : public CashboxDriver {
public:
    using CashboxDriver::CashboxDriver;

    void connect() override { connected_ = true; }
    void disconnect() override { connected_ = false; }
    std::string getVersion() override { return "test"; }
    bool checkConnection() override { return connected_; }
    bool checkConnected() override { return connected_; }
    void onclose() override {}
    std::optional<Json> processJSON(const Json* data) override {
        if (!connected_ || data == nullptr)
            return std::nullopt;
        tasks.push_back(*data);
        if (onTask)
            onTask(*data);
        const std::string type = data->value("type", "");
        if (silentTypes.count(type))
            return std::nullopt;
        if (refuse && isFiscalDocument(*data))
            if (std::optional<Json> refusal = refuse(*data))
                return refusal;
        if (type == "getDeviceStatus" && deviceStatus)
            return deviceStatus;
        if (type == "getFnStatus")
            return fnStatus;
        if (type == "getLastFiscalParams")
            return lastParams;
        Json answer = {{"answered", type}, {"number", ++answers_}};
        if (isFiscalDocument(*data)) {
            lastParams = {{"fiscalParams", {{"fiscalDocumentNumber", ++fiscalNumber}}}};
            if (data->contains("total"))
                lastParams["fiscalParams"]["total"] = (*data)["total"];
            fnStatus = Json{{"fnStatus", {{"fiscalDocumentNumber", fiscalNumber}}}};
            answer["fiscalParams"] = lastParams["fiscalParams"];
            // The register made the document; its answer is lost on the way back.
            if (loseAnswers > 0) {
                --loseAnswers;
                return std::nullopt;
            }
        }
        return answer;
    }

    // Sets the register's count of fiscal documents, as another program's work would.
    void setFiscalNumber(std::int64_t number) {
        fiscalNumber = number;
        fnStatus = Json{{"fnStatus", {{"fiscalDocumentNumber", number}}}};
    }

    // The tasks of a given type (or with a given "external_id") it was handed.
    size_t countOf(const std::string& type) const {
        return std::count_if(tasks.begin(), tasks.end(),
                             [&](const Json& t) { return t.value("type", "") == type; });
    }
    std::vector<std::string> typesOtherThanState() const {
        std::vector<std::string> out;
        for (const Json& t : tasks) {
            const std::string type = t.value("type", "");
            if (!stateReads.count(type))
                out.push_back(type);
        }
        return out;
    }

    // Tasks that only read the register's state.
    const std::set<std::string> stateReads = {"getShiftStatus", "ofdExchangeStatus",
                                              "getShiftTotals", "getFnStatus",
                                              "getLastFiscalParams"};
    std::vector<Json> tasks;
    std::set<std::string> silentTypes;
    std::int64_t fiscalNumber = 1;
    Json fnStatus = Json{{"fnStatus", {{"fiscalDocumentNumber", 1}}}};
    Json lastParams = Json{{"fiscalParams", {{"fiscalDocumentNumber", 1}}}};
    int loseAnswers = 0;
    std::function<void(const Json&)> onTask;
    // Answers a fiscal document in the register's stead when it gives a value: the document
    // is then not made, unless the hook makes it (moves the count) itself.
    std::function<std::optional<Json>(const Json& task)> refuse;
    // The answer to "getDeviceStatus", when set.
    std::optional<Json> deviceStatus;

private:
    bool connected_ = true;
    int answers_ = 0;
};

// The part of a cashbox window that the cycle sees.
struct Window : ExchangeHost {
    Window(const std::string& serial, AppSettings& settings, IDialogs& dialogs,
           const fs::path& journalPath, CommandResults& results, int busyTimeoutMs)
        : serial(serial),
          reg(serial),
          client(dialogs),
          cycle(*this, client, journal, results, dialogs) {
        client.setSettings(&settings);
        journal.openJournal(journalPath, {busyTimeoutMs});
    }
    std::string serialText() override { return serial; }
    std::string cashboxToken() override { return "token-" + serial; }
    std::string driverName() override { return "Атол"; }
    CashboxDriver* driver() override { return &reg; }
    void reconnectAfterFailure() override {
        ++reconnects;
        reg.disconnect();
    }
    void reportProblem(const std::string& text) override { problems.push_back(text); }
    std::vector<std::string> problems;

    std::string serial;
    FakeRegister reg;
    DispatcherClient client;
    TaskJournal journal;
    ExchangeCycle cycle;
    int reconnects = 0;
};

Json sell(const Json& externalId) {
    return {{"type", "sell"}, {"external_id", externalId}, {"items", Json::array({"bread"})}};
}

std::vector<std::string> ids(const std::vector<CheckRow>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows)
        out.push_back(row.orig_id);
    return out;
}

void replaceOnce(std::string& text, const std::string& token, const std::string& by) {
    if (const auto at = text.find(token); at != std::string::npos)
        text.replace(at, token.size(), by);
}

// A dialogs service whose boxes run a hook, as a real box runs the event loop.
class HookedDialogs : public RecordingDialogs {
public:
    std::function<void()> onShow;
    void show(BoxKind kind, const std::string& text) override {
        RecordingDialogs::show(kind, text);
        if (onShow)
            onShow();
    }
};

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("th_exchange_" + std::to_string(getpid()) + "_" +
                                            std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "settings.ini")
            << "[system]\nTestMode=1\nTestUrl=" << service.baseUrl() << "\n";
        settings = std::make_unique<AppSettings>(dir_);
        createJournalFile(dir_ / "checks.db");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<Window> window(const std::string& serial, int busyTimeoutMs = 5000) {
        return std::make_unique<Window>(serial, *settings, dialogs, dir_ / "checks.db", results,
                                        busyTimeoutMs);
    }

    FakeService service;
    fs::path dir_;
    std::unique_ptr<AppSettings> settings;
    HookedDialogs dialogs;
    CommandResults results;
};

TEST_F(ExchangeTest, WithNothingPendingTheRequestCarriesStateAndEmptyLists) {
    auto w = window("K1");
    w->cycle.runExchangeCycle();

    const Json request = service.lastRequest();
    std::vector<std::string> members;
    for (auto it = request.begin(); it != request.end(); ++it)
        members.push_back(it.key());
    EXPECT_EQ(members, (std::vector<std::string>{"Serial", "Token", "Driver", "Shift", "Ofd",
                                                 "Totals", "commands", "received", "completed"}));
    EXPECT_EQ(request["Serial"], "K1");
    EXPECT_EQ(request["Token"], "token-K1");
    EXPECT_EQ(request["Driver"], "Атол");
    EXPECT_EQ(request["Shift"]["answered"], "getShiftStatus");
    EXPECT_EQ(request["Ofd"]["answered"], "ofdExchangeStatus");
    EXPECT_EQ(request["Totals"]["answered"], "getShiftTotals");
    EXPECT_EQ(request["commands"], Json::array());
    EXPECT_EQ(request["received"], Json::array());
    EXPECT_EQ(request["completed"], Json::array());
    EXPECT_EQ(w->reconnects, 0);
}

TEST_F(ExchangeTest, ADocumentIsExecutedOnceReportedAndAcknowledged) {
    auto w = window("K1");
    service.queueDocument(sell(17));

    w->cycle.runExchangeCycle();  // stored, executed and completed in the same cycle
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    auto completed = w->journal.selectChecks("K1", "completed");
    ASSERT_EQ(ids(completed), std::vector<std::string>{"17"});
    EXPECT_EQ(Json::parse(completed[0].response)["answered"], "sell");

    w->cycle.runExchangeCycle();  // reported with its answer, then acknowledged
    const Json report = service.lastRequest();
    ASSERT_EQ(report["completed"].size(), 1u);
    EXPECT_EQ(report["completed"][0]["id"], "17");
    EXPECT_EQ(report["completed"][0]["response"], Json::parse(completed[0].response));
    EXPECT_EQ(report["received"], Json::array());
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "acked")), std::vector<std::string>{"17"});

    w->cycle.runExchangeCycle();
    EXPECT_EQ(service.lastRequest()["completed"], Json::array());
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
}

TEST_F(ExchangeTest, AnUnansweredDocumentIsOfferedEveryCycle) {
    auto w = window("K1");
    w->reg.silentTypes = {"sell"};
    service.queueDocument(sell("a"));
    for (int cycle = 0; cycle < 3; ++cycle)
        w->cycle.runExchangeCycle();

    EXPECT_EQ(w->reg.countOf("sell"), 3u);
    const auto requests = service.requests();
    EXPECT_EQ(requests[1]["received"], Json::array({"a"}));
    EXPECT_EQ(requests[2]["received"], Json::array({"a"}));
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "added")), std::vector<std::string>{"a"});
}

TEST_F(ExchangeTest, CommandsRunBeforeDocumentsAndTheirResultsWait) {
    auto w = window("K1");
    service.queueDocument(sell("d1"));
    service.queueCommand({{"id", 5}, {"payload", {{"type", "printText"}}}});
    service.queueCommand({{"payload", {{"type", "openDrawer"}}}});
    service.queueCommand({{"id", "c3"}});
    w->cycle.runExchangeCycle();

    EXPECT_EQ(w->reg.typesOtherThanState(),
              (std::vector<std::string>{"printText", "openDrawer", "sell"}));
    const Json waiting = results.snapshot();
    ASSERT_EQ(waiting.size(), 3u);
    EXPECT_EQ(waiting[0]["id"], 5);
    EXPECT_EQ(waiting[0]["result"]["answered"], "printText");
    EXPECT_FALSE(waiting[1].contains("id"));
    EXPECT_EQ(waiting[1]["result"]["answered"], "openDrawer");
    EXPECT_EQ(waiting[2], Json({{"id", "c3"}}));
}

TEST_F(ExchangeTest, ACommandResultLeavesWithTheNextRequestOfAnyWindow) {
    auto a = window("A");
    auto b = window("B");
    service.queueCommand({{"id", 1}, {"payload", {{"type", "printText"}}}});
    a->cycle.runExchangeCycle();
    ASSERT_EQ(results.size(), 1u);

    b->cycle.runExchangeCycle();
    const Json fromB = service.lastRequest();
    EXPECT_EQ(fromB["Serial"], "B");
    EXPECT_EQ(fromB["Token"], "token-B");
    ASSERT_EQ(fromB["commands"].size(), 1u);
    EXPECT_EQ(fromB["commands"][0]["id"], 1);
    EXPECT_EQ(results.size(), 0u);

    a->cycle.runExchangeCycle();
    EXPECT_EQ(service.lastRequest()["commands"], Json::array());
}

TEST_F(ExchangeTest, AFailedOrRefusedRequestLosesNoCommandResult) {
    struct Case {
        const char* name;
        FakeService::Reply reply;
        bool reconnects;
    };
    const Case cases[] = {
        {"server error", {503, "{}"}, true},
        {"unreadable answer", {200, "<html>"}, true},
        {"refused by the service", {401, R"({"status":401,"message":"bad token"})"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto w = window("K1");
        results.append({{"id", "old"}});
        service.script(c.reply);
        w->cycle.runExchangeCycle();
        EXPECT_EQ(service.lastRequest()["commands"], Json::array({{{"id", "old"}}}));
        EXPECT_EQ(w->reconnects, c.reconnects ? 1 : 0);

        results.append({{"id", "new"}});
        w->reg.connect();
        w->cycle.runExchangeCycle();
        EXPECT_EQ(service.lastRequest()["commands"],
                  Json::array({{{"id", "old"}}, {{"id", "new"}}}));
        EXPECT_EQ(results.size(), 0u);
    }
}

// The list as a start after a crash finds it in the journal.
Json restoredResults(const fs::path& journal) {
    CommandResults restarted;
    restarted.keepIn(journal);
    return restarted.snapshot();
}

TEST_F(ExchangeTest, CommandResultsWaitInTheJournalUntilARequestCarryingThemSucceeds) {
    results.keepIn(dir_ / "checks.db");
    auto w = window("K1");
    results.append({{"id", "a"}});
    results.append({{"id", "b"}, {"result", {{"ok", true}}}});
    const Json both = Json::array({{{"id", "a"}}, {{"id", "b"}, {"result", {{"ok", true}}}}});
    EXPECT_EQ(restoredResults(dir_ / "checks.db"), both);

    service.script({503, "{}"});
    w->cycle.runExchangeCycle();
    EXPECT_EQ(service.lastRequest()["commands"], both);
    EXPECT_EQ(restoredResults(dir_ / "checks.db"), both) << "kept once each, in order";

    w->reg.connect();
    w->cycle.runExchangeCycle();
    EXPECT_EQ(service.lastRequest()["commands"], both);
    EXPECT_EQ(restoredResults(dir_ / "checks.db"), Json::array());
}

// Entries made while the journal cannot be used wait in memory and are written once it can.
TEST_F(ExchangeTest, CommandResultsMadeWithoutAUsableJournalAreWrittenWhenItIsBack) {
    CommandResults early;
    early.keepIn(dir_ / "later.db");
    early.append({{"id", 1}});
    createJournalFile(dir_ / "later.db");
    early.append({{"id", 2}});
    EXPECT_EQ(restoredResults(dir_ / "later.db"), Json::array({{{"id", 1}}, {{"id", 2}}}));
}

TEST_F(ExchangeTest, ADocumentSentAgainIsExecutedOnce) {
    auto w = window("K1");
    service.queueDocument(sell("r"));
    w->cycle.runExchangeCycle();
    service.queueDocument(sell("r"));  // again while completed and not yet acknowledged
    w->cycle.runExchangeCycle();
    service.queueDocument(sell("r"));  // and after the acknowledgement
    w->cycle.runExchangeCycle();

    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "acked")), std::vector<std::string>{"r"});
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_TRUE(w->problems.empty());
}

TEST_F(ExchangeTest, AnAnswerWithoutItsThreeListsTakesTheReconnectionPath) {
    const char* datas[] = {
        R"({"acked":"x","docs":[DOC],"commands":[CMD]})",
        R"({"acked":["p"],"docs":{},"commands":[CMD]})",
        R"({"acked":["p"],"docs":[DOC],"commands":"none"})",
        R"({"acked":["p"],"docs":[DOC]})",
    };
    for (const char* data : datas) {
        SCOPED_TRACE(data);
        fs::remove(dir_ / "checks.db");
        fs::remove(dir_ / "checks.db-wal");
        fs::remove(dir_ / "checks.db-shm");
        createJournalFile(dir_ / "checks.db");
        auto w = window("K1");
        w->journal.insertCheck("K1", sell("p"));
        w->journal.completeCheck("completed", "{}", "K1", "p");

        std::string body = std::string(R"({"status":200,"data":)") + data + "}";
        replaceOnce(body, "DOC", dumpCompact(sell("new")));
        replaceOnce(body, "CMD", R"({"id":1,"payload":{"type":"printText"}})");
        service.script({200, body});
        w->cycle.runExchangeCycle();

        EXPECT_EQ(w->reconnects, 1);
        EXPECT_EQ(ids(w->journal.selectChecks("K1", "completed")), std::vector<std::string>{"p"});
        EXPECT_TRUE(w->journal.selectChecks("K1", "added").empty());
        EXPECT_EQ(results.size(), 0u);
        EXPECT_EQ(w->reg.typesOtherThanState(), std::vector<std::string>{});
    }
}

TEST_F(ExchangeTest, AnUnansweredStateTaskStopsTheCycleBeforeTheRequest) {
    auto w = window("K1");
    w->reg.silentTypes = {"ofdExchangeStatus"};
    results.append({{"id", 9}});
    try {
        w->cycle.runExchangeCycle();
        FAIL() << "the cycle went on without the register";
    } catch (const ExchangeError& e) {
        EXPECT_STREQ(e.what(), "Нет связи с кассой");
    }
    EXPECT_EQ(w->reg.countOf("getShiftTotals"), 1u);  // all three ran first
    EXPECT_EQ(w->reconnects, 1);
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(ExchangeTest, AnUnreadableJournalStopsTheCycleBeforeTheRequest) {
    auto w = window("K1");
    fs::path missing = dir_ / "missing.db";
    EXPECT_THROW(w->journal.openJournal(missing), JournalError);
    results.append({{"id", 9}});
    EXPECT_THROW(w->cycle.runExchangeCycle(), JournalError);
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(results.size(), 1u);
}

// Every document that cannot be stored is reported in one form: the error's class name,
// " ошибка с сообщением : " and the reason, which names the document.
TEST_F(ExchangeTest, EveryBadDocumentIsReportedInOneFormWithoutABox) {
    struct Case {
        const char* name;
        Json document;
        const char* reason;
    };
    const Case cases[] = {
        {"not an object", "sell",
         "Сервис прислал документ, который не является объектом: \"sell\""},
        {"without an id", {{"type", "sell"}}, "Сервис прислал документ без \"external_id\""},
        {"an id that is no integer",
         {{"type", "sell"}, {"external_id", 2.5}},
         "Сервис прислал документ с недопустимым \"external_id\": 2.5"},
        {"without a type",
         {{"external_id", "t"}},
         "Документ t не принят: В документе нет \"type\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto w = window(std::string("K-") + c.name);
        service.queueDocument(c.document);
        service.queueDocument(sell("good"));
        w->cycle.runExchangeCycle();

        EXPECT_EQ(w->problems,
                  std::vector<std::string>{
                      std::string("JournalDocumentError ошибка с сообщением : ") + c.reason});
        EXPECT_EQ(dialogs.count(), 0u);
        EXPECT_EQ(w->reg.typesOtherThanState(), std::vector<std::string>{"sell"});
        EXPECT_EQ(w->reconnects, 0);
    }
}

// The refusals recorded in the journal: (orig_id, reason) per row.
std::vector<std::pair<std::string, std::string>> refusals(const fs::path& journal,
                                                          const std::string& serial) {
    sqlite3* db = nullptr;
    std::vector<std::pair<std::string, std::string>> rows;
    sqlite3_open(journal.c_str(), &db);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db,
                       "select orig_id, reason, refused_at, hidden from checks_refused"
                       " where serial = ?1 order by rowid",
                       -1, &select, nullptr);
    sqlite3_bind_text(select, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(select) == SQLITE_ROW) {
        const std::string at = reinterpret_cast<const char*>(sqlite3_column_text(select, 2));
        EXPECT_EQ(at.size(), 20u) << at;  // YYYY-MM-DDTHH:MM:SSZ
        EXPECT_EQ(sqlite3_column_int(select, 3), 0);
        rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)),
                          reinterpret_cast<const char*>(sqlite3_column_text(select, 1)));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return rows;
}

// An answer holding one document that cannot be read: the good documents beside it print
// once, the acknowledgement and the command are handled, and the bad one is refused alone:
// stored completed with its reason (so the next request tells the service), recorded and
// reported once, however often the service sends it again.
TEST_F(ExchangeTest, AnUnreadableDocumentIsRefusedAloneAndTheRestOfTheAnswerHandled) {
    struct Case {
        const char* name;
        std::string document;
        const char* reason;
    };
    const Case cases[] = {
        {"a number beyond a double", R"({"type":"sell","external_id":"bad","total":1e999})",
         kDocumentNumberOutOfRange},
        {"invalid UTF-8", "{\"type\":\"sell\",\"external_id\":\"bad\",\"name\":\"\xC3\x28\"}",
         kDocumentInvalidUtf8},
        {"nesting 100,000 deep",
         R"({"type":"sell","external_id":"bad","x":)" + std::string(100000, '[') +
             std::string(100000, ']') + "}",
         kDocumentTooDeep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string serial = std::string("K-") + c.name;
        auto w = window(serial);
        w->journal.insertCheck(serial, sell("p"));
        w->journal.completeCheck("completed", "{}", serial, "p");
        const std::string body = R"({"status":200,"data":{"acked":["p"],"docs":[)" +
                                 dumpCompact(sell("g1")) + "," + c.document + "," +
                                 dumpCompact(sell("g2")) +
                                 R"(],"commands":[{"id":5,"payload":{"type":"printText"}}]}})";
        const size_t first = service.requests().size();
        service.script({200, body});
        w->cycle.runExchangeCycle();

        EXPECT_EQ(w->reconnects, 0);
        EXPECT_EQ(w->reg.typesOtherThanState(),
                  (std::vector<std::string>{"printText", "sell", "sell"}));
        EXPECT_EQ(ids(w->journal.selectChecks(serial, "acked")), std::vector<std::string>{"p"});
        const std::string message =
            std::string("JournalDocumentError ошибка с сообщением : Документ bad не принят: ") +
            c.reason;
        EXPECT_EQ(w->problems, std::vector<std::string>{message});
        const std::optional<CheckRow> row = w->journal.findCheck(serial, "bad");
        ASSERT_TRUE(row);
        EXPECT_EQ(row->status, "completed");
        EXPECT_EQ(Json::parse(row->response), Json({{"error", c.reason}}));
        EXPECT_EQ(refusals(dir_ / "checks.db", serial),
                  (std::vector<std::pair<std::string, std::string>>{{"bad", c.reason}}));

        // Sent again before the service heard of it: nothing new; then it is reported.
        service.script({200, body});
        w->cycle.runExchangeCycle();
        w->cycle.runExchangeCycle();
        EXPECT_EQ(w->problems.size(), 1u);
        EXPECT_EQ(w->reg.countOf("sell"), 2u);
        EXPECT_EQ(refusals(dir_ / "checks.db", serial).size(), 1u);
        EXPECT_EQ(ids(w->journal.selectChecks(serial, "acked")),
                  (std::vector<std::string>{"p", "g1", "g2", "bad"}));
        const Json reported = service.requests()[first + 1]["completed"];
        ASSERT_EQ(reported.size(), 3u);
        EXPECT_EQ(reported[2], Json({{"id", "bad"}, {"response", {{"error", c.reason}}}}));
    }
}

// Without a usable id nothing can tell the service: the document is reported once per run
// and the rest of the answer is handled.
TEST_F(ExchangeTest, AnUnreadableDocumentWithoutAnIdIsReportedOnce) {
    auto w = window("K1");
    const std::string body = R"({"status":200,"data":{"acked":[],"docs":[)" +
                             std::string(100000, '[') + std::string(100000, ']') + "," +
                             dumpCompact(sell("g")) + R"(],"commands":[]}})";
    service.script({200, body});
    service.script({200, body});
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->problems,
              std::vector<std::string>{
                  std::string("JournalDocumentError ошибка с сообщением : Документ №1 ответа без "
                              "читаемого \"external_id\" не принят: ") +
                  kDocumentTooDeep});
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_TRUE(refusals(dir_ / "checks.db", "K1").empty());
}

// Another document under an id the register already has: its row stays as it is, the new
// one is recorded and reported once; the same document sent again is silently fine.
TEST_F(ExchangeTest, ADifferentDocumentUnderAUsedIdIsReportedOnce) {
    auto w = window("K1");
    service.queueDocument(sell("r"));
    w->cycle.runExchangeCycle();
    service.queueDocument(sell("r"));  // the same, members in another order
    service.queueDocument(
        {{"items", Json::array({"bread"})}, {"external_id", "r"}, {"type", "sell"}});
    w->cycle.runExchangeCycle();
    EXPECT_TRUE(w->problems.empty());

    const Json changed = {{"type", "sell"}, {"external_id", "r"}, {"items", Json::array({"cake"})}};
    for (int n = 0; n < 3; ++n) {
        service.queueDocument(changed);
        w->cycle.runExchangeCycle();
    }
    EXPECT_EQ(w->problems,
              std::vector<std::string>{"JournalDocumentError ошибка с сообщением : Документ r не "
                                       "принят: под этим \"external_id\" в журнале уже есть другой "
                                       "документ"});
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_EQ(Json::parse(w->journal.findCheck("K1", "r")->data), sell("r"));
    EXPECT_EQ(refusals(dir_ / "checks.db", "K1").size(), 1u);
}

// A pass past its time takes no new document (one it always takes), and the next cycle
// reports what was done and goes on.
TEST_F(ExchangeTest, APassPastItsTimeStopsAndTheNextCycleGoesOn) {
    auto w = window("K1");
    w->cycle.setExecutionBudget(std::chrono::milliseconds(0));
    for (const char* id : {"a", "b", "c"})
        service.queueDocument(sell(id));
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    w->cycle.runExchangeCycle();
    EXPECT_EQ(service.lastRequest()["completed"].size(), 1u);
    EXPECT_EQ(service.lastRequest()["received"], Json::array({"b", "c"}));
    EXPECT_EQ(w->reg.countOf("sell"), 2u);
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 3u);
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "acked")),
              (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ExchangeTest, AnAnswerTheJournalCouldNotKeepIsNeverExecutedAgain) {
    auto w = window("K1", 50);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "checks.db").c_str(), &other), SQLITE_OK);
    w->reg.onTask = [&](const Json& task) {
        if (task.value("type", "") == "sell")  // another connection writes meanwhile
            sqlite3_exec(other, "begin immediate", nullptr, nullptr, nullptr);
    };
    service.queueDocument(sell("s"));
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();  // still locked: the exchange goes on, the sale waits
    EXPECT_EQ(service.requests().size(), 2u);
    EXPECT_EQ(service.lastRequest()["received"], Json::array({"s"}));
    EXPECT_EQ(w->problems.size(), 2u);
    EXPECT_TRUE(w->cycle.hasPending());

    sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    w->cycle.runExchangeCycle();
    const Json report = service.lastRequest()["completed"];
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0]["id"], "s");
    EXPECT_EQ(report[0]["response"]["answered"], "sell");
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_FALSE(w->cycle.hasPending());
    EXPECT_TRUE(w->journal.inFlightMarks("K1").empty());
}

TEST_F(ExchangeTest, RowsThatAreNotJsonAreReportedButNeverExecuted) {
    auto w = window("K1");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "checks.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "insert into checks values ('K1','bad','sell','{not json','added','');"
                           "insert into checks values ('K1','c','sell','{}','completed','<html>');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    service.script({200, R"({"status":200,"data":{"acked":[],"docs":[],"commands":[]}})"});
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();

    const Json request = service.lastRequest();
    EXPECT_EQ(request["received"], Json::array({"bad"}));
    EXPECT_EQ(request["completed"], Json::array({{{"id", "c"}}}));
    EXPECT_EQ(w->reg.typesOtherThanState(), std::vector<std::string>{});
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "added")), std::vector<std::string>{"bad"});
}

// ---- a receipt is printed once ---------------------------------------------------------

TEST_F(ExchangeTest, ASaleWhoseAnswerIsLostIsCompletedFromTheRegistersRecordNotPrintedAgain) {
    auto w = window("K1");
    w->reg.loseAnswers = 1;
    service.queueDocument(sell("s"));
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->journal.inFlightMarks("K1").size(), 1u);
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();

    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_TRUE(w->journal.inFlightMarks("K1").empty());
    const std::vector<CheckRow> acked = w->journal.selectChecks("K1", "acked");
    ASSERT_EQ(acked.size(), 1u);
    EXPECT_EQ(Json::parse(acked[0].response),
              Json::parse(R"({"fiscalParams":{"fiscalDocumentNumber":2},"recovered":true})"));
    EXPECT_TRUE(w->problems.empty());
}

TEST_F(ExchangeTest, OneCountIsReadPerPassAndFollowedFromEachAnswer) {
    auto w = window("K1");
    for (const char* id : {"a", "b", "c"})
        service.queueDocument(sell(id));
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("getFnStatus"), 1u);
    EXPECT_EQ(w->reg.countOf("sell"), 3u);
    EXPECT_EQ(w->journal.selectChecks("K1", "completed").size(), 3u);
}

// A sale of 100 was marked with the register at fiscal document 5; the cycle after a
// restart finds the register as each case says.
struct MarkedSaleCase {
    const char* name;
    Json fnStatus;
    Json lastParams;
    bool printedNow;       // the sale goes to the register in this cycle
    Json recoveredAnswer;  // the completed row's response, null when not completed
};

const MarkedSaleCase kMarkedSaleCases[] = {
    {"count unchanged: not made", R"({"fnStatus":{"fiscalDocumentNumber":5}})"_json, nullptr, true,
     nullptr},
    {"one more and the last document is this sale",
     R"({"fnStatus":{"fiscalDocumentNumber":6}})"_json,
     R"({"fiscalParams":{"fiscalDocumentNumber":6,"fiscalReceiptNumber":3,"total":100}})"_json,
     false,
     R"({"fiscalParams":{"fiscalDocumentNumber":6,"fiscalReceiptNumber":3,"total":100},"recovered":true})"_json},
    {"one more, last fiscal parameters not offered",
     R"({"fnStatus":{"fiscalDocumentNumber":6}})"_json,
     R"({"error":"51 [неизвестное задание]"})"_json, false,
     R"({"fiscalParams":{"fiscalDocumentNumber":6},"recovered":true})"_json},
    {"one more but it is a shift closing", R"({"fnStatus":{"fiscalDocumentNumber":6}})"_json,
     R"({"fiscalParams":{"fiscalDocumentNumber":6,"fiscalDocumentSign":"1","shiftNumber":2}})"_json,
     false, nullptr},
    {"one more but another total", R"({"fnStatus":{"fiscalDocumentNumber":6}})"_json,
     R"({"fiscalParams":{"fiscalDocumentNumber":6,"fiscalReceiptNumber":3,"total":50}})"_json,
     false, nullptr},
    {"two more", R"({"fnStatus":{"fiscalDocumentNumber":7}})"_json, nullptr, false, nullptr},
    {"count unreadable", R"({"error":"51 [неизвестное задание]"})"_json, nullptr, false, nullptr},
};

TEST_F(ExchangeTest, AMarkedSaleIsSettledByTheRegistersCountBeforeAnythingElse) {
    for (const MarkedSaleCase& c : kMarkedSaleCases) {
        SCOPED_TRACE(c.name);
        const std::string serial = std::string("K-") + c.name;
        auto w = window(serial);
        const Json sale = {{"type", "sell"}, {"external_id", "s"}, {"total", 100}};
        w->journal.insertCheck(serial, sale);
        w->journal.markInFlight({serial, "s", 5});
        w->reg.fnStatus = c.fnStatus;
        w->reg.fiscalNumber = 7;
        w->reg.lastParams = c.lastParams;
        service.script({200, R"({"status":200,"data":{"acked":[],"docs":[],"commands":[]}})"});
        w->cycle.runExchangeCycle();
        w->cycle.runExchangeCycle();  // a doubtful sale is reported once, never run

        EXPECT_EQ(w->reg.countOf("sell"), c.printedNow ? 1u : 0u);
        const bool doubtful = !c.printedNow && c.recoveredAnswer.is_null();
        EXPECT_EQ(w->problems.size(), doubtful ? 1u : 0u);
        if (doubtful) {
            EXPECT_NE(w->problems[0].find("проверьте последние документы кассы"),
                      std::string::npos);
            EXPECT_NE(w->problems[0].find(serial), std::string::npos);
            EXPECT_EQ(service.lastRequest()["received"], Json::array({"s"}));
            EXPECT_EQ(w->journal.inFlightMarks(serial).size(), 1u);
        } else {
            EXPECT_TRUE(w->journal.inFlightMarks(serial).empty());
        }
        const std::optional<CheckRow> row = w->journal.findCheck(serial, "s");
        ASSERT_TRUE(row);
        if (!c.recoveredAnswer.is_null()) {
            EXPECT_EQ(Json::parse(row->response), c.recoveredAnswer);
        }
    }
}

// A sale of 100 is refused with an error while the register stood at fiscal document 1;
// its count, read right after, decides what the service hears.
struct RefusedSaleCase {
    const char* name;
    const char* error;
    std::function<void(FakeRegister&)> afterRefusal;  // what else the register did meanwhile
    Json completedWith;                               // the row's response; null: not completed
    bool doubtfulReported;
};

Json refusal(const char* error) {
    return {{"error", error}};
}

const Json kMadeSale = R"({"fiscalParams":{"fiscalDocumentNumber":2,"total":100}})"_json;

const RefusedSaleCase kRefusedSaleCases[] = {
    {"count unchanged: refused", "68 [Смена превысила 24 часа]", nullptr,
     refusal("68 [Смена превысила 24 часа]"), false},
    {"one more and it is this sale: made after all", "177 [Закрытие чека прервано]",
     [](FakeRegister& reg) {
         reg.setFiscalNumber(2);
         reg.lastParams = kMadeSale;
     },
     R"({"fiscalParams":{"fiscalDocumentNumber":2,"total":100},"recovered":true})"_json, false},
    {"count unreadable: the refusal is all there is", "177 [Закрытие чека прервано]",
     [](FakeRegister& reg) { reg.fnStatus = refusal("166 [ФН не найден]"); },
     refusal("177 [Закрытие чека прервано]"), false},
    {"no answer to the count: settled later", "177 [Закрытие чека прервано]",
     [](FakeRegister& reg) { reg.silentTypes = {"getFnStatus"}; }, nullptr, false},
    {"two more: a person decides", "177 [Закрытие чека прервано]",
     [](FakeRegister& reg) { reg.setFiscalNumber(3); }, nullptr, true},
};

TEST_F(ExchangeTest, AFiscalDocumentRefusedWithAnErrorIsDecidedByTheRegistersCount) {
    for (const RefusedSaleCase& c : kRefusedSaleCases) {
        SCOPED_TRACE(c.name);
        const std::string serial = std::string("K-") + c.name;
        auto w = window(serial);
        w->reg.refuse = [&](const Json&) -> std::optional<Json> {
            w->reg.refuse = nullptr;  // once
            if (c.afterRefusal)
                c.afterRefusal(w->reg);
            return refusal(c.error);
        };
        service.queueDocument({{"type", "sell"}, {"external_id", "s"}, {"total", 100}});
        w->cycle.runExchangeCycle();
        w->cycle.runExchangeCycle();  // what the first cycle left is settled now

        EXPECT_EQ(w->reg.countOf("sell"), 1u) << "a refused sale is never offered again";
        const std::optional<CheckRow> row = w->journal.findCheck(serial, "s");
        ASSERT_TRUE(row);
        if (c.completedWith.is_null()) {
            EXPECT_EQ(row->status, "added");
            EXPECT_EQ(w->journal.inFlightMarks(serial).size(), 1u);
        } else {
            EXPECT_EQ(Json::parse(row->response), c.completedWith);
            EXPECT_TRUE(w->journal.inFlightMarks(serial).empty());
        }
        EXPECT_EQ(w->problems.size(), c.doubtfulReported ? 1u : 0u);
    }
}

// The printer runs out of paper with three sales queued: the first is refused and reported
// so; the others are not handed to a printer that cannot print, and print once it can.
TEST_F(ExchangeTest, PaperOutHoldsTheDocumentsAfterTheRefusedOneUntilThePrinterIsReady) {
    auto w = window("K1");
    bool paperOut = true;
    w->reg.refuse = [&](const Json&) -> std::optional<Json> {
        if (paperOut)
            return refusal("44 [Нет бумаги]");
        return std::nullopt;
    };
    w->reg.deviceStatus = Json{{"deviceStatus", {{"paperPresent", false}, {"coverOpened", false}}}};
    for (const char* id : {"a", "b", "c"})
        service.queueDocument(sell(id));
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();

    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_EQ(Json::parse(w->journal.findCheck("K1", "a")->response), refusal("44 [Нет бумаги]"));
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "added")), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(service.lastRequest()["received"], Json::array({"b", "c"}));
    ASSERT_EQ(w->problems.size(), 1u) << "the hold is reported once";
    EXPECT_NE(w->problems[0].find("44 [Нет бумаги]"), std::string::npos) << w->problems[0];
    EXPECT_TRUE(w->journal.inFlightMarks("K1").empty());

    paperOut = false;
    (*w->reg.deviceStatus)["deviceStatus"]["paperPresent"] = true;
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 3u);
    EXPECT_TRUE(w->journal.selectChecks("K1", "added").empty());
    EXPECT_EQ(w->journal.selectChecks("K1", "completed").size(), 2u);
}

// A refusal that is the document's own (a closed shift) holds nothing back.
TEST_F(ExchangeTest, ARefusalForTheDocumentItselfLetsTheNextOnesRun) {
    auto w = window("K1");
    w->reg.refuse = [&](const Json& task) -> std::optional<Json> {
        if (task.value("external_id", "") == "a")
            return refusal("73 [Смена закрыта - операция невозможна]");
        return std::nullopt;
    };
    for (const char* id : {"a", "b"})
        service.queueDocument(sell(id));
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 2u);
    EXPECT_EQ(w->journal.selectChecks("K1", "completed").size(), 2u);
    EXPECT_EQ(w->reg.countOf("getDeviceStatus"), 0u);
}

TEST_F(ExchangeTest, ADoubtfulSaleEndsWhenTheServiceAcknowledgesIt) {
    auto w = window("K1");
    w->journal.insertCheck("K1", sell("s"));
    w->journal.markInFlight({"K1", "s", std::nullopt});
    service.script({200, R"({"status":200,"data":{"acked":["s"],"docs":[],"commands":[]}})"});
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 0u);
    EXPECT_TRUE(w->journal.inFlightMarks("K1").empty());
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "acked")), std::vector<std::string>{"s"});
}

TEST_F(ExchangeTest, NonFiscalDocumentsAreExecutedWithoutAMark) {
    auto w = window("K1");
    w->reg.silentTypes = {"reportX"};
    service.queueDocument({{"type", "reportX"}, {"external_id", "x"}});
    w->cycle.runExchangeCycle();
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("reportX"), 2u);
    EXPECT_EQ(w->reg.countOf("getFnStatus"), 0u);
    EXPECT_TRUE(w->journal.inFlightMarks("K1").empty());
}

// ---- the journal never drops a document ---------------------------------------------------

// Another program (a backup, an sqlite3 shell) holds checks.db past the busy time-out while
// an answer with an acknowledgement, a document and a command arrives.
TEST_F(ExchangeTest, ALockedJournalLosesNoDocumentCommandOrAcknowledgement) {
    auto w = window("K1", 50);
    service.queueDocument(sell("first"));
    w->cycle.runExchangeCycle();  // "first" is completed
    service.queueDocument(sell("second"));
    service.queueCommand({{"id", 7}, {"payload", {{"type", "getDeviceStatus"}}}});
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "checks.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
    w->cycle.runExchangeCycle();  // acknowledges "first", brings "second" and the command
    EXPECT_EQ(w->reconnects, 0);
    EXPECT_EQ(w->reg.countOf("getDeviceStatus"), 1u);
    EXPECT_EQ(w->reg.countOf("sell"), 1u);  // "second" is not run before it is stored
    EXPECT_TRUE(w->cycle.hasPending());
    EXPECT_EQ(w->problems.size(), 2u);

    sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    for (int n = 0; n < 3; ++n)
        w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("getDeviceStatus"), 1u);
    EXPECT_EQ(w->reg.countOf("sell"), 2u);
    EXPECT_EQ(ids(w->journal.selectChecks("K1", "acked")),
              (std::vector<std::string>{"first", "second"}));
    Json commandResults = Json::array();
    for (const Json& request : service.requests())
        for (const Json& result : request["commands"])
            commandResults.push_back(result["id"]);
    EXPECT_EQ(commandResults, Json::array({7}));
}

TEST_F(ExchangeTest, AJournalWithoutTheKeyPrintsADocumentSentTwiceOnce) {
    fs::remove(dir_ / "checks.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "checks.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "create table checks (serial text, orig_id text, command text,"
                           " data text, status text, response text)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto w = window("K1");
    service.queueDocument(sell("s"));
    service.queueDocument(sell("s"));
    w->cycle.runExchangeCycle();
    service.queueDocument(sell("s"));
    w->cycle.runExchangeCycle();
    EXPECT_EQ(w->reg.countOf("sell"), 1u);
    EXPECT_EQ(w->journal.selectChecks("K1", "added").size() +
                  w->journal.selectChecks("K1", "completed").size() +
                  w->journal.selectChecks("K1", "acked").size(),
              1u);
}

// The disk fills up (a file size limit stands in for it) as a document arrives; it is kept
// and stored, and printed, once there is room again.
TEST_F(ExchangeTest, AFullDiskKeepsTheDocumentUntilThereIsRoom) {
    service.queueDocument(sell("s"));
    EXPECT_EXIT(
        {
            // Everything that touches the journal runs in the child that has the limit.
            auto w = window("K1");
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit unlimited{};
            getrlimit(RLIMIT_FSIZE, &unlimited);
            rlimit full = unlimited;
            full.rlim_cur = 4096;
            setrlimit(RLIMIT_FSIZE, &full);
            w->cycle.runExchangeCycle();
            const bool kept =
                w->cycle.hasPending() && w->reg.countOf("sell") == 0 && !w->problems.empty();
            setrlimit(RLIMIT_FSIZE, &unlimited);
            w->cycle.runExchangeCycle();
            w->cycle.runExchangeCycle();
            const bool storedOnce =
                !w->cycle.hasPending() && w->reg.countOf("sell") == 1 &&
                ids(w->journal.selectChecks("K1", "acked")) == std::vector<std::string>{"s"};
            _exit(kept ? (storedOnce ? 0 : 2) : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
