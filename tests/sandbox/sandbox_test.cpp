#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "DemoFeed.h"
#include "SandboxServer.h"
#include "support/TempDir.h"

extern char** environ;

namespace th::sandbox {
namespace {

constexpr const char* kToken = "acc+token/1";  // needs percent-encoding in the header
constexpr const char* kTokenEncoded = "acc%2Btoken%2F1";
constexpr const char* kOtherToken = "other-account";

Json testSeed() {
    return parseJson(R"({
      "accounts": [
        {"login": "shop@example.ru", "password": "секрет", "token": "acc+token/1",
         "salepoints": [
           {"kkt_serial": "S1", "address": "Адрес 1", "place": "Зал", "token": "t1",
            "kkt_reg_num": "R1", "fs_serial": "F1"},
           {"kkt_serial": "S2", "address": "Адрес 2", "place": "Вход", "token": "t2",
            "kkt_reg_num": "R2", "fs_serial": "F2"}]},
        {"login": "other@example.ru", "password": "x", "token": "other-account",
         "salepoints": [{"kkt_serial": "S9", "token": "t9"}]}],
      "new_version": "1.2.3.4"})")
        .value();
}

struct Answer {
    int http = 0;
    Json body;
};

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }
    // The server reports events until it has stopped: it goes before what it reports to.
    void TearDown() override {
        client.reset();
        server.reset();
    }

    void startServer(std::optional<std::filesystem::path> stateFile, Json seed = testSeed()) {
        SandboxOptions options;
        options.seed = std::move(seed);
        options.stateFile = std::move(stateFile);
        options.events = [this](const std::string& line) {
            std::lock_guard lock(eventsMutex);
            events.push_back(line);
        };
        server = std::make_unique<SandboxServer>(std::move(options));
        port = server->start("127.0.0.1", 0);
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(30, 0);
    }

    Answer call(const std::string& command, const Json& body,
                const std::string& key = kTokenEncoded) {
        return callVia(*client, command, body, key);
    }

    // Through a client of the caller's own: one httplib::Client serialises its requests.
    static Answer callVia(httplib::Client& via, const std::string& command, const Json& body,
                          const std::string& key = kTokenEncoded) {
        httplib::Headers headers;
        if (!key.empty())
            headers.emplace("X-Api-Key", key);
        auto result = via.Post(("/dispatcher/v1/" + command).c_str(), headers, dumpDispatcher(body),
                               "application/json");
        if (!result)
            return {};
        return {result->status, parseJson(result->body).value_or(Json())};
    }

    Json tasks(const std::string& serial, const std::string& token, Json received = Json::array(),
               Json completed = Json::array(), Json commands = Json::array()) {
        return tasksVia(*client, serial, token, std::move(received), std::move(completed),
                        std::move(commands));
    }

    static Json tasksVia(httplib::Client& via, const std::string& serial, const std::string& token,
                         Json received = Json::array(), Json completed = Json::array(),
                         Json commands = Json::array()) {
        Json body = {{"Serial", serial},      {"Token", token},
                     {"Driver", "Атол"},      {"Shift", {{"shiftStatus", {{"state", "opened"}}}}},
                     {"Ofd", Json::object()}, {"Totals", Json::object()},
                     {"commands", commands},  {"received", received},
                     {"completed", completed}};
        Answer answer = callVia(via, "tasks", body);
        EXPECT_EQ(answer.body.value("status", 0), 200) << dumpCompact(answer.body);
        return answer.body.value("data", Json::object());
    }

    Json admin(const std::string& method, const std::string& path, const Json& body = nullptr,
               int expectedHttp = 200) {
        return adminVia(*client, method, path, body, expectedHttp);
    }

    static Json adminVia(httplib::Client& via, const std::string& method, const std::string& path,
                         const Json& body = nullptr, int expectedHttp = 200) {
        httplib::Result result =
            method == "GET"      ? via.Get(path.c_str())
            : method == "DELETE" ? via.Delete(path.c_str())
                                 : via.Post(path.c_str(), body.is_null() ? "" : dumpCompact(body),
                                            "application/json");
        EXPECT_TRUE(result);
        if (!result)
            return nullptr;
        EXPECT_EQ(result->status, expectedHttp) << path << " " << result->body;
        return parseJson(result->body).value_or(Json());
    }

    std::vector<std::string> queueSales(const std::string& serial, int count) {
        return queueSalesVia(*client, serial, count);
    }

    static std::vector<std::string> queueSalesVia(httplib::Client& via, const std::string& serial,
                                                  int count) {
        Json docs = Json::array();
        for (int i = 0; i < count; ++i)
            docs.push_back(DemoFeed::saleTask(i));
        auto queued = adminVia(via, "POST", "/admin/registers/" + serial + "/docs", docs)["queued"];
        return queued.get<std::vector<std::string>>();
    }

    static std::vector<std::string> ids(const Json& docs) {
        std::vector<std::string> out;
        for (const auto& doc : docs)
            out.push_back(doc.value("external_id", std::string("?")));
        return out;
    }

    bool sawEvent(const std::string& start) {
        std::lock_guard lock(eventsMutex);
        for (const auto& line : events) {
            if (line.rfind(start, 0) == 0)
                return true;
        }
        return false;
    }

    test::TempDir dir;
    std::mutex eventsMutex;
    std::vector<std::string> events;
    std::unique_ptr<SandboxServer> server;
    std::unique_ptr<httplib::Client> client;
    int port = 0;
};

