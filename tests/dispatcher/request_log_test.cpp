// The request log's line of one event, and its cut for large data.
#include <gtest/gtest.h>

#include "dispatcher/RequestLog.h"

using th::Json;
using th::requestLogLine;

namespace {

std::string cutSuffix(size_t total) {
    return " … (обрезано, всего " + std::to_string(total) + " байт)";
}

TEST(RequestLogLine, AShortLineIsTheCommandABlankAndTheCompactJson) {
    const Json data = Json::parse(R"({"a":[1,"б",null],"c":{"d":"e/f"}})");
    EXPECT_EQ(requestLogLine("<<<<<  tasks", data), "<<<<<  tasks " + th::dumpCompact(data));
    EXPECT_EQ(requestLogLine(">>>>>  ", Json::object()), ">>>>>   {}");
    // Invalid UTF-8 in a register's answer is replaced, never raised.
    EXPECT_EQ(requestLogLine("x", Json("a\xFF")), "x " + th::dumpCompact(Json("a\xFF")));
}

struct CutCase {
    const char* what;
    std::string text;  // the value of a JSON string: the line is `c "<text>"`
    size_t limit;
    std::string expected;
};

TEST(RequestLogLine, ALongLineIsCutAtWholeCharactersWithItsFullLength) {
    const CutCase cases[] = {
        {"exactly at the limit", "abcd", 8, R"(c "abcd")"},
        {"one byte over", "abcde", 8, R"(c "abcde)" + cutSuffix(9)},
        {"a two-byte character split", "aжж", 7, R"(c "aж)" + cutSuffix(9)},
        {"a two-byte character whole", "aжж", 6, R"(c "aж)" + cutSuffix(9)},
        {"a four-byte character split", "a😀", 6, R"(c "a)" + cutSuffix(9)},
        {"the command alone too long", "x", 1, "c" + cutSuffix(5)},
    };
    for (const CutCase& c : cases)
        EXPECT_EQ(requestLogLine("c", Json(c.text), c.limit), c.expected) << c.what;
}

TEST(RequestLogLine, AnAnswerOfMegabytesBecomesALineOfTheDefaultLimit) {
    const Json answer = {{"status", 200}, {"data", std::string(12 * 1024 * 1024, 'x')}};
    const std::string line = requestLogLine(">>>>>  ", answer);
    const size_t full = std::string(">>>>>   ").size() + th::dumpCompact(answer).size();
    EXPECT_EQ(line.size(), th::kMaxLogLineBytes + cutSuffix(full).size());
    EXPECT_EQ(line.substr(0, 30), R"(>>>>>   {"status":200,"data":")");
    EXPECT_TRUE(line.ends_with(cutSuffix(full))) << line.substr(line.size() - 80);
}

struct SecretCase {
    const char* what;
    const char* command;
    const char* data;
    const char* line;
};

// Secrets show their first four characters and "…", wherever the log meets them; the rest
// of the line is exactly the compact JSON.
TEST(RequestLogLine, SecretsShowOnlyTheirFirstFourCharacters) {
    const SecretCase cases[] = {
        {"the password of a login", "<<<<<  authorize",
         R"({"login":"shop@example.org","password":"Sup3rSecret"})",
         R"(<<<<<  authorize {"login":"shop@example.org","password":"Sup3…"})"},
        {"the account's token in the login's answer", ">>>>>  ",
         R"({"status":200,"message":"","data":{"auth":true,"token":"f00dcafe1234"}})",
         R"(>>>>>   {"status":200,"message":"","data":{"auth":true,"token":"f00d…"}})"},
        {"each register's token in the sale points", ">>>>>  ",
         R"({"status":200,"data":[{"kkt_serial":"1","token":"abcdef12"},)"
         R"({"kkt_serial":"2","address":"x"},{"kkt_serial":"3","token":"пароль"}]})",
         R"(>>>>>   {"status":200,"data":[{"kkt_serial":"1","token":"abcd…"},)"
         R"({"kkt_serial":"2","address":"x"},{"kkt_serial":"3","token":"паро…"}]})"},
        {"the register's token of a tasks request", "<<<<<  tasks",
         R"({"Serial":"001","Token":"t-0010000001","Driver":"Атол","received":[]})",
         R"(<<<<<  tasks {"Serial":"001","Token":"t-00…","Driver":"Атол","received":[]})"},
        {"a secret of four characters or fewer shows none of them", "<<<<<  authorize",
         R"({"login":"a","password":"1234"})", R"(<<<<<  authorize {"login":"a","password":"…"})"},
        {"a secret that is no text", "<<<<<  tasks", R"({"Token":1234567})",
         R"(<<<<<  tasks {"Token":"1234…"})"},
        {"a token deeper in a document is no account's", ">>>>>  ",
         R"({"status":200,"data":{"docs":[{"token":"keep-me"}]}})",
         R"(>>>>>   {"status":200,"data":{"docs":[{"token":"keep-me"}]}})"},
    };
    for (const SecretCase& c : cases)
        EXPECT_EQ(requestLogLine(c.command, Json::parse(c.data)), c.line) << c.what;
}

}  // namespace
