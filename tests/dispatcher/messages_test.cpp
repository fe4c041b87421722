#include <gtest/gtest.h>

#include "dispatcher/Messages.h"

using th::Json;

namespace {

Json parsed(const char* text) {
    return *th::parseJson(text);
}

struct RequestCase {
    const char* name;
    Json request;
    const char* body;
};

th::CashboxReport report() {
    return {"Атол", parsed(R"({"deviceInfo":{"serial":"001"}})"), parsed(R"({"s":1})"),
            parsed(R"({"fn":2})"), parsed(R"({"reg":3})")};
}

th::TasksState pendingTasks() {
    th::TasksState state;
    state.serial = "001";
    state.token = "tok/1";
    state.driver = "Атол";
    state.shift = parsed(R"({"shift":1})");
    state.ofd = parsed(R"({"ofd":2})");
    state.totals = parsed(R"({"totals":3})");
    state.commands.push_back(th::commandResult(nullptr, parsed(R"({"r":1})")));
    state.received = {"d1", "d2"};
    state.completed.push_back(th::completedEntry("d0", R"({"ok":true})"));
    return state;
}

th::TasksState idleTasks() {
    th::TasksState state;
    state.serial = "001";
    state.token = "t";
    state.driver = "Атол";
    state.shift = state.ofd = state.totals = Json::object();
    return state;
}

TEST(DispatcherMessages, RequestsCarryMembersInServiceOrder) {
    Json commandId = "c-7";
    const RequestCase cases[] = {
        {"test", th::testRequest(), "{}"},
        {"getsalepoints", th::getSalePointsRequest(), "{}"},
        {"swversion", th::swversionRequest(), "{}"},
        {"authorize", th::authorizeRequest(" a@b.ru", "p/w \""),
         R"({"login":" a@b.ru","password":"p\/w \""})"},
        {"cashbox", th::cashboxRequest(report(), false),
         R"({"Driver":"Атол","cashbox":{"deviceInfo":{"serial":"001"}},"status":{"s":1},"fn":{"fn":2},"reg":{"reg":3}})"},
        {"cashbox add", th::cashboxRequest(report(), true),
         R"({"Driver":"Атол","cashbox":{"deviceInfo":{"serial":"001"}},"status":{"s":1},"fn":{"fn":2},"reg":{"reg":3},"add":"1"})"},
        {"tasks idle", th::tasksRequest(idleTasks()),
         R"({"Serial":"001","Token":"t","Driver":"Атол","Shift":{},"Ofd":{},"Totals":{},"commands":[],"received":[],"completed":[]})"},
        {"tasks busy", th::tasksRequest(pendingTasks()),
         R"({"Serial":"001","Token":"tok\/1","Driver":"Атол","Shift":{"shift":1},"Ofd":{"ofd":2},"Totals":{"totals":3},"commands":[{"result":{"r":1}}],"received":["d1","d2"],"completed":[{"id":"d0","response":{"ok":true}}]})"},
        {"command without id or answer", th::commandResult(nullptr, std::nullopt), "{}"},
        {"command without answer", th::commandResult(&commandId, std::nullopt), R"({"id":"c-7"})"},
        {"completed, answer not JSON", th::completedEntry("17", "oops{"), R"({"id":"17"})"},
        {"completed, empty answer", th::completedEntry("17", ""), R"({"id":"17"})"},
    };
    for (const RequestCase& c : cases)
        EXPECT_EQ(th::dumpDispatcher(c.request), c.body) << c.name;
}

struct StatusCase {
    const char* answer;
    bool status200;
    bool testAuthorized;
};

TEST(DispatcherMessages, StatusAndTokenCheck) {
    const StatusCase cases[] = {
        {R"({"status":200,"data":{"auth":true}})", true, true},
        {R"({"status":"200","data":{"auth":true}})", true, true},
        {R"({"status":"200","data":{"auth":false}})", true, false},
        {R"({"status":200,"data":{"auth":"true"}})", true, false},
        {R"({"status":200,"data":[]})", true, false},
        {R"({"status":200})", true, false},
        {R"({"status":401,"data":{"auth":true}})", false, false},
        {R"({"status":200.0,"data":{"auth":true}})", false, false},
        {R"({"status":"0200","data":{"auth":true}})", false, false},
        {R"({"data":{"auth":true}})", false, false},
        {R"([200])", false, false},
    };
    for (const StatusCase& c : cases) {
        EXPECT_EQ(th::isStatus200(parsed(c.answer)), c.status200) << c.answer;
        EXPECT_EQ(th::testAuthorized(parsed(c.answer)), c.testAuthorized) << c.answer;
    }
}

