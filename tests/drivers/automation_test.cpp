#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "RecordingFptr.h"
#include "drivers/Automation.h"

using th::AutomationError;
using th::AutomationRegistry;
using th::Variant;

namespace {

std::string createError(const AutomationRegistry& registry, const std::string& progId) {
    try {
        registry.create(progId);
    } catch (const AutomationError& e) {
        return e.what();
    }
    return "<created>";
}

TEST(AutomationRegistry, ErrorsCarryTheDescriptionAndTheProgId) {
    AutomationRegistry registry;
    registry.registerProgId("Vendor.Throws", []() -> std::unique_ptr<th::IAutomationObject> {
        throw std::runtime_error("Не найден модуль libfptr10.so");
    });
    registry.registerProgId("Vendor.Null", [] { return nullptr; });
    registry.registerProgId("Vendor.Gone", [] { return nullptr; });
    registry.unregisterProgId("Vendor.Gone");

    EXPECT_EQ(createError(registry, "AddIn.Fptr10"),
              R"(Недопустимая строка с указанием класса, ProgID: "AddIn.Fptr10")");
    EXPECT_EQ(createError(registry, "Vendor.Gone"),
              R"(Недопустимая строка с указанием класса, ProgID: "Vendor.Gone")");
    EXPECT_EQ(createError(registry, "Vendor.Throws"),
              R"(Не найден модуль libfptr10.so, ProgID: "Vendor.Throws")");
    EXPECT_EQ(createError(registry, "Vendor.Null"),
              R"(Такой интерфейс не поддерживается, ProgID: "Vendor.Null")");
}

TEST(AutomationRegistry, ServesEachProgIdFromItsOwnFactoryAndLaterRegistrationWins) {
    AutomationRegistry registry;
    auto first = std::make_shared<th::test::FptrScript>();
    auto second = std::make_shared<th::test::FptrScript>();
    first->version = "first";
    second->version = "second";
    th::test::serveRecordingFptr(registry, first);
    EXPECT_TRUE(registry.isRegistered("AddIn.Fptr10"));
    EXPECT_FALSE(registry.isRegistered("addin.fptr10"));
    EXPECT_EQ(th::variantText(registry.create("AddIn.Fptr10")->invoke("version")), "first");

    th::test::serveRecordingFptr(registry, second);
    EXPECT_EQ(th::variantText(registry.create("AddIn.Fptr10")->invoke("version")), "second");
}

TEST(Variant, TextOfEveryKind) {
    EXPECT_EQ(th::variantText(Variant{}), "");
    EXPECT_EQ(th::variantText(Variant{std::int64_t{-115200}}), "-115200");
    EXPECT_EQ(th::variantText(Variant{std::string("COM3")}), "COM3");
    EXPECT_EQ(th::variantText(Variant{true}), "True");
}

TEST(Variant, IntegerAndBooleanConversions) {
    EXPECT_EQ(th::variantInt(Variant{std::int64_t{500}}), 500);
    EXPECT_EQ(th::variantInt(Variant{std::string("9223372036854775807")}), INT64_MAX);
    EXPECT_EQ(th::variantInt(Variant{std::string("-1")}), -1);
    EXPECT_TRUE(th::variantBool(Variant{std::int64_t{-1}}));
    EXPECT_FALSE(th::variantBool(Variant{std::int64_t{0}}));
    for (const Variant& bad :
         {Variant{}, Variant{std::string("")}, Variant{std::string("7a")},
          Variant{std::string(" 7")}, Variant{std::string("99999999999999999999")}}) {
        EXPECT_THROW(th::variantInt(bad), AutomationError) << th::variantText(bad);
    }
    for (const Variant& bad : {Variant{}, Variant{std::string("true")}}) {
        EXPECT_THROW(th::variantBool(bad), AutomationError);
    }
}

}  // namespace