// ---- authentication ----

TEST_F(SandboxTest, ApiKeyDecidesWhoIsServed) {
    struct Case {
        std::string command;
        std::string key;
        int status;
    } cases[] = {
        {"test", "", 401},       {"test", "wrong", 401},     {"test", kTokenEncoded, 200},
        {"test", "%zz", 401},    {"getsalepoints", "", 401}, {"cashbox", "", 401},
        {"tasks", "wrong", 401}, {"swversion", "", 200},     {"authorize", "", 200},
    };
    for (const auto& c : cases) {
        Answer answer = call(c.command, Json::object(), c.key);
        EXPECT_EQ(answer.http, 200) << c.command << " " << c.key;
        EXPECT_EQ(answer.body.value("status", 0), c.status) << c.command << " " << c.key;
        if (c.status == 401) {
            EXPECT_EQ(answer.body.value("message", ""), kUnauthorizedMessage);
        }
    }
    EXPECT_EQ(boolAt(call("test", Json::object()).body, "data.auth"), true);
    EXPECT_EQ(textAt(call("swversion", Json::object(), "").body, "data.new_version"), "1.2.3.4");
}

TEST_F(SandboxTest, AuthorizeGivesTheAccountTokenOnlyForTheRightPassword) {
    Answer right = call("authorize", {{"login", "shop@example.ru"}, {"password", "секрет"}}, "");
    EXPECT_EQ(right.body.value("status", 0), 200);
    EXPECT_EQ(boolAt(right.body, "data.auth"), true);
    EXPECT_EQ(textAt(right.body, "data.token"), kToken);

    const Json wrong[] = {{{"login", "shop@example.ru"}, {"password", "Секрет"}},
                          {{"login", "shop@example.ru"}},
                          {{"login", ""}, {"password", ""}},
                          {{"login", 5}, {"password", {1}}},
                          Json::array()};
    for (const auto& body : wrong) {
        Answer answer = call("authorize", body, "");
        EXPECT_EQ(answer.body.value("status", 0), 200) << dumpCompact(body);
        EXPECT_EQ(boolAt(answer.body, "data.auth"), false) << dumpCompact(body);
        EXPECT_EQ(findPath(answer.body, "data.token"), nullptr);
    }
}

TEST_F(SandboxTest, SalepointsAreTheAccountsOwnInSeedOrder) {
    Json data = call("getsalepoints", Json::object()).body["data"];
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(dumpCompact(data[0]),
              R"({"kkt_serial":"S1","address":"Адрес 1","place":"Зал","token":"t1",)"
              R"("kkt_reg_num":"R1","fs_serial":"F1"})");
    EXPECT_EQ(data[1]["kkt_serial"], "S2");
    Json other = call("getsalepoints", Json::object(), kOtherToken).body["data"];
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(
        dumpCompact(other[0]),
        R"({"kkt_serial":"S9","address":"","place":"","token":"t9","kkt_reg_num":"","fs_serial":""})");
}

