#include <gtest/gtest.h>

#include "platform/Json.h"

using th::Json;

TEST(Json, DispatcherTextEscapesAsTheServiceExpects) {
    Json value = Json::object();
    value["b"] = "a/b\\c\"d\b\t\n\f\r\x01 тест";
    value["a"] = 1;
    EXPECT_EQ(th::dumpDispatcher(value),
              R"({"b":"a\/b\\c\"d\b\t\n\f\r\u0001 тест","a":1})");
}

TEST(Json, DottedPathsAndTexts) {
    Json answer = Json::parse(R"({"status":"200","data":{"auth":true,"n":17,"s":"x","o":{}}})");
    EXPECT_EQ(th::textAt(answer, "status"), "200");
    EXPECT_EQ(th::textAt(answer, "data.n"), "17");
    EXPECT_EQ(th::textAt(answer, "data.s"), "x");
    EXPECT_EQ(th::textAt(answer, "data.o"), std::nullopt);
    EXPECT_EQ(th::textAt(answer, "data.missing.deeper"), std::nullopt);
    EXPECT_EQ(th::boolAt(answer, "data.auth"), true);
    EXPECT_EQ(th::boolAt(answer, "data.n"), std::nullopt);
}

TEST(Json, ParseRefusesGarbageAndExtremeNesting) {
    EXPECT_FALSE(th::parseJson(""));
    EXPECT_FALSE(th::parseJson("{not json"));
    EXPECT_FALSE(th::parseJson(std::string(100000, '[') + std::string(100000, ']')));
    EXPECT_TRUE(th::parseJson(R"({"a":"[[[["})"));
}

TEST(Json, ScanFindsTheElementsAtAPathWithoutJudgingTheirContents) {
    const std::string text =
        "{\"data\":{\"x\":[1],\"docs\":[1e999, {\"a\":\"\xFF\"} ,[[]],\"s\\\"]\"]}}";
    const th::JsonScan scan = th::scanJson(text, "data.docs");
    ASSERT_TRUE(scan.wellFormed);
    std::vector<std::string> elements;
    for (const th::JsonSpan& span : scan.elements)
        elements.emplace_back(span.in(text));
    EXPECT_EQ(elements,
              (std::vector<std::string>{"1e999", "{\"a\":\"\xFF\"}", "[[]]", "\"s\\\"]\""}));
    // The last of a repeated name counts, as in a parsed value.
    const std::string repeated = R"({"data":{"docs":[1]},"data":{"docs":[2,3]}})";
    EXPECT_EQ(th::scanJson(repeated, "data.docs").elements.size(), 2u);
    EXPECT_FALSE(th::scanJson(R"({"data":{"docs":[1]},"data":5})", "data.docs").value);
    // Any depth, without recursion.
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    EXPECT_TRUE(th::scanJson(deep, "data").wellFormed);
}

TEST(Json, ScanRefusesWhatIsNoJson) {
    for (const char* text : {"", "{", "[1,]", "{\"a\":1,}", "{\"a\" 1}", "[1 2]", "[01]", "[1.]",
                             "[\"\\x\"]", "[\"\\u12\"]", "[tru]", "[1]]", "{]", "[\"open]"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(th::scanJson(text, "a").wellFormed);
    }
    for (const char* text : {"[]", "{}", " {\"a\" : [ 1 , -2.5e+3 , true , null , \"\\u00e9\" ] } ",
                             "\xEF\xBB\xBF[0]"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(th::scanJson(text, "a").wellFormed);
        EXPECT_TRUE(th::parseJson(text));
    }
}
