// The state check's warnings, read from "getDeviceStatus" answers.
#include <gtest/gtest.h>

#include "cashbox/CashboxConnection.h"

using namespace th;

namespace {

Json status(Json flags) {
    Json full = {{"blocked", false},  {"coverOpened", false}, {"fiscal", true},
                 {"fnPresent", true}, {"fnFiscal", true},     {"paperPresent", true}};
    for (auto& [key, value] : flags.items())
        full[key] = value;
    return {{"deviceStatus", full}};
}

struct WarningCase {
    const char* name;
    Json answer;
    std::vector<StateWarning> expected;
};

TEST(StateWarnings, FollowTheFlagsInTheirOrder) {
    const StateWarning blocked{BoxKind::Error, "Касса заблокирована"};
    const StateWarning cover{BoxKind::Warning, "Проверьте крышку кассы"};
    const StateWarning notFiscal{BoxKind::Warning, "Касса не зарегистрирована в ФНС"};
    const StateWarning noFn{BoxKind::Warning, "фискальный накопитель отсутствует"};
    const StateWarning fnNotFiscal{BoxKind::Warning, "ФН не фискализирован"};
    const StateWarning noPaper{BoxKind::Warning, "В кассе отсутствует чековая лента"};
    const WarningCase cases[] = {
        {"healthy", status({}), {}},
        {"blocked", status({{"blocked", true}}), {blocked}},
        {"all at once",
         status({{"blocked", true},
                 {"coverOpened", true},
                 {"fiscal", false},
                 {"fnFiscal", false},
                 {"paperPresent", false}}),
         {blocked, cover, notFiscal, fnNotFiscal, noPaper}},
        {"no storage", status({{"fnPresent", false}, {"fnFiscal", false}}), {noFn}},
        {"storage state unknown", status({{"fnPresent", Json()}, {"fnFiscal", false}}), {}},
        {"flag as text", status({{"paperPresent", "false"}, {"blocked", 1}}), {}},
        {"flags missing", {{"deviceStatus", {{"coverOpened", true}}}}, {cover}},
        {"a refusal", {{"error", "166 [ФН не найден]"}}, {}},
        {"not an object", Json::array({true}), {}},
    };
    for (const WarningCase& c : cases)
        EXPECT_EQ(stateWarnings(c.answer), c.expected) << c.name;
}

TEST(StateWarnings, ReadBooleansAtDottedPaths) {
    const Json value = {{"a", {{"b", true}, {"c", "true"}}}};
    EXPECT_EQ(getJSONValueAsBoolean(value, "a.b"), true);
    EXPECT_EQ(getJSONValueAsBoolean(value, "a.c"), std::nullopt);
    EXPECT_EQ(getJSONValueAsBoolean(value, "a.b.d"), std::nullopt);
    EXPECT_EQ(getJSONValueAsBoolean(value, "x"), std::nullopt);
}

}  // namespace