// ---- the "tasks" bookkeeping ----

TEST_F(SandboxTest, TasksRefusesAForeignOrMistokenedRegister) {
    struct Case {
        std::string serial;
        std::string token;
    } cases[] = {{"S1", "t2"}, {"S1", ""}, {"S9", "t9"}, {"", ""}, {"s1", "t1"}};
    for (const auto& c : cases) {
        Answer answer = call("tasks", {{"Serial", c.serial}, {"Token", c.token}});
        EXPECT_EQ(answer.body.value("status", 0), 403) << c.serial << "/" << c.token;
        EXPECT_FALSE(answer.body.value("message", "").empty());
    }
    EXPECT_EQ(call("tasks", Json::array({1})).body.value("status", 0), 400);
}

TEST_F(SandboxTest, DocumentsTravelUntilReportedAndAreAckedInTheReportingAnswer) {
    auto queued = queueSales("S1", 2);
    auto commandIds = admin("POST", "/admin/registers/S1/commands",
                            {{"payload", {{"type", "getDeviceStatus"}}}})["queued"];

    Json first = tasks("S1", "t1");
    EXPECT_EQ(ids(first["docs"]), queued);
    EXPECT_EQ(first["docs"][0]["items"][0]["name"], "Кофе");
    ASSERT_EQ(first["commands"].size(), 1u);
    EXPECT_EQ(first["commands"][0]["id"], commandIds[0]);
    EXPECT_EQ(first["commands"][0]["payload"]["type"], "getDeviceStatus");
    EXPECT_TRUE(tasks("S2", "t2")["docs"].empty()) << "another register's documents leak";

    // The client stored the first one; the second it has not seen, so it comes again.
    Json second = tasks("S1", "t1", {queued[0]});
    EXPECT_EQ(ids(second["docs"]), std::vector<std::string>{queued[1]});
    EXPECT_TRUE(second["commands"].empty()) << "a command is sent once";
    EXPECT_TRUE(second["acked"].empty());

    Json answerWithNumber = {{"fiscalParams", {{"fiscalDocumentNumber", 41}}}};
    Json third = tasks("S1", "t1", Json::array(),
                       {{{"id", queued[0]}, {"response", answerWithNumber}}, {{"id", queued[1]}}},
                       {{{"id", commandIds[0]}, {"result", {{"deviceStatus", Json::object()}}}}});
    EXPECT_EQ(third["acked"], Json(queued));
    EXPECT_TRUE(third["docs"].empty());
    EXPECT_TRUE(tasks("S1", "t1")["docs"].empty()) << "an acked document came back";

    Json book = admin("GET", "/admin/registers/S1");
    EXPECT_EQ(book["acked"], Json(queued));
    EXPECT_EQ(book["completed"][0]["response"], answerWithNumber);
    EXPECT_FALSE(book["completed"][1].contains("response"));
    EXPECT_EQ(book["commands"][0]["state"], "answered");
    EXPECT_EQ(book["command_results"][0]["result"], Json({{"deviceStatus", Json::object()}}));
    EXPECT_EQ(book["requests"]["tasks"], 4);
    EXPECT_EQ(book["last_exchange"]["Shift"]["shiftStatus"]["state"], "opened");
    EXPECT_TRUE(sawEvent("doc-completed serial=S1 id=" + queued[0] + " fiscalDocumentNumber=41"));
    EXPECT_TRUE(sawEvent("doc-acked serial=S1 id=" + queued[1]));
}

