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