struct AuthorizeCase {
    const char* answer;
    bool auth;
    const char* token;
    const char* error;  // nullptr when no error is expected
};

TEST(DispatcherMessages, AuthorizeAnswer) {
    const AuthorizeCase cases[] = {
        {R"({"status":200,"data":{"auth":true,"token":"T1"}})", true, "T1", nullptr},
        {R"({"status":"200","data":{"auth":true,"token":12345}})", true, "12345", nullptr},
        {R"({"status":200,"data":{"auth":false}})", false, "", nullptr},
        {R"({"status":200,"data":{"auth":false,"token":"ignored"}})", false, "", nullptr},
        {R"({"status":401,"message":"m"})", false, "", nullptr},
        {R"({"status":200,"data":{"auth":true}})", false, "", th::kNoTokenInAnswer},
        {R"({"status":200,"data":{"auth":true,"token":""}})", false, "", th::kNoTokenInAnswer},
        {R"({"status":200,"data":{"auth":true,"token":null}})", false, "", th::kNoTokenInAnswer},
        {R"({"status":200,"data":{}})", false, "", th::kNoAuthInAnswer},
        {R"({"status":200,"data":{"auth":1,"token":"T"}})", false, "", th::kNoAuthInAnswer},
    };
    for (const AuthorizeCase& c : cases) {
        if (c.error) {
            try {
                th::authorizeResult(parsed(c.answer));
                ADD_FAILURE() << "no error for " << c.answer;
            } catch (const th::DispatcherAnswerError& e) {
                EXPECT_STREQ(e.what(), c.error) << c.answer;
            }
            continue;
        }
        th::AuthorizeResult result = th::authorizeResult(parsed(c.answer));
        EXPECT_EQ(result.auth, c.auth) << c.answer;
        EXPECT_EQ(result.token, c.token) << c.answer;
    }
}

TEST(DispatcherMessages, SalePointsAreCopiedOnlyFromAnArray) {
    std::optional<Json> points;
    {
        Json answer = parsed(R"({"status":200,"data":[{"kkt_serial":"001"},{"kkt_serial":2}]})");
        points = th::salePoints(answer);
    }  // the answer is gone, the copy is not
    ASSERT_TRUE(points);
    EXPECT_EQ(th::dumpCompact(*points), R"([{"kkt_serial":"001"},{"kkt_serial":2}])");
    for (const char* answer : {R"({"status":200,"data":{}})", R"({"status":401,"message":"m"})",
                               R"({"data":"[]"})", R"([])"}) {
        EXPECT_FALSE(th::salePoints(parsed(answer))) << answer;
    }
}

TEST(DispatcherMessages, SalePointEntries) {
    auto full = th::readSalePoint(parsed(
        R"({"kkt_serial":"001","address":"ул. Ленина, 1","place":"Касса 1","token":"t",
            "kkt_reg_num":1234567890,"fs_serial":"999","extra":true})"));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->kktSerial, "001");
    EXPECT_EQ(full->address, "ул. Ленина, 1");
    EXPECT_EQ(full->place, "Касса 1");
    EXPECT_EQ(full->token, "t");
    EXPECT_EQ(full->kktRegNum, "1234567890");
    EXPECT_EQ(full->fsSerial, "999");

    auto sparse = th::readSalePoint(parsed(R"({"kkt_serial":42,"address":null,"place":[1]})"));
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->kktSerial, "42");
    EXPECT_EQ(sparse->address, "");
    EXPECT_EQ(sparse->place, "");

    for (const char* invalid :
         {R"("001")", R"(null)", R"([{"kkt_serial":"001"}])", R"({"address":"a"})",
          R"({"kkt_serial":""})", R"({"kkt_serial":{"v":"001"}})", R"({"kkt_serial":true})"}) {
        EXPECT_FALSE(th::readSalePoint(parsed(invalid))) << invalid;
    }
}