// A service that forgives nothing: a document goes out in one answer only, so a client
// that drops it never sees it again. The mode is kept across a reset.
TEST_F(SandboxTest, HandingOutOnceSendsADocumentInOneAnswerOnly) {
    admin("POST", "/admin/config", {{"hand_out_once", true}});
    auto queued = queueSales("S1", 2);
    EXPECT_EQ(ids(tasks("S1", "t1")["docs"]), queued);
    EXPECT_TRUE(tasks("S1", "t1")["docs"].empty()) << "a dropped document came again";
    Json book = admin("GET", "/admin/registers/S1");
    EXPECT_EQ(book["docs"][0]["state"], "sent");
    EXPECT_EQ(book["docs"][0]["sent_count"], 1);
    EXPECT_EQ(admin("GET", "/admin/state")["hand_out_once"], true);

    admin("POST", "/admin/reset");
    auto again = queueSales("S1", 1);
    EXPECT_EQ(ids(tasks("S1", "t1")["docs"]), again);
    EXPECT_TRUE(tasks("S1", "t1")["docs"].empty());
    admin("POST", "/admin/config", {{"hand_out_once", "yes"}}, 400);
}

TEST_F(SandboxTest, CompletedIsAckedAgainWhenTheClientMissedTheAck) {
    admin("POST", "/admin/registers/S1/docs",
          Json::array({{{"type", "openShift"}, {"external_id", 17}}}));
    tasks("S1", "t1");
    Json entry = {{{"id", 17}, {"response", {{"error", "68 [Смена уже открыта]"}}}}};
    EXPECT_EQ(tasks("S1", "t1", Json::array(), entry)["acked"], Json::array({"17"}));
    EXPECT_EQ(tasks("S1", "t1", Json::array(), entry)["acked"], Json::array({"17"}));
    // A document the sandbox never queued (a journal from before a reset) is acked too.
    EXPECT_EQ(tasks("S1", "t1", Json::array(), {{{"id", "old-1"}}})["acked"],
              Json::array({"old-1"}));
    EXPECT_TRUE(sawEvent("doc-completed serial=S1 id=17 error=68 [Смена уже открыта]"));
}

TEST_F(SandboxTest, TasksWithMembersOfTheWrongTypeIsAnsweredAndRecordsNothingBogus) {
    auto queued = queueSales("S1", 1);
    const Json bodies[] = {
        {{"Serial", "S1"},
         {"Token", "t1"},
         {"received", "x"},
         {"completed", {{"id", 1}}},
         {"commands", 5}},
        {{"Serial", "S1"},
         {"Token", "t1"},
         {"received", {nullptr, Json::object(), true}},
         {"completed", {5, "x", Json::object(), {{"id", Json::array()}}}},
         {"commands", {"x", 7, {{"id", {{"deep", 1}}}}}}},
    };
    for (const auto& body : bodies) {
        Answer answer = call("tasks", body);
        EXPECT_EQ(answer.body.value("status", 0), 200) << dumpCompact(body);
        EXPECT_TRUE(answer.body["data"]["acked"].empty());
        EXPECT_EQ(ids(answer.body["data"]["docs"]), queued);
    }
    Json book = admin("GET", "/admin/registers/S1");
    EXPECT_EQ(book["docs"].size(), 1u);
    EXPECT_EQ(book["command_results"].size(), 1u) << "the object with an odd id is kept as sent";
}

TEST_F(SandboxTest, CommandResultCarriedByAnotherRegisterIsFiledWithItsCommand) {
    auto id = admin("POST", "/admin/registers/S1/commands", {{"type", "reportX"}})["queued"][0];
    tasks("S1", "t1");
    tasks("S2", "t2", Json::array(), Json::array(), {{{"id", id}, {"result", {{"ok", true}}}}});
    Json s1 = admin("GET", "/admin/registers/S1");
    EXPECT_EQ(s1["commands"][0]["state"], "answered");
    EXPECT_EQ(s1["command_results"][0]["reported_by"], "S2");
    EXPECT_TRUE(admin("GET", "/admin/registers/S2")["command_results"].empty());
}

