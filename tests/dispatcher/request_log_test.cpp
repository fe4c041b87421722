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

}  // namespace
