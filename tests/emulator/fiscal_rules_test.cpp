#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/FiscalRules.h"

namespace th {
namespace {

using fptr::ErrorCode;

const Clock::time_point kNow = Clock::from_time_t(1'700'000'000);

// A register with a document history, in the shift state a case asks for.
EmulatedRegisterState stateWithShift(const std::string& shift) {
    EmulatedRegisterState state;
    state.lastDocumentNumber = 10;
    state.lastSentDocumentNumber = 10;
    state.shiftNumber = 3;
    state.lastReceiptNumber = 4;
    state.shiftOpened = shift != "closed";
    state.shiftOpenedAt = Clock::to_time_t(kNow) - (shift == "expired" ? 25 * 3600 : 3600);
    return state;
}

constexpr const char* kSale =
    R"({"type":"sell","items":[{"type":"position","name":"Хлеб","price":50,"quantity":2,)"
    R"("amount":100,"tax":{"type":"vat20"}}],"payments":[{"type":"cash","sum":100}]})";

struct RuleCase {
    const char* name;
    std::string task;
    ErrorCode expected;
    const char* shift = "opened";
    void (*adjust)(RegisterConfig&) = nullptr;
    std::vector<std::pair<const char*, Json>> fields = {};
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class FiscalRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FiscalRules, AnswersOrRefusesLikeTheRegister) {
    const RuleCase& c = GetParam();
    RegisterConfig config;
    config.serial = "00106100000001";
    if (c.adjust) {
        c.adjust(config);
    }
    EmulatedRegisterState state = stateWithShift(c.shift);
    const EmulatedRegisterState before = state;

    TaskResult result = executeTask(config, state, c.task, kNow);

    EXPECT_EQ(result.code, c.expected) << result.description;
    if (result.ok()) {
        for (const auto& [path, value] : c.fields) {
            const Json* found = findPath(result.answer, path);
            ASSERT_NE(found, nullptr) << path << " in " << result.answer.dump();
            EXPECT_EQ(*found, value) << path;
        }
    } else {
        EXPECT_FALSE(result.description.empty());
        EXPECT_EQ(state, before) << "a refused task must leave the register untouched";
        EXPECT_FALSE(result.fiscalDocumentNumber.has_value());
    }
}

// Sale of 100.00 with payments and receipt members given in the text.
std::string sale(const std::string& payments, const std::string& extra = "") {
    return R"({"type":"sell","items":[{"name":"Хлеб","price":50,"quantity":2,"amount":100,)"
           R"("tax":{"type":"vat20"}}],"payments":)" +
           payments + extra + "}";
}

const std::string kOverpaidCard = sale(R"([{"type":"electronically","sum":150}])");
const std::string kCashChange = sale(R"([{"type":"cash","sum":150}])");
const std::string kMixedChange =
    sale(R"([{"type":"electronically","sum":60},{"type":"cash","sum":50}])");
const std::string kUnderpaid = sale(R"([{"type":"cash","sum":99.98}])");
const std::string kTaxesRight =
    sale(R"([{"type":"cash","sum":100}])", R"(,"taxes":[{"type":"vat20","sum":16.67}])");
const std::string kTaxesWrong =
    sale(R"([{"type":"cash","sum":100}])", R"(,"taxes":[{"type":"vat20","sum":20}])");
const std::string kTotalRight = sale(R"([{"type":"cash","sum":100}])", R"(,"total":100.00)");
const std::string kTotalWrong = sale(R"([{"type":"cash","sum":100}])", R"(,"total":101)");
const std::string kUnknownPayment = sale(R"([{"type":"bitcoin","sum":100}])");
const std::string kNoPayments = sale(R"([])");
const std::string kExtraMembers =
    sale(R"([{"type":"cash","sum":100}])",
         R"(,"external_id":"a-17","operator":{"name":"Кассир"},"futureMember":[1,2])");

// Items of a one-receipt-position sale, paid exactly in cash.
std::string items(const std::string& itemList, const char* type = "sell",
                  const char* paid = "100") {
    return std::string(R"({"type":")") + type + R"(","items":[)" + itemList +
           R"(],"payments":[{"type":"cash","sum":)" + paid + "}]}";
}

const std::string kNearAmount =
    items(R"({"name":"Тетрадь","price":33.33,"quantity":3,"amount":100,"tax":{"type":"vat10"}})");
const std::string kWeighed =
    items(R"({"name":"Сыр","price":99.99,"quantity":0.5,"amount":50,"tax":{"type":"none"}})",
          "sell", "50");
const std::string kWrongAmount =
    items(R"({"name":"Хлеб","price":50,"quantity":2,"amount":100.02,"tax":{"type":"vat20"}})");
const std::string kPriceText =
    items(R"({"name":"Хлеб","price":"50","quantity":2,"amount":100,"tax":{"type":"vat20"}})");
const std::string kNegativeQuantity =
    items(R"({"name":"Хлеб","price":50,"quantity":-2,"amount":100,"tax":{"type":"vat20"}})");
const std::string kNoTax = items(R"({"name":"Хлеб","price":50,"quantity":2,"amount":100})");
const std::string kUnknownTax =
    items(R"({"name":"Хлеб","price":50,"quantity":2,"amount":100,"tax":{"type":"vat99"}})");
const std::string kNoName =
    items(R"({"price":50,"quantity":2,"amount":100,"tax":{"type":"vat20"}})");
const std::string kOnlyText = items(R"({"type":"text","text":"Спасибо"})");
const std::string kTextAndPosition = items(
    R"({"type":"text","text":"Спасибо"},{"name":"Хлеб","price":100,"quantity":1,"amount":100,"tax":{"type":"vat20"}})");
const std::string kHugePrice =
    items(R"({"name":"Хлеб","price":1e300,"quantity":1,"amount":1e300,"tax":{"type":"vat20"}})");

// A correction receipt of 100.00 in the register's newer form: the correction's basis, then
// items and payments as in a sale.
std::string correction(const char* type, const std::string& basis) {
    return std::string(R"({"type":")") + type + R"(",)" + basis +
           R"(,"items":[{"name":"Хлеб","price":50,"quantity":2,"amount":100,)"
           R"("tax":{"type":"vat20"}}],"payments":[{"type":"cash","sum":100}]})";
}

const std::string kSelfBasis = R"("correctionType":"self","correctionBaseDate":"2024.05.31")";
const std::string kInstructionBasis =
    R"("correctionType":"instruction","correctionBaseDate":"2024.05.31",)"
    R"("correctionBaseNumber":"12-34/567")";

const std::vector<RuleCase> kCases = {
    {"SellCorrection",
     correction("sellCorrection", kSelfBasis),
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams.total", 100.0},
      {"fiscalParams.fiscalReceiptNumber", 5},
      {"fiscalParams.fiscalDocumentNumber", 11}}},
    {"SellReturnCorrectionByInstruction", correction("sellReturnCorrection", kInstructionBasis),
     ErrorCode::ok},
    {"BuyCorrection", correction("buyCorrection", kSelfBasis), ErrorCode::ok},
    {"BuyReturnCorrection", correction("buyReturnCorrection", kSelfBasis), ErrorCode::ok},
    {"CorrectionByInstructionWithoutItsNumber",
     correction("sellCorrection",
                R"("correctionType":"instruction","correctionBaseDate":"2024.05.31")"),
     ErrorCode::invalidTask},
    {"CorrectionWithoutBasisDate", correction("sellCorrection", R"("correctionType":"self")"),
     ErrorCode::invalidTask},
    {"CorrectionWithBasisDateOfAnotherForm",
     correction("sellCorrection", R"("correctionType":"self","correctionBaseDate":"31.05.2024")"),
     ErrorCode::invalidTask},
    {"CorrectionOfUnknownKind",
     correction("sellCorrection", R"("correctionType":"other","correctionBaseDate":"2024.05.31")"),
     ErrorCode::invalidTask},
    {"CorrectionOnClosedShift", correction("sellCorrection", kSelfBasis), ErrorCode::shiftClosed,
     "closed"},
    {"CorrectionWithoutPaper", correction("sellCorrection", kSelfBasis), ErrorCode::noPaper,
     "opened", [](RegisterConfig& c) { c.paperPresent = false; }},
    {"SaleWithExactCash",
     kSale,
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams.fiscalDocumentNumber", 11},
      {"fiscalParams.fiscalReceiptNumber", 5},
      {"fiscalParams.shiftNumber", 3},
      {"fiscalParams.total", 100.0},
      {"fiscalParams.change", 0.0}}},
    {"CashGivesChange",
     kCashChange,
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams.change", 50.0}}},
    {"ChangeOutOfTheCashPart",
     kMixedChange,
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams.change", 10.0}}},
    {"CardCannotGiveChange", kOverpaidCard, ErrorCode::changeFromNonCash},
    {"UnderpaidByTwoKopecks", kUnderpaid, ErrorCode::notEnoughPayment},
    {"ReceiptTaxesThatAddUp", kTaxesRight, ErrorCode::ok},
    {"ReceiptTaxesThatDoNot", kTaxesWrong, ErrorCode::taxSum},
    {"ReceiptTotalThatAddsUp", kTotalRight, ErrorCode::ok},
    {"ReceiptTotalThatDoesNot", kTotalWrong, ErrorCode::receiptTotal},
    {"AmountWithinAKopeck",
     kNearAmount,
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams.total", 100.0}}},
    {"WeighedGoods", kWeighed, ErrorCode::ok, "opened", nullptr, {{"fiscalParams.total", 50.0}}},
    {"AmountOffByTwoKopecks", kWrongAmount, ErrorCode::positionAmount},
    {"PriceAsText", kPriceText, ErrorCode::invalidTask},
    {"NegativeQuantity", kNegativeQuantity, ErrorCode::invalidTask},
    {"PositionWithoutTax", kNoTax, ErrorCode::invalidTask},
    {"UnknownTaxRate", kUnknownTax, ErrorCode::invalidTask},
    {"PositionWithoutName", kNoName, ErrorCode::invalidTask},
    {"HugePrice", kHugePrice, ErrorCode::invalidTask},
    {"NothingButText", kOnlyText, ErrorCode::invalidTask},
    {"PrintedTextBesidePosition", kTextAndPosition, ErrorCode::ok},
    {"UnknownPaymentType", kUnknownPayment, ErrorCode::invalidTask},
    {"NoPayments", kNoPayments, ErrorCode::invalidTask},
    {"UnknownMembersIgnored", kExtraMembers, ErrorCode::ok},
    {"SellReturn",
     items(R"({"name":"Хлеб","price":100,"quantity":1,"amount":100,"tax":{"type":"vat20"}})",
           "sellReturn"),
     ErrorCode::ok},
    {"SaleOnClosedShift", kSale, ErrorCode::shiftClosed, "closed"},
    {"SaleOnExpiredShift", kSale, ErrorCode::shiftExpired, "expired"},
    {"SaleWithoutPaper", kSale, ErrorCode::noPaper, "opened",
     [](RegisterConfig& c) { c.paperPresent = false; }},
    {"SaleWithCoverOpen", kSale, ErrorCode::coverOpened, "opened",
     [](RegisterConfig& c) { c.coverOpened = true; }},
    {"SaleOnBlockedRegister", kSale, ErrorCode::blocked, "opened",
     [](RegisterConfig& c) { c.blocked = true; }},
    {"SaleWithoutFn", kSale, ErrorCode::noFn, "opened",
     [](RegisterConfig& c) { c.fnPresent = false; }},
    {"SaleOnUnregisteredRegister", kSale, ErrorCode::notFiscal, "opened",
     [](RegisterConfig& c) { c.fiscal = false; }},
    {"OpenShift",
     R"({"type":"openShift","operator":{"name":"Кассир"}})",
     ErrorCode::ok,
     "closed",
     nullptr,
     {{"fiscalParams.shiftNumber", 4}, {"fiscalParams.fiscalDocumentNumber", 11}}},
    {"OpenShiftTwice", R"({"type":"openShift"})", ErrorCode::shiftOpened},
    {"OpenShiftOverExpired", R"({"type":"openShift"})", ErrorCode::shiftOpened, "expired"},
    {"CloseExpiredShift",
     R"({"type":"closeShift"})",
     ErrorCode::ok,
     "expired",
     nullptr,
     {{"fiscalParams.shiftNumber", 3}}},
    {"CloseClosedShift", R"({"type":"closeShift"})", ErrorCode::shiftClosed, "closed"},
    {"CloseShiftWithoutPaper", R"({"type":"closeShift"})", ErrorCode::noPaper, "opened",
     [](RegisterConfig& c) { c.paperPresent = false; }},
    {"ReportXOnClosedShift", R"({"type":"reportX"})", ErrorCode::ok, "closed"},
    {"ReportXWithCoverOpen", R"({"type":"reportX"})", ErrorCode::coverOpened, "opened",
     [](RegisterConfig& c) { c.coverOpened = true; }},
    {"StatusOfARegisterInTrouble",
     R"({"type":"getDeviceStatus"})",
     ErrorCode::ok,
     "expired",
     [](RegisterConfig& c) {
         c.paperPresent = false;
         c.blocked = true;
     },
     {{"deviceStatus.paperPresent", false},
      {"deviceStatus.blocked", true},
      {"deviceStatus.coverOpened", false},
      {"deviceStatus.fiscal", true},
      {"deviceStatus.fnPresent", true},
      {"deviceStatus.fnFiscal", true},
      {"deviceStatus.shift", "expired"}}},
    {"DeviceInfo",
     R"({"type":"getDeviceInfo"})",
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"deviceInfo.serial", "00106100000001"}, {"deviceInfo.modelName", "АТОЛ 30Ф"}}},
    {"FnInfoWithoutFn", R"({"type":"getFnInfo"})", ErrorCode::noFn, "opened",
     [](RegisterConfig& c) { c.fnPresent = false; }},
    {"ShiftStatus",
     R"({"type":"getShiftStatus"})",
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"shiftStatus.state", "opened"}, {"shiftStatus.number", 3}}},
    {"OfdStatus",
     R"({"type":"ofdExchangeStatus"})",
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"status.notSentCount", 0}}},
    {"FnStatus",
     R"({"type":"getFnStatus"})",
     ErrorCode::ok,
     "closed",
     nullptr,
     {{"fnStatus.fiscalDocumentNumber", 10},
      {"fnStatus.fiscalReceiptNumber", 4},
      {"fnStatus.shiftNumber", 3}}},
    {"FnStatusWithoutFn", R"({"type":"getFnStatus"})", ErrorCode::noFn, "opened",
     [](RegisterConfig& c) { c.fnPresent = false; }},
    {"LastFiscalParamsOfAStateWithoutThem",
     R"({"type":"getLastFiscalParams"})",
     ErrorCode::ok,
     "opened",
     nullptr,
     {{"fiscalParams", {{"fiscalDocumentNumber", 10}}}}},
    {"LastFiscalParamsWithoutFn", R"({"type":"getLastFiscalParams"})", ErrorCode::noFn, "opened",
     [](RegisterConfig& c) { c.fnPresent = false; }},
    {"UnknownTask", R"({"type":"fly"})", ErrorCode::invalidTask},
    {"TaskWithoutType", R"({"items":[]})", ErrorCode::invalidTask},
    {"TypeNotText", R"({"type":7})", ErrorCode::invalidTask},
    {"TaskNotAnObject", R"(["sell"])", ErrorCode::invalidTask},
    {"TaskNotJson", R"({"type":"sell",)", ErrorCode::invalidTask},
    {"EmptyTask", "", ErrorCode::invalidTask},
};