TEST_F(SandboxTest, ConcurrentExchangesLoseNothing) {
    auto s1 = queueSales("S1", 30);
    auto s2 = queueSales("S2", 30);
    // Each register talks through its own connection, so their requests really overlap.
    auto exchange = [this](const std::string& serial, const std::string& token) {
        httplib::Client own("127.0.0.1", port);
        own.set_read_timeout(30, 0);
        Json stored = Json::array();
        for (int round = 0; round < 40; ++round) {
            Json completed = Json::array();
            for (const auto& id : stored)
                completed.push_back({{"id", id}, {"response", {{"ok", round}}}});
            Json data = tasksVia(own, serial, token, Json::array(), completed);
            stored = Json::array();
            for (const auto& doc : data["docs"])
                stored.push_back(doc["external_id"]);
            if (round % 3 == 0 && round < 39)
                queueSalesVia(own, serial, 1);
        }
        Json completed = Json::array();
        for (const auto& id : stored)
            completed.push_back({{"id", id}});
        tasksVia(own, serial, token, Json::array(), completed);
    };
    std::thread a(exchange, "S1", "t1"), b(exchange, "S2", "t2");
    a.join();
    b.join();
    // The service's own counts are shared by both registers' requests.
    EXPECT_EQ(admin("GET", "/admin/state")["requests"]["tasks"], 2 * 41);
    for (const char* serial : {"S1", "S2"}) {
        Json book = admin("GET", std::string("/admin/registers/") + serial);
        EXPECT_TRUE(book["pending_docs"].empty()) << serial;
        EXPECT_EQ(book["acked"].size(), 30u + 13u) << serial;
        for (const auto& doc : book["docs"])
            EXPECT_EQ(doc["sent_count"], 1) << serial << " " << doc["external_id"];
    }
}

// ---- enrolment ----

Json cashboxReport(const std::string& serial, bool add) {
    Json body = {{"Driver", "Атол"},
                 {"cashbox", {{"deviceInfo", {{"serial", serial}, {"modelName", "АТОЛ 30Ф"}}}}},
                 {"status", {{"deviceStatus", Json::object()}}},
                 {"fn", {{"fnInfo", {{"serial", "FN-" + serial}}}}},
                 {"reg", {{"device", {{"registrationNumber", "RN-" + serial}}}}}};
    if (add)
        body["add"] = "1";
    return body;
}

TEST_F(SandboxTest, EnrolmentAddsTheRegisterToTheAccount) {
    Answer enrolled = call("cashbox", cashboxReport("N1", true));
    EXPECT_EQ(boolAt(enrolled.body, "data.result"), true);
    Json points = call("getsalepoints", Json::object()).body["data"];
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[2]["kkt_serial"], "N1");
    EXPECT_EQ(points[2]["fs_serial"], "FN-N1");
    EXPECT_EQ(points[2]["kkt_reg_num"], "RN-N1");
    std::string token = points[2]["token"];
    EXPECT_FALSE(token.empty());
    EXPECT_TRUE(tasks("N1", token)["docs"].empty());

    // Enrolling again is harmless; a register of another account, or none, is refused.
    EXPECT_EQ(boolAt(call("cashbox", cashboxReport("N1", true)).body, "data.result"), true);
    EXPECT_EQ(boolAt(call("cashbox", cashboxReport("S9", true)).body, "data.result"), false);
    EXPECT_EQ(boolAt(call("cashbox", {{"add", "1"}}).body, "data.result"), false);
    EXPECT_EQ(call("getsalepoints", Json::object()).body["data"].size(), 3u);

    // The plain report after connecting is recorded, not enrolled.
    call("cashbox", cashboxReport("S1", false));
    Json book = admin("GET", "/admin/registers/S1");
    ASSERT_EQ(book["cashbox_reports"].size(), 1u);
    EXPECT_EQ(book["cashbox_reports"][0]["cashbox"]["deviceInfo"]["serial"], "S1");
}

TEST_F(SandboxTest, EnrolmentCanBeRefused) {
    admin("POST", "/admin/config", {{"refuse_enrolment", true}, {"new_version", "2.0.0.0"}});
    EXPECT_EQ(boolAt(call("cashbox", cashboxReport("N2", true)).body, "data.result"), false);
    EXPECT_EQ(call("getsalepoints", Json::object()).body["data"].size(), 2u);
    EXPECT_EQ(textAt(call("swversion", Json::object()).body, "data.new_version"), "2.0.0.0");
    admin("POST", "/admin/config", {{"refuse_enrolment", "yes"}}, 400);
}

