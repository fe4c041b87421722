// The native backend's own failures, and the vendor's values reaching the library, against
// stand-in libraries built with the tests.
#include <gtest/gtest.h>

#include "NativeTestKit.h"
#include "drivers/AtolDriver.h"
#include "drivers/native/NativeFptr.h"
#include "drivers/native/WideText.h"
#include "emulator/RegisterBackends.h"

namespace th {
namespace {

using test::ScopedEnv;

std::string creationError(const std::string& registerDriver) {
    AutomationRegistry registry;
    installRegisterBackend(registry, registerDriver, "/nonexistent");
    try {
        AtolDriver driver("STUB-0001", registry);
    } catch (const AutomationError& e) {
        return e.what();
    }
    return "(created)";
}

TEST(NativeBackendCreation, FailsWithTheLoadersDescriptionAndTheProgId) {
    const std::string missing = "/nonexistent/atol/libfptr10.so";
    EXPECT_EQ(creationError(missing),
              missing +
                  ": cannot open shared object file: No such file or directory, "
                  "ProgID: \"AddIn.Fptr10\"");
    EXPECT_EQ(creationError(test::kIncompleteStubLibrary),
              std::string(test::kIncompleteStubLibrary) +
                  ": undefined symbol: libfptr_set_single_setting, ProgID: \"AddIn.Fptr10\"");
}

TEST(NativeBackendCreation, ALibraryRefusingAHandleGivesItsDescription) {
    ScopedEnv refusal("FPTR10_STUB_CREATE_ERROR", "Лицензия не активирована");
    EXPECT_EQ(creationError(test::kStubLibrary),
              "Лицензия не активирована, ProgID: \"AddIn.Fptr10\"");
}

TEST(NativeBackendCreation, OnlyLibraryPathsInstallIt) {
    for (const char* value : {"", "Emulator", "atol", "C:\\Program Files\\ATOL"}) {
        AutomationRegistry registry;
        installRegisterBackend(registry, value, "/nonexistent");
        EXPECT_FALSE(registry.isRegistered(kFptrProgId)) << value;
    }
    for (const char* value : {"/opt/atol/libfptr10.so", "libfptr10.so", "./lib/libfptr10.so.10"}) {
        AutomationRegistry registry;
        installRegisterBackend(registry, value, "/nonexistent");
        EXPECT_TRUE(registry.isRegistered(kFptrProgId)) << value;
    }
}

class AtolOnStub : public ::testing::Test {
protected:
    void SetUp() override {
        installRegisterBackend(registry, test::kStubLibrary, "/nonexistent");
        drv = std::make_unique<AtolDriver>("STUB-0001", registry);
        drv->setComType("USB");
    }
    AutomationRegistry registry;
    std::unique_ptr<AtolDriver> drv;
};

// The stub opens only with the vendor's model and port values and reports its serial only
// for the vendor's parameter and data type numbers.
TEST_F(AtolOnStub, ConnectsWithTheVendorsValues) {
    drv->connect();
    EXPECT_TRUE(drv->isConnected());
    EXPECT_EQ(drv->getVersion(), "10.0.0.0-stub");
}

TEST_F(AtolOnStub, TaskFailuresBecomeErrorsOrNoAnswer) {
    drv->connect();
    Json echo = {{"type", "getDeviceInfo"}, {"note", std::string(3000, 'x') + "ё"}};
    EXPECT_EQ(drv->processJSON(&echo), (Json{{"echo", echo}}));

    Json failing = {{"type", "fail"}};
    EXPECT_EQ(drv->processJSON(&failing),
              (Json{{"error", "501 [Ошибка парсинга запроса «fail»]"}}));
    Json lost = {{"type", "lost"}};
    EXPECT_EQ(drv->processJSON(&lost), std::nullopt);
}

// A library claiming to need an absurd buffer is refused rather than obeyed.
TEST_F(AtolOnStub, AnAbsurdTextSizeIsAnAutomationError) {
    ScopedEnv claimed("FPTR10_STUB_CLAIMED_SIZE", "2000000000");
    try {
        drv->connect();
        FAIL() << "the serial number cannot be read";
    } catch (const AutomationError& e) {
        EXPECT_STREQ(e.what(), "Слишком длинный текст от драйвера ККТ: 2000000000 символов");
    }
    Json task = {{"type", "getDeviceInfo"}};
    EXPECT_EQ(drv->processJSON(&task), std::nullopt);
}

TEST(NativeFptrMembers, UnknownNamesAndWrongArgumentsAreAutomationErrors) {
    AutomationRegistry registry;
    installRegisterBackend(registry, test::kStubLibrary, "/nonexistent");
    auto fptr = registry.create(kFptrProgId);
    EXPECT_EQ(variantText(fptr->invoke("LIBFPTR_SETTING_MODEL")), "Model");
    EXPECT_EQ(variantInt(fptr->invoke("LIBFPTR_PARAM_JSON_DATA")), 65645);

    const std::vector<std::pair<std::string, std::vector<Variant>>> refused = {
        {"LIBFPTR_NO_SUCH_CONSTANT", {}},
        {"printText", {}},
        {"beep", {std::int64_t{1}}},
        {"setParam", {std::int64_t{65645}}},
        {"setParam", {std::int64_t{65645}, std::int64_t{-1}}},
        {"setParam", {std::string("not a number"), std::string("x")}},
        {"setParam", {std::int64_t{1} << 40, std::string("x")}},
        {"setSingleSetting", {std::string("Model"), Variant{}}},
        {"getParamString", {Variant{}}},
    };
    for (const auto& [member, args] : refused) {
        EXPECT_THROW(fptr->invoke(member, args), AutomationError) << member;
    }
}

TEST(WideText, RoundTripsAndReplacesWhatIsNotText) {
    const std::string text = "Касса №1 😀";
    EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
    EXPECT_EQ(utf8ToWide(text).size(), 10u);  // one wchar_t per code point
    EXPECT_EQ(utf8ToWide("a\xff"), L"a\uFFFD");
    const wchar_t notText[] = {L'a', static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ(wideToUtf8(notText), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace th