TEST(DispatcherMessages, EnrolResultAndNewVersion) {
    EXPECT_EQ(th::enrolResult(parsed(R"({"status":200,"data":{"result":true}})")), true);
    EXPECT_EQ(th::enrolResult(parsed(R"({"status":200,"data":{"result":false}})")), false);
    for (const char* unreadable : {R"({"status":200,"data":{"result":"true"}})",
                                   R"({"status":200,"data":{}})", R"({"status":401})"}) {
        EXPECT_EQ(th::enrolResult(parsed(unreadable)), std::nullopt) << unreadable;
    }
    EXPECT_EQ(th::newVersion(parsed(R"({"data":{"new_version":"1.0.2.0"}})")), "1.0.2.0");
    EXPECT_EQ(th::newVersion(parsed(R"({"data":{"new_version":2}})")), "2");
    EXPECT_EQ(th::newVersion(parsed(R"({"status":401,"message":"m"})")), std::nullopt);
    EXPECT_EQ(th::newVersion(parsed(R"({"data":{"new_version":["1"]}})")), std::nullopt);
}

TEST(DispatcherMessages, TasksAnswerListsAndDocuments) {
    th::TasksAnswer answer = th::readTasksAnswer(parsed(
        R"({"status":200,"data":{"acked":[17,"d2",null,{"id":1},1.5],
            "docs":[{"type":"sell","external_id":"d3"},{"external_id":4}],
            "commands":[{"id":1,"payload":{"type":"beep"}}]}})"));
    EXPECT_EQ(answer.acked, (std::vector<std::string>{"17", "d2", "1.5"}));
    ASSERT_EQ(answer.docs.size(), 2u);
    EXPECT_EQ(th::documentExternalId(answer.docs[0]), "d3");
    EXPECT_EQ(th::documentType(answer.docs[0]), "sell");
    EXPECT_EQ(th::documentExternalId(answer.docs[1]), "4");
    EXPECT_EQ(th::documentType(answer.docs[1]), std::nullopt);
    EXPECT_EQ(th::documentExternalId(parsed(R"("d5")")), std::nullopt);
    EXPECT_EQ(th::dumpCompact(answer.commands), R"([{"id":1,"payload":{"type":"beep"}}])");

    const std::pair<const char*, const char*> broken[] = {
        {R"({"status":200,"data":{"acked":{},"docs":[],"commands":[]}})", "data.acked"},
        {R"({"status":200,"data":{"acked":[],"commands":[]}})", "data.docs"},
        {R"({"status":200,"data":{"acked":[],"docs":[],"commands":"x"}})", "data.commands"},
        {R"({"status":200,"data":[]})", "data.acked"},
        {R"({"status":200})", "data.acked"},
    };
    for (const auto& [text, member] : broken) {
        try {
            th::readTasksAnswer(parsed(text));
            ADD_FAILURE() << "no error for " << text;
        } catch (const th::DispatcherAnswerError& e) {
            EXPECT_EQ(e.what(), std::string(th::kTasksMemberNotArray) + member) << text;
        }
    }
}

TEST(DispatcherMessages, TasksAnswerNullListsAreEmptyAndBadDocumentsAreLeftOut) {
    th::TasksAnswer empty = th::readTasksAnswer(
        parsed(R"({"status":200,"data":{"acked":null,"docs":null,"commands":null}})"));
    EXPECT_TRUE(empty.acked.empty());
    EXPECT_TRUE(empty.docs.empty());
    EXPECT_TRUE(empty.commands.empty());

    // Two sales whose numbers only differ beyond a double's precision must never merge.
    th::TasksAnswer answer = th::readTasksAnswer(parsed(
        R"({"status":200,"data":{"acked":[],"commands":[],"docs":[
            "sell", {"type":"sell"}, {"type":"sell","external_id":{"n":1}},
            {"type":"sell","external_id":10000000000000000000001},
            {"type":"sell","external_id":2.5},
            {"type":"sell","external_id":9223372036854775807},
            {"type":"sell","external_id":"ok"}]}})"));
    ASSERT_EQ(answer.docs.size(), 2u);
    EXPECT_EQ(th::documentExternalId(answer.docs[0]), "9223372036854775807");
    EXPECT_EQ(th::documentExternalId(answer.docs[1]), "ok");
    ASSERT_EQ(answer.refusedDocs.size(), 5u);
    EXPECT_EQ(answer.refusedDocs[0], std::string(th::kDocumentNotObject) + "\"sell\"");
    EXPECT_EQ(answer.refusedDocs[1], th::kDocumentWithoutId);
    EXPECT_EQ(answer.refusedDocs[3], std::string(th::kDocumentBadId) + "1e+22");
}