// ---- admin ----

TEST_F(SandboxTest, AdminRefusesWhatItCannotQueue) {
    struct Case {
        std::string path;
        Json body;
        int http;
    } cases[] = {
        {"/admin/registers/NOPE/docs", {{"type", "sell"}}, 404},
        {"/admin/registers/S1/docs", {{"items", Json::array()}}, 400},
        {"/admin/registers/S1/docs",
         Json::array(
             {{{"type", "sell"}, {"external_id", "a"}}, {{"type", "sell"}, {"external_id", "a"}}}),
         409},
        {"/admin/registers/S1/commands", {{"payload", "reportX"}}, 400},
        {"/admin/faults", {{"mode", "sometimes"}}, 400},
        {"/admin/faults", {{"mode", "hang"}, {"seconds", "ten"}}, 400},
    };
    for (const auto& c : cases)
        admin("POST", c.path, c.body, c.http);
    auto result = client->Post("/admin/registers/S1/docs", "{not json", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_TRUE(admin("GET", "/admin/registers/S1")["docs"].empty()) << "half a batch queued";
}

TEST_F(SandboxTest, ResetReturnsToTheSeedOrToANewOne) {
    queueSales("S1", 1);
    call("cashbox", cashboxReport("N1", true));
    admin("POST", "/admin/reset");
    EXPECT_TRUE(admin("GET", "/admin/state")["registers"].empty());
    EXPECT_EQ(call("getsalepoints", Json::object()).body["data"].size(), 2u);

    Json seed = {{"accounts",
                  {{{"login", "a"},
                    {"password", "b"},
                    {"token", "k"},
                    {"salepoints", {{{"kkt_serial", "Z1"}, {"token", "z"}}}}}}}};
    admin("POST", "/admin/reset", seed);
    EXPECT_EQ(call("test", Json::object()).body["status"], 401);
    EXPECT_EQ(call("getsalepoints", Json::object(), "k").body["data"][0]["kkt_serial"], "Z1");
    admin("POST", "/admin/reset", {{"accounts", {{{"login", "a"}}}}}, 400);
}

// ---- fault injection ----

TEST_F(SandboxTest, FaultsSpoilTheNextAnswersAndLeaveTheStateAlone) {
    auto queued = queueSales("S1", 1);
    struct Case {
        std::string mode;
        int http;
        bool json;
    } cases[] = {{"http500", 500, true},        {"not-json", 200, false},
                 {"deep", 200, false},          {"wrong-types", 200, true},
                 {"wrong-elements", 200, true}, {"bad-status", 200, true}};
    Json request = {{"Serial", "S1"}, {"Token", "t1"}};
    for (const auto& c : cases) {
        admin("POST", "/admin/faults", {{"mode", c.mode}, {"count", 1}});
        auto result = client->Post("/dispatcher/v1/tasks", {{"X-Api-Key", kTokenEncoded}},
                                   dumpCompact(request), "application/json");
        ASSERT_TRUE(result) << c.mode;
        EXPECT_EQ(result->status, c.http) << c.mode;
        EXPECT_EQ(parseJson(result->body).has_value(), c.json) << c.mode;
    }
    Json spoiled = call("tasks", request).body;  // the last plan was used up
    EXPECT_EQ(ids(spoiled["data"]["docs"]), queued) << "a spoiled answer changed the state";

    admin("POST", "/admin/faults", {{"mode", "wrong-types"}, {"command", "swversion"}});
    EXPECT_TRUE(findPath(call("swversion", Json::object()).body, "data.new_version")->is_number());
    EXPECT_TRUE(findPath(call("swversion", Json::object()).body, "data.new_version")->is_number());
    EXPECT_EQ(call("test", Json::object()).body["status"], 200) << "other commands are spared";
    admin("DELETE", "/admin/faults");
    EXPECT_EQ(textAt(call("swversion", Json::object()).body, "data.new_version"), "1.2.3.4");
}

TEST_F(SandboxTest, AppliedFaultCarriesTheRequestOutAndLosesTheAnswer) {
    auto commandId = admin("POST", "/admin/registers/S1/commands", {{"type", "reportX"}})["queued"];
    admin("POST", "/admin/faults", {{"mode", "http500"}, {"count", 1}, {"apply", true}});
    EXPECT_EQ(call("tasks", {{"Serial", "S1"}, {"Token", "t1"}}).http, 500);
    EXPECT_EQ(admin("GET", "/admin/registers/S1")["commands"][0]["state"], "sent");
}

TEST_F(SandboxTest, HugeAndHangingAnswers) {
    admin("POST", "/admin/faults", {{"mode", "huge"}, {"count", 1}});
    auto huge = client->Post("/dispatcher/v1/test", "{}", "application/json");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->body.size(), kHugeBodyBytes);
    EXPECT_EQ(huge->body.substr(0, 10), R"({"status":)");
    EXPECT_EQ(huge->body.substr(huge->body.size() - 4), R"(x"}})");

    queueSales("S1", 1);
    admin("POST", "/admin/faults", {{"mode", "hang"}, {"seconds", 0.05}, {"count", 1}});
    EXPECT_EQ(call("tasks", {{"Serial", "S1"}, {"Token", "t1"}}).http, 504);
    EXPECT_EQ(admin("GET", "/admin/registers/S1")["docs"][0]["state"], "queued");
}