INSTANTIATE_TEST_SUITE_P(Tasks, FiscalRules, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The register's conditions give the vendor's codes and descriptions, as a real register's
// driver reports them.
TEST(FiscalRefusals, UseTheVendorsCodesAndDescriptions) {
    struct Case {
        const char* shift;
        void (*adjust)(RegisterConfig&);
        int code;
        const char* description;
    };
    const Case cases[] = {
        {"opened", [](RegisterConfig& c) { c.paperPresent = false; }, 44, "Нет бумаги"},
        {"opened", [](RegisterConfig& c) { c.coverOpened = true; }, 45, "Открыта крышка"},
        {"expired", nullptr, 68, "Смена превысила 24 часа"},
        {"closed", nullptr, 73, "Смена закрыта - операция невозможна"},
        {"opened", [](RegisterConfig& c) { c.fnPresent = false; }, 166, "ФН не найден"},
        {"opened", [](RegisterConfig& c) { c.fiscal = false; }, 89, "ККТ не зарегистрирована"},
    };
    for (const Case& c : cases) {
        RegisterConfig config;
        config.serial = "1";
        if (c.adjust)
            c.adjust(config);
        EmulatedRegisterState state = stateWithShift(c.shift);
        const TaskResult result = executeTask(config, state, kSale, kNow);
        EXPECT_EQ(static_cast<int>(result.code), c.code) << c.description;
        EXPECT_EQ(result.description, c.description);
    }
    EmulatedRegisterState opened = stateWithShift("opened");
    RegisterConfig config;
    config.serial = "1";
    const TaskResult twice = executeTask(config, opened, R"({"type":"openShift"})", kNow);
    EXPECT_EQ(static_cast<int>(twice.code), 83);
    EXPECT_EQ(twice.description, "Смена открыта, операция невозможна");
}

TaskResult run(RegisterConfig& config, EmulatedRegisterState& state, const Json& task) {
    return executeTask(config, state, dumpCompact(task), kNow);
}

Json sellOf(double price, double quantity, const std::string& paymentType, double paid,
            const char* type = "sell") {
    return {{"type", type},
            {"items",
             {{{"name", "Товар"},
               {"price", price},
               {"quantity", quantity},
               {"amount", price * quantity},
               {"tax", {{"type", "vat20"}}}}}},
            {"payments", {{{"type", paymentType}, {"sum", paid}}}}};
}

TEST(FiscalNumbering, DocumentNumbersOnlyGrowAndReceiptNumbersRestartWithTheShift) {
    RegisterConfig config;
    config.serial = "1";
    EmulatedRegisterState state;
    std::vector<Json> tasks = {{{"type", "openShift"}},
                               sellOf(10, 1, "cash", 10),
                               sellOf(20, 1, "cash", 20),
                               {{"type", "reportX"}},
                               sellOf(5, 1, "cash", 5, "sellReturn"),
                               {{"type", "closeShift"}},
                               {{"type", "openShift"}},
                               sellOf(7, 1, "cash", 7)};
    std::vector<std::int64_t> documents;
    std::vector<Json> receiptNumbers;
    for (const Json& task : tasks) {
        TaskResult result = run(config, state, task);
        ASSERT_TRUE(result.ok()) << result.description;
        if (result.fiscalDocumentNumber) {
            documents.push_back(*result.fiscalDocumentNumber);
            EXPECT_EQ(*findPath(result.answer, "fiscalParams.fiscalDocumentNumber"),
                      *result.fiscalDocumentNumber);
        }
        if (auto n = findPath(result.answer, "fiscalParams.fiscalReceiptNumber")) {
            receiptNumbers.push_back(*n);
        }
    }
    EXPECT_EQ(documents, (std::vector<std::int64_t>{2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(receiptNumbers, (std::vector<Json>{1, 2, 3, 1}));
    EXPECT_EQ(state.shiftNumber, 2);
}

// What the fiscal storage reports of its last document is what that document's answer said,
// less the change, which is no fiscal parameter; a document that is not fiscal leaves it be.
TEST(FiscalStorage, LastFiscalParamsAndStatusFollowEachFiscalDocument) {
    RegisterConfig config;
    config.serial = "1";
    EmulatedRegisterState state;
    Json first = run(config, state, {{"type", "getLastFiscalParams"}}).answer;
    EXPECT_EQ(first, (Json{{"fiscalParams", {{"fiscalDocumentNumber", 1}}}}))
        << "only the registration report so far";

    const std::vector<Json> tasks = {{{"type", "openShift"}},   sellOf(10, 1, "cash", 15),
                                     {{"type", "reportX"}},     sellOf(7.5, 2, "cash", 15, "buy"),
                                     sellOf(1, 1, "cash", 0.5), {{"type", "closeShift"}}};
    Json expected;
    bool lastIsReceipt = false;
    for (const Json& task : tasks) {
        TaskResult result = run(config, state, task);
        if (result.fiscalDocumentNumber) {
            expected = result.answer["fiscalParams"];
            expected.erase("change");
            lastIsReceipt = task["type"] == "sell" || task["type"] == "buy";
        }
        SCOPED_TRACE(task.dump());
        Json last = run(config, state, {{"type", "getLastFiscalParams"}}).answer["fiscalParams"];
        EXPECT_EQ(last, expected);
        EXPECT_EQ(last.contains("total"), lastIsReceipt);
        EXPECT_EQ(last.contains("fiscalReceiptNumber"), lastIsReceipt);
        Json status = run(config, state, {{"type", "getFnStatus"}}).answer["fnStatus"];
        EXPECT_EQ(status["fiscalDocumentNumber"], last["fiscalDocumentNumber"]);
        EXPECT_EQ(status["shiftNumber"], 1);
    }
    for (const char* member :
         {"fiscalDocumentNumber", "fiscalDocumentSign", "fiscalDocumentDateTime", "fnNumber",
          "registrationNumber", "shiftNumber", "fnsUrl"}) {
        EXPECT_TRUE(expected.contains(member)) << member;
    }
    EXPECT_EQ(expected["fiscalDocumentNumber"], 5) << "the closing of the shift";
}

TEST(FiscalTotals, ShiftTotalsAddUpThePaymentsNetOfChange) {
    RegisterConfig config;
    config.serial = "1";
    EmulatedRegisterState state;
    ASSERT_TRUE(run(config, state, {{"type", "openShift"}}).ok());
    ASSERT_TRUE(run(config, state, sellOf(33.33, 3, "cash", 100)).ok());  // change 0.01
    ASSERT_TRUE(run(config, state, sellOf(12.5, 2, "electronically", 25)).ok());
    ASSERT_TRUE(run(config, state, sellOf(0.1, 3, "cash", 1)).ok());  // change 0.70
    ASSERT_TRUE(run(config, state, sellOf(40, 1, "cash", 40, "sellReturn")).ok());
    ASSERT_FALSE(run(config, state, sellOf(1, 1, "cash", 0.5)).ok());  // refused: not counted

    Json totals = run(config, state, {{"type", "getShiftTotals"}}).answer["shiftTotals"];
    const Json& sell = totals["receipts"]["sell"];
    EXPECT_EQ(sell["count"], 3);
    EXPECT_DOUBLE_EQ(sell["sum"].get<double>(), 99.99 + 25 + 0.3);
    EXPECT_DOUBLE_EQ(sell["payments"]["cash"].get<double>(), 99.99 + 0.3);
    EXPECT_DOUBLE_EQ(sell["payments"]["electronically"].get<double>(), 25);
    EXPECT_EQ(totals["receipts"]["sellReturn"]["count"], 1);
    EXPECT_DOUBLE_EQ(totals["cashDrawer"]["sum"].get<double>(), 99.99 + 0.3 - 40);

    // A new shift starts its totals afresh; the drawer keeps its cash.
    ASSERT_TRUE(run(config, state, {{"type", "closeShift"}}).ok());
    ASSERT_TRUE(run(config, state, {{"type", "openShift"}}).ok());
    totals = run(config, state, {{"type", "getShiftTotals"}}).answer["shiftTotals"];
    EXPECT_EQ(totals["receipts"]["sell"]["count"], 0);
    EXPECT_DOUBLE_EQ(totals["cashDrawer"]["sum"].get<double>(), 99.99 + 0.3 - 40);
}

TEST(FiscalOfd, DocumentsWaitForTheOperatorWhileItIsOffline) {
    RegisterConfig config;
    config.serial = "1";
    config.ofdOnline = false;
    EmulatedRegisterState state;
    ASSERT_TRUE(run(config, state, {{"type", "openShift"}}).ok());
    ASSERT_TRUE(run(config, state, sellOf(10, 1, "cash", 10)).ok());
    Json status = run(config, state, {{"type", "ofdExchangeStatus"}}).answer["status"];
    EXPECT_EQ(status["notSentCount"], 2);
    EXPECT_EQ(status["notSentFirstDocNumber"], 2);

    config.ofdOnline = true;
    status = run(config, state, {{"type", "ofdExchangeStatus"}}).answer["status"];
    EXPECT_EQ(status["notSentCount"], 0);
}

TEST(RegisterState, SurvivesItsJsonAndRefusesADamagedOne) {
    RegisterConfig config;
    config.serial = "1";
    EmulatedRegisterState state;
    ASSERT_TRUE(run(config, state, {{"type", "openShift"}}).ok());
    ASSERT_TRUE(run(config, state, sellOf(10, 1, "prepaid", 10)).ok());
    EXPECT_EQ(stateFromJson(stateToJson(state)), state);

    state.lostAnswers = 2;
    EXPECT_EQ(stateFromJson(stateToJson(state)), state);

    for (auto [member, value] : std::vector<std::pair<const char*, Json>>{
             {"lastDocumentNumber", "three"}, {"lostAnswers", 1.5}, {"lastFiscalParams", 7}}) {
        Json damaged = stateToJson(state);
        damaged[member] = value;
        EXPECT_THROW(stateFromJson(damaged), EmulatorError) << member;
    }
}

TEST(RegisterState, AFileFromBeforeLostAnswersAndFiscalParamsStillLoads) {
    RegisterConfig config;
    config.serial = "1";
    EmulatedRegisterState state;
    ASSERT_TRUE(run(config, state, {{"type", "openShift"}}).ok());
    Json older = stateToJson(state);
    ASSERT_TRUE(older.contains("lastFiscalParams"));
    older.erase("lostAnswers");
    older.erase("lastFiscalParams");

    EmulatedRegisterState loaded = stateFromJson(older);
    EXPECT_EQ(loaded.lostAnswers, 0);
    EXPECT_TRUE(loaded.lastFiscalParams.is_null());
    EXPECT_EQ(loaded.lastDocumentNumber, 2);
    Json last = run(config, loaded, {{"type", "getLastFiscalParams"}}).answer;
    EXPECT_EQ(last, (Json{{"fiscalParams", {{"fiscalDocumentNumber", 2}}}}));
}

struct BenchMemberCase {
    const char* text;             // one register's members besides its serial
    const char* fault = nullptr;  // what the refusal names; nullptr when accepted
    double printSeconds = 0;
    std::int64_t loseAnswers = 0;
};

TEST(BenchFile, PrintSecondsAndLoseAnswersAreCheckedWhenRead) {
    const std::vector<BenchMemberCase> cases = {
        {R"()", nullptr, 0, 0},
        {R"(,"printSeconds":0.25,"loseAnswers":3)", nullptr, 0.25, 3},
        {R"(,"printSeconds":2)", nullptr, 2, 0},
        {R"(,"printSeconds":-1)", "printSeconds"},
        {R"(,"printSeconds":"2")", "printSeconds"},
        {R"(,"printSeconds":true)", "printSeconds"},
        {R"(,"printSeconds":1e9)", "printSeconds"},
        {R"(,"loseAnswers":-1)", "loseAnswers"},
        {R"(,"loseAnswers":1.5)", "loseAnswers"},
        {R"(,"loseAnswers":"2")", "loseAnswers"},
        {R"(,"loseAnswers":18446744073709551615)", "loseAnswers"},
    };
    for (const BenchMemberCase& c : cases) {
        std::string text = std::string(R"({"registers":[{"serial":"1")") + c.text + "}]}";
        SCOPED_TRACE(text);
        if (!c.fault) {
            std::vector<RegisterConfig> registers = parseBench(text);
            ASSERT_EQ(registers.size(), 1u);
            EXPECT_DOUBLE_EQ(registers[0].printSeconds, c.printSeconds);
            EXPECT_EQ(registers[0].loseAnswers, c.loseAnswers);
            continue;
        }
        try {
            parseBench(text);
            ADD_FAILURE() << "accepted";
        } catch (const EmulatorError& e) {
            std::string message = e.what();
            EXPECT_NE(message.find("emulator.json"), std::string::npos) << message;
            EXPECT_NE(message.find(std::string("registers[0].") + c.fault), std::string::npos)
                << message;
        }
    }
}

}  // namespace
}  // namespace th