// One document that cannot be read stands alone; the rest of the answer is read as usual.
TEST(DispatcherMessages, AnAnswerIsReadWithEachDocumentOnItsOwn) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    struct Case {
        const char* name;
        std::string document;
        std::optional<std::string> externalId;
        const char* reason;
    };
    const Case cases[] = {
        {"number beyond a double", R"({"type":"sell","external_id":"n","total":1e999})", "n",
         th::kDocumentNumberOutOfRange},
        {"invalid UTF-8", "{\"type\":\"sell\",\"external_id\":17,\"name\":\"\xC3\x28\"}", "17",
         th::kDocumentInvalidUtf8},
        {"deep nesting", R"({"external_id":"d","type":"sell","x":)" + deep + "}", "d",
         th::kDocumentTooDeep},
        {"65 levels",
         R"({"external_id":"e","x":)" + std::string(64, '[') + std::string(64, ']') + "}", "e",
         th::kDocumentTooDeep},
        {"deep, no object", deep, std::nullopt, th::kDocumentTooDeep},
        {"id itself unreadable", "{\"external_id\":\"\xFF\",\"type\":\"sell\"}", std::nullopt,
         th::kDocumentInvalidUtf8},
        {"id beyond a double", R"({"external_id":1e999})", std::nullopt,
         th::kDocumentNumberOutOfRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text =
            R"({"status":200,"data":{"acked":["a"],"docs":[{"external_id":"g1","type":"sell"},)" +
            c.document + R"(,{"external_id":"g2","type":"sell"}],"commands":[{"id":1}]}})";
        const std::optional<th::ReadAnswer> read = th::readAnswerText(text);
        ASSERT_TRUE(read);
        EXPECT_EQ(
            read->answer["data"]["docs"],
            parsed(R"([{"external_id":"g1","type":"sell"},{"external_id":"g2","type":"sell"}])"));
        EXPECT_EQ(read->answer["data"]["acked"], parsed(R"(["a"])"));
        EXPECT_EQ(read->answer["data"]["commands"], parsed(R"([{"id":1}])"));
        ASSERT_EQ(read->unreadable.size(), 1u);
        EXPECT_EQ(read->unreadable[0].position, 2u);
        EXPECT_EQ(read->unreadable[0].externalId, c.externalId);
        EXPECT_EQ(read->unreadable[0].reason, c.reason);
        EXPECT_EQ(read->unreadable[0].text, c.document);
    }
    // 64 levels are a document.
    const std::string deepest =
        R"({"external_id":"e","x":)" + std::string(63, '[') + std::string(63, ']') + "}";
    const auto read = th::readAnswerText(R"({"data":{"docs":[)" + deepest + "]}}");
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->unreadable.empty());
    EXPECT_EQ(read->answer["data"]["docs"].size(), 1u);
}

TEST(DispatcherMessages, AnAnswerThatIsNoJsonAsAWholeIsRefusedAsAWhole) {
    for (const std::string& text :
         {std::string(R"({"status":200,"data":{"docs":[{"external_id":"x",}]}})"),
          std::string(R"({"status":200,"data":{"docs":[{"external_id":"x"})"),
          std::string("{\"status\":200,\"message\":\"\xC3\x28\",\"data\":{\"docs\":[]}}"),
          std::string(R"({"status":200,"data":{"acked":[1e999],"docs":[]}})"),
          std::string("<html>"), std::string("")}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(th::readAnswerText(text));
    }
    // Answers without documents are read as they are.
    EXPECT_EQ(th::readAnswerText(R"({"status":200,"data":{"auth":true}})")->answer,
              parsed(R"({"status":200,"data":{"auth":true}})"));
    EXPECT_EQ(th::readAnswerText(R"([1,2])")->answer, parsed("[1,2]"));
}

}  // namespace