// A thread stuck in the server cannot be unwound by a failed assertion: the program ends with
// the failure instead of waiting for ctest's time-out.
void requireReadyWithin(std::future<void>& done, std::chrono::seconds bound, const char* what) {
    if (done.wait_for(bound) == std::future_status::ready)
        return;
    ADD_FAILURE() << what << " did not end within " << bound.count() << " s";
    std::fflush(nullptr);
    std::_Exit(1);
}

TEST_F(SandboxTest, StopEndsAHangingAnswer) {
    admin("POST", "/admin/faults", {{"mode", "hang"}, {"seconds", 3600}});
    auto answered = std::async(std::launch::async, [this] { call("test", Json::object()); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server->faults().served() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server->faults().served(), 1);
    auto stopped = std::async(std::launch::async, [this] { server->stop(); });
    // Well inside the caller's own 30 s read time-out: it is the stop that ends the answer.
    requireReadyWithin(stopped, std::chrono::seconds(10), "stop()");
    requireReadyWithin(answered, std::chrono::seconds(10), "the hanging request");
}

// ---- state file ----

TEST_F(SandboxTest, StateSurvivesARestart) {
    server.reset();
    startServer(dir.file("state.json"));
    auto queued = queueSales("S1", 3);
    call("cashbox", cashboxReport("N1", true));
    tasks("S1", "t1");
    tasks("S1", "t1", {queued[0]}, {{{"id", queued[1]}, {"response", {{"n", 1}}}}});
    admin("POST", "/admin/faults", {{"mode", "http500"}});
    Json before = admin("GET", "/admin/state");
    server->stop();

    server.reset();
    startServer(dir.file("state.json"), Json{{"accounts", Json::array()}});
    Json after = admin("GET", "/admin/state");
    EXPECT_EQ(after["registers"], before["registers"]);
    EXPECT_EQ(after["accounts"], before["accounts"]);
    EXPECT_EQ(after["requests"], before["requests"]);
    EXPECT_EQ(admin("GET", "/admin/faults")["mode"], "none") << "faults are not persisted";
    EXPECT_EQ(ids(tasks("S1", "t1")["docs"]), std::vector<std::string>{queued[2]});
    auto later = queueSales("S1", 1);
    EXPECT_EQ(std::find(queued.begin(), queued.end(), later[0]), queued.end());
    EXPECT_EQ(call("getsalepoints", Json::object()).body["data"].size(), 3u);
}

TEST(SandboxStateFile, ABrokenStateFileStopsTheStartAndStaysAsItWas) {
    test::TempDir dir;
    const std::string broken[] = {"{\"format\": \"tillhaven-sandbox-state/1\", ",
                                  R"({"format": "something else"})",
                                  R"({"format": "tillhaven-sandbox-state/1", "registers":
                                     {"S1": {"docs": [{"external_id": "a", "state": "lost"}]}}})",
                                  R"({"format": "tillhaven-sandbox-state/1", "accounts": 5})"};
    for (const auto& text : broken) {
        dir.write("state.json", text);
        SandboxOptions options;
        options.seed = testSeed();
        options.stateFile = dir.file("state.json");
        EXPECT_THROW(SandboxServer{std::move(options)}, SandboxDataError) << text;
        EXPECT_EQ(dir.read("state.json"), text);
    }
}

// ---- demo feed ----

TEST(DemoFeedTest, OpensTheShiftThenSellsAndSendsOneCommand) {
    SandboxState state(testSeed());
    DemoFeed feed(state, 3);
    for (int i = 0; i < 6; ++i)
        feed.tick();
    Json book = state.registerSnapshot("S1");
    std::vector<std::string> types;
    for (const auto& doc : book["docs"])
        types.push_back(doc["type"]);
    EXPECT_EQ(types, (std::vector<std::string>{"openShift", "sell", "sell", "sell"}));
    ASSERT_EQ(book["commands"].size(), 1u);
    EXPECT_EQ(book["commands"][0]["payload"]["type"], "getDeviceStatus");
    EXPECT_EQ(state.registerSnapshot("S9")["docs"].size(), 4u);
    EXPECT_EQ(state.registerSnapshot("S9")["commands"][0]["id"] != book["commands"][0]["id"], true);

    for (int n = 0; n < 6; ++n) {
        Json sale = DemoFeed::saleTask(n);
        int sum = 0;
        for (const auto& item : sale["items"]) {
            EXPECT_EQ(item["amount"], item["price"].get<int>() * item["quantity"].get<int>());
            sum += item["amount"].get<int>();
        }
        EXPECT_EQ(sale["payments"][0]["sum"], sum) << n;
    }
}

// ---- the program ----

struct Program {
    pid_t pid = -1;
    FILE* output = nullptr;
};

Program launch(std::vector<std::string> args) {
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string path = std::string(TH_TEST_BIN_DIR) + "/tillhaven-sandbox";
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Program program;
    EXPECT_EQ(posix_spawn(&program.pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    program.output = ::fdopen(pipeFds[0], "r");
    return program;
}

int waitExit(Program& program) {
    int status = 0;
    ::waitpid(program.pid, &status, 0);
    ::fclose(program.output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SandboxProgram, PrintsItsPortServesAndSavesOnTerm) {
    test::TempDir dir;
    Program program = launch({"--port", "0", "--state", dir.file("s.json").string()});
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, program.output), nullptr);
    int port = 0;
    ASSERT_EQ(std::sscanf(line, "tillhaven-sandbox listening on http://127.0.0.1:%d", &port), 1)
        << line;
    httplib::Client client("127.0.0.1", port);
    auto answer =
        client.Post("/dispatcher/v1/authorize",
                    R"({"login":"demo@tillhaven.local","password":"demo"})", "application/json");
    ASSERT_TRUE(answer);
    EXPECT_EQ(boolAt(parseJson(answer->body).value(), "data.auth"), true);
    ::kill(program.pid, SIGTERM);
    EXPECT_EQ(waitExit(program), 0);
    auto saved = parseJson(dir.read("s.json"));
    ASSERT_TRUE(saved);
    EXPECT_EQ((*saved)["requests"]["authorize"], 1);
    EXPECT_EQ((*saved)["accounts"][0]["salepoints"][1]["kkt_serial"], "00106700000002");
}

TEST(SandboxProgram, RefusesBadOptionsAndBadSeeds) {
    test::TempDir dir;
    dir.write("seed.json", R"({"accounts": [{"login": "x"}]})");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    } cases[] = {{{"--port", "abc"}, 2},
                 {{"--frobnicate"}, 2},
                 {{"--seed", dir.file("missing.json").string()}, 1},
                 {{"--seed", dir.file("seed.json").string()}, 1}};
    for (auto& c : cases) {
        Program program = launch(c.args);
        EXPECT_EQ(waitExit(program), c.exitCode) << c.args[0];
    }
}

}  // namespace
}  // namespace th::sandbox
