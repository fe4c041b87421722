#include "emulator/FiscalRules.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

namespace th {

namespace {

using fptr::ErrorCode;

// A refusal of the register: raised inside a task, turned into its result at the end.
struct Refusal {
    ErrorCode code;
    std::string detail;
};

[[noreturn]] void refuse(ErrorCode code, std::string detail = {}) {
    throw Refusal{code, std::move(detail)};
}

// Amounts beyond this (a hundred billion roubles) no register accepts; the bound also
// keeps every sum of kopecks far from overflowing.
constexpr double kMaxMoney = 1e11;
constexpr double kMaxQuantity = 1e6;

const std::vector<std::string> kPaymentTypes = {"cash", "electronically", "prepaid", "credit",
                                                "other"};
const std::vector<std::string> kReceiptTypes = {"sell", "sellReturn", "buy", "buyReturn"};
// A correction receipt corrects the sums of a receipt type and counts among them.
const std::map<std::string, std::string> kCorrectedTypes = {{"sellCorrection", "sell"},
                                                            {"sellReturnCorrection", "sellReturn"},
                                                            {"buyCorrection", "buy"},
                                                            {"buyReturnCorrection", "buyReturn"}};
const std::set<std::string> kCorrectionKinds = {"self", "instruction"};

// Items a receipt prints without entering its sums.
const std::set<std::string> kPrintedItemTypes = {"text", "barcode", "pictureFromMemory", "pixels",
                                                 "userAttribute"};

struct TaxRate {
    int numerator;
    int denominator;
};

// A rate is the share of tax already included in an amount: 20% VAT is 20/120 of it.
const std::map<std::string, TaxRate> kTaxRates = {
    {"none", {0, 1}},     {"vat0", {0, 1}},      {"vat5", {5, 105}},   {"vat105", {5, 105}},
    {"vat7", {7, 107}},   {"vat107", {7, 107}},  {"vat10", {10, 110}}, {"vat110", {10, 110}},
    {"vat20", {20, 120}}, {"vat120", {20, 120}}, {"vat22", {22, 122}}, {"vat122", {22, 122}},
};

double roubles(std::int64_t kopecks) {
    return static_cast<double>(kopecks) / 100.0;
}

std::int64_t money(const Json& owner, const char* name, const std::string& where) {
    auto it = owner.find(name);
    if (it == owner.end() || !it->is_number()) {
        refuse(ErrorCode::invalidTask, "нет числа \"" + where + name + "\"");
    }
    double value = it->get<double>();
    if (!std::isfinite(value) || value < 0 || value > kMaxMoney) {
        refuse(ErrorCode::invalidTask, "недопустимое значение \"" + where + name + "\"");
    }
    return std::llround(value * 100.0);
}

std::string text(const Json& owner, const char* name, const std::string& where) {
    auto it = owner.find(name);
    if (it == owner.end() || !it->is_string() || it->get<std::string>().empty()) {
        refuse(ErrorCode::invalidTask, "нет строки \"" + where + name + "\"");
    }
    return it->get<std::string>();
}

const Json& array(const Json& owner, const char* name) {
    auto it = owner.find(name);
    if (it == owner.end() || !it->is_array() || it->empty()) {
        refuse(ErrorCode::invalidTask, std::string("нет непустого массива \"") + name + "\"");
    }
    return *it;
}

std::string where(const char* list, std::size_t index) {
    return std::string(list) + "[" + std::to_string(index) + "].";
}

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

std::string digits(const std::string& seed, int count) {
    std::uint64_t hash = fnv1a(seed);
    std::string result;
    for (int i = 0; i < count; ++i) {
        result.push_back(static_cast<char>('0' + hash % 10));
        hash = hash / 10 + fnv1a(seed + std::to_string(i));
    }
    return result;
}

std::string fnSerial(const RegisterConfig& config) {
    return config.fnSerial.empty() ? "99990789" + digits("fn" + config.serial, 8) : config.fnSerial;
}

std::string registrationNumber(const RegisterConfig& config) {
    return config.registrationNumber.empty() ? "000" + digits("rn" + config.serial, 13)
                                             : config.registrationNumber;
}

// The fiscal sign: ten digits that the fiscal storage derives from the document.
std::string fiscalSign(const RegisterConfig& config, std::int64_t number, std::int64_t total) {
    std::uint64_t hash =
        fnv1a(config.serial + "/" + std::to_string(number) + "/" + std::to_string(total));
    return std::to_string(1000000000ull + hash % 9000000000ull);
}

// A parsed, consistent receipt.
struct Receipt {
    std::int64_t total = 0;
    std::int64_t change = 0;
    std::map<std::string, std::int64_t> payments;  // net of change
};

struct Position {
    std::int64_t amount;
    std::string taxType;
};

std::optional<Position> readItem(const Json& item, std::size_t index) {
    std::string at = where("items", index);
    if (!item.is_object()) {
        refuse(ErrorCode::invalidTask, "\"items[" + std::to_string(index) + "]\" не объект");
    }
    auto type = item.find("type");
    if (type != item.end()) {
        if (!type->is_string()) {
            refuse(ErrorCode::invalidTask, "недопустимое значение \"" + at + "type\"");
        }
        std::string typeName = type->get<std::string>();
        if (kPrintedItemTypes.count(typeName)) {
            return std::nullopt;
        }
        if (typeName != "position") {
            refuse(ErrorCode::invalidTask, "неизвестный тип элемента \"" + typeName + "\"");
        }
    }
    text(item, "name", at);
    std::int64_t price = money(item, "price", at);
    std::int64_t amount = money(item, "amount", at);
    auto quantity = item.find("quantity");
    if (quantity == item.end() || !quantity->is_number() || !(quantity->get<double>() > 0) ||
        quantity->get<double>() > kMaxQuantity) {
        refuse(ErrorCode::invalidTask, "недопустимое значение \"" + at + "quantity\"");
    }
    double expected = static_cast<double>(price) * quantity->get<double>();
    if (std::fabs(expected - static_cast<double>(amount)) > 1.0 + 1e-6) {
        refuse(ErrorCode::positionAmount, at + "amount");
    }
    auto tax = item.find("tax");
    if (tax == item.end() || !tax->is_object()) {
        refuse(ErrorCode::invalidTask, "нет объекта \"" + at + "tax\"");
    }
    std::string taxType = text(*tax, "type", at + "tax.");
    if (!kTaxRates.count(taxType)) {
        refuse(ErrorCode::invalidTask, "неизвестная ставка налога \"" + taxType + "\"");
    }
    return Position{amount, taxType};
}

struct TaxTotals {
    std::map<std::string, std::int64_t> sum;
    std::map<std::string, std::int64_t> positions;
};

void addTax(TaxTotals& taxes, const Position& position) {
    const TaxRate& rate = kTaxRates.at(position.taxType);
    taxes.sum[position.taxType] +=
        std::llround(static_cast<double>(position.amount) * rate.numerator / rate.denominator);
    taxes.positions[position.taxType] += 1;
}

// Receipt-level tax sums are the service's own rounding: each may differ from ours by a
// kopeck per position of its rate.
void checkTaxes(const Json& task, const TaxTotals& computed) {
    auto taxes = task.find("taxes");
    if (taxes == task.end()) {
        return;
    }
    if (!taxes->is_array()) {
        refuse(ErrorCode::invalidTask, "\"taxes\" не массив");
    }
    for (std::size_t i = 0; i < taxes->size(); ++i) {
        const Json& tax = (*taxes)[i];
        std::string at = where("taxes", i);
        if (!tax.is_object()) {
            refuse(ErrorCode::invalidTask, "\"" + at + "\" не объект");
        }
        std::string type = text(tax, "type", at);
        if (!kTaxRates.count(type)) {
            refuse(ErrorCode::invalidTask, "неизвестная ставка налога \"" + type + "\"");
        }
        std::int64_t given = money(tax, "sum", at);
        auto sum = computed.sum.find(type);
        std::int64_t expected = sum == computed.sum.end() ? 0 : sum->second;
        auto count = computed.positions.find(type);
        std::int64_t tolerance = count == computed.positions.end() ? 0 : count->second;
        if (std::llabs(given - expected) > std::max<std::int64_t>(tolerance, 1)) {
            refuse(ErrorCode::taxSum, type);
        }
    }
}

std::map<std::string, std::int64_t> readPayments(const Json& task) {
    const Json& payments = array(task, "payments");
    std::map<std::string, std::int64_t> byType;
    for (std::size_t i = 0; i < payments.size(); ++i) {
        std::string at = where("payments", i);
        if (!payments[i].is_object()) {
            refuse(ErrorCode::invalidTask, "\"" + at + "\" не объект");
        }
        std::string type = text(payments[i], "type", at);
        if (std::find(kPaymentTypes.begin(), kPaymentTypes.end(), type) == kPaymentTypes.end()) {
            refuse(ErrorCode::invalidTask, "неизвестный тип оплаты \"" + type + "\"");
        }
        byType[type] += money(payments[i], "sum", at);
    }
    return byType;
}

// The date of a correction's basis, as the register takes it: "YYYY.MM.DD".
bool isBaseDate(const std::string& date) {
    if (date.size() != 10 || date[4] != '.' || date[7] != '.') {
        return false;
    }
    for (std::size_t i = 0; i < date.size(); ++i) {
        if (i != 4 && i != 7 && (date[i] < '0' || date[i] > '9')) {
            return false;
        }
    }
    return true;
}

// A correction receipt in the register's newer form: why it corrects (on its own or by an
// instruction of the tax service, which then has a number) and the date of that basis; its
// items and payments are a receipt's.
void checkCorrection(const Json& task) {
    const std::string kind = text(task, "correctionType", "");
    if (!kCorrectionKinds.count(kind)) {
        refuse(ErrorCode::invalidTask, "недопустимое значение \"correctionType\"");
    }
    if (!isBaseDate(text(task, "correctionBaseDate", ""))) {
        refuse(ErrorCode::invalidTask, "недопустимое значение \"correctionBaseDate\"");
    }
    if (kind == "instruction" || task.contains("correctionBaseNumber")) {
        text(task, "correctionBaseNumber", "");
    }
}

Receipt readReceipt(const Json& task) {
    const Json& items = array(task, "items");
    Receipt receipt;
    TaxTotals taxes;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (auto position = readItem(items[i], i)) {
            receipt.total += position->amount;
            addTax(taxes, *position);
        }
    }
    if (taxes.positions.empty()) {
        refuse(ErrorCode::invalidTask, "в чеке нет позиций");
    }
    if (task.contains("total") && std::llabs(money(task, "total", "") - receipt.total) > 1) {
        refuse(ErrorCode::receiptTotal);
    }
    checkTaxes(task, taxes);
    receipt.payments = readPayments(task);
    std::int64_t paid = 0;
    for (const auto& [type, sum] : receipt.payments) {
        paid += sum;
    }
    if (paid < receipt.total) {
        refuse(ErrorCode::notEnoughPayment);
    }
    std::int64_t cash = receipt.payments["cash"];
    // Change comes out of the drawer, so only cash can be paid beyond the total.
    if (paid - cash > receipt.total) {
        refuse(ErrorCode::changeFromNonCash);
    }
    receipt.change = paid - receipt.total;
    receipt.payments["cash"] = cash - receipt.change;
    return receipt;
}

class TaskRun {
public:
    TaskRun(const RegisterConfig& config, EmulatedRegisterState& state, const Json& task,
            Clock::time_point now)
        : config_(config), state_(state), task_(task), now_(now) {}

    Json run(const std::string& type, TaskResult& result) {
        if (config_.ofdOnline) {
            markAllSent();
        }
        static const std::map<std::string, Json (TaskRun::*)()> kStateTasks = {
            {"getDeviceInfo", &TaskRun::deviceInfo},
            {"getDeviceStatus", &TaskRun::deviceStatus},
            {"getFnInfo", &TaskRun::fnInfo},
            {"getRegistrationInfo", &TaskRun::registrationInfo},
            {"getShiftStatus", &TaskRun::shiftStatus},
            {"ofdExchangeStatus", &TaskRun::ofdExchangeStatus},
            {"getShiftTotals", &TaskRun::shiftTotals},
            {"getFnStatus", &TaskRun::fnStatus},
            {"getLastFiscalParams", &TaskRun::lastFiscalParams},
        };
        if (auto it = kStateTasks.find(type); it != kStateTasks.end()) {
            return (this->*(it->second))();
        }
        if (type == "reportX") {
            Json answer = reportX();
            result.printed = true;
            return answer;
        }
        Json answer;
        if (type == "openShift") {
            answer = openShift();
        } else if (type == "closeShift") {
            answer = closeShift();
        } else if (std::find(kReceiptTypes.begin(), kReceiptTypes.end(), type) !=
                   kReceiptTypes.end()) {
            answer = receipt(type);
        } else if (auto corrected = kCorrectedTypes.find(type);
                   corrected != kCorrectedTypes.end()) {
            answer = receipt(corrected->second, true);
        } else {
            refuse(ErrorCode::invalidTask, "неизвестный тип задания \"" + type + "\"");
        }
        result.fiscalDocumentNumber = state_.lastDocumentNumber;
        result.printed = true;
        rememberFiscalParams(answer["fiscalParams"]);
        return answer;
    }

private:
    Json deviceInfo() {
        return {{"deviceInfo",
                 {{"firmwareVersion", config_.firmwareVersion},
                  {"configurationVersion", "1.0"},
                  {"model", 67},
                  {"modelName", config_.model},
                  {"serial", config_.serial},
                  {"receiptLineLength", 48},
                  {"receiptLineLengthPix", 576},
                  {"ffdVersion", "1.2"},
                  {"fnFfdVersion", "1.2"}}}};
    }

    Json deviceStatus() {
        return {{"deviceStatus",
                 {{"blocked", config_.blocked},
                  {"coverOpened", config_.coverOpened},
                  {"currentDateTime", formatLocalTime(now_)},
                  {"fiscal", config_.fiscal},
                  {"fnFiscal", config_.fnFiscal},
                  {"fnPresent", config_.fnPresent},
                  {"invalidFn", false},
                  {"logicalNumber", 1},
                  {"model", 67},
                  {"modelName", config_.model},
                  {"paperPresent", config_.paperPresent},
                  {"printerError", false},
                  {"serial", config_.serial},
                  {"shift", shiftState(state_, now_)}}}};
    }

    Json fnInfo() {
        requireFn();
        return {{"fnInfo",
                 {{"serial", fnSerial(config_)},
                  {"ffdVersion", "1.2"},
                  {"livePhase", config_.fnFiscal ? "fiscalMode" : "readyFiscalization"},
                  {"numberOfRegistrations", config_.fnFiscal ? 1 : 0},
                  {"registrationsRemaining", config_.fnFiscal ? 29 : 30},
                  {"lastDocumentNumber", state_.lastDocumentNumber},
                  {"warnings",
                   {{"criticalFn", false},
                    {"memoryOverflow", false},
                    {"needReplacement", false},
                    {"ofdTimeout", !config_.ofdOnline}}}}}};
    }

    Json registrationInfo() {
        requireFn();
        if (!config_.fiscal || !config_.fnFiscal) {
            refuse(ErrorCode::notFiscal);
        }
        return {{"device",
                 {{"registrationNumber", registrationNumber(config_)},
                  {"ffdVersion", "1.2"},
                  {"fnsUrl", "www.nalog.gov.ru"},
                  {"paymentsAddress", config_.paymentsAddress},
                  {"offlineMode", false},
                  {"internet", true}}},
                {"organization",
                 {{"name", config_.organizationName},
                  {"vatin", config_.organizationVatin},
                  {"address", config_.organizationAddress},
                  {"email", "kassa@example.ru"},
                  {"taxationTypes", Json::array({"osn", "usnIncome"})}}},
                {"ofd",
                 {{"name", "ОФД"},
                  {"vatin", "7704211201"},
                  {"host", "ofd.example.ru"},
                  {"port", 7777}}}};
    }

    Json shiftStatus() {
        return {{"shiftStatus",
                 {{"documentsCount", state_.documentsInShift},
                  {"expirationDateTime",
                   state_.shiftOpened
                       ? formatLocalTime(Clock::from_time_t(state_.shiftOpenedAt + 24 * 60 * 60))
                       : ""},
                  {"number", state_.shiftNumber},
                  {"state", shiftState(state_, now_)}}}};
    }

    Json ofdExchangeStatus() {
        requireFn();
        std::int64_t unsent = state_.lastDocumentNumber - state_.lastSentDocumentNumber;
        Json status = {
            {"notSentCount", unsent},
            {"notSentFirstDocNumber", unsent > 0 ? state_.lastSentDocumentNumber + 1 : 0},
            {"notSentFirstDocDateTime",
             unsent > 0 ? formatLocalTime(Clock::from_time_t(state_.firstUnsentAt)) : ""}};
        return {{"status", status}};
    }

    Json shiftTotals() {
        Json receipts = Json::object();
        for (const std::string& type : kReceiptTypes) {
            const ReceiptTotals& totals = state_.totals[type];
            Json payments = Json::object();
            for (const std::string& payment : kPaymentTypes) {
                auto it = totals.payments.find(payment);
                payments[payment] = roubles(it == totals.payments.end() ? 0 : it->second);
            }
            receipts[type] = {
                {"count", totals.count}, {"sum", roubles(totals.sum)}, {"payments", payments}};
        }
        return {{"shiftTotals",
                 {{"shiftNumber", state_.shiftNumber},
                  {"receipts", receipts},
                  {"cashDrawer", {{"sum", roubles(state_.cash)}}}}}};
    }

    // The fiscal storage's counters: what it holds stays readable with the shift in any state.
    Json fnStatus() {
        requireFn();
        return {{"fnStatus",
                 {{"fiscalDocumentNumber", state_.lastDocumentNumber},
                  {"fiscalReceiptNumber", state_.lastReceiptNumber},
                  {"shiftNumber", state_.shiftNumber}}}};
    }

    // Before the first document of ours (or in a state kept before the register remembered
    // its documents' parameters) only the number is known, so only the number is given.
    Json lastFiscalParams() {
        requireFn();
        if (state_.lastFiscalParams.is_null()) {
            return {{"fiscalParams", {{"fiscalDocumentNumber", state_.lastDocumentNumber}}}};
        }
        return {{"fiscalParams", state_.lastFiscalParams}};
    }

    // The fiscal storage keeps what it signed; the change handed out is the printer's affair.
    void rememberFiscalParams(const Json& params) {
        state_.lastFiscalParams = params;
        state_.lastFiscalParams.erase("change");
    }

    Json reportX() {
        requirePrinting();
        return Json::object();
    }

    Json openShift() {
        requireFiscalDocuments();
        if (state_.shiftOpened) {
            refuse(ErrorCode::shiftOpened);
        }
        state_.shiftOpened = true;
        state_.shiftNumber += 1;
        state_.shiftOpenedAt = Clock::to_time_t(now_);
        state_.lastReceiptNumber = 0;
        state_.documentsInShift = 0;
        state_.totals.clear();
        return {{"fiscalParams", fiscalDocument(0)}};
    }

    // An expired shift can still be closed: that is how the register leaves it.
    Json closeShift() {
        requireFiscalDocuments();
        if (!state_.shiftOpened) {
            refuse(ErrorCode::shiftClosed);
        }
        Json params = fiscalDocument(0);
        state_.shiftOpened = false;
        return {{"fiscalParams", params}};
    }

    // type is the receipt type whose sums it adds to; a correction corrects that type's.
    Json receipt(const std::string& type, bool correction = false) {
        requireFiscalDocuments();
        std::string shift = shiftState(state_, now_);
        if (shift == "closed") {
            refuse(ErrorCode::shiftClosed);
        }
        if (shift == "expired") {
            refuse(ErrorCode::shiftExpired);
        }
        if (correction) {
            checkCorrection(task_);
        }
        Receipt parsed = readReceipt(task_);
        addToTotals(type, parsed);
        state_.lastReceiptNumber += 1;
        Json params = fiscalDocument(parsed.total);
        params["fiscalReceiptNumber"] = state_.lastReceiptNumber;
        params["total"] = roubles(parsed.total);
        params["change"] = roubles(parsed.change);
        return {{"fiscalParams", params}};
    }

    void addToTotals(const std::string& type, const Receipt& parsed) {
        ReceiptTotals& totals = state_.totals[type];
        totals.count += 1;
        totals.sum += parsed.total;
        for (const auto& [payment, sum] : parsed.payments) {
            totals.payments[payment] += sum;
        }
        // Sales and returned purchases bring cash in; returned sales and purchases pay it out.
        std::int64_t cash = parsed.payments.at("cash");
        state_.cash += (type == "sell" || type == "buyReturn") ? cash : -cash;
    }

    Json fiscalDocument(std::int64_t total) {
        state_.lastDocumentNumber += 1;
        state_.documentsInShift += 1;
        if (config_.ofdOnline) {
            markAllSent();
        } else if (state_.lastSentDocumentNumber == state_.lastDocumentNumber - 1) {
            state_.firstUnsentAt = Clock::to_time_t(now_);
        }
        return {{"fiscalDocumentDateTime", formatLocalTime(now_)},
                {"fiscalDocumentNumber", state_.lastDocumentNumber},
                {"fiscalDocumentSign", fiscalSign(config_, state_.lastDocumentNumber, total)},
                {"fnNumber", fnSerial(config_)},
                {"fnsUrl", "www.nalog.gov.ru"},
                {"registrationNumber", registrationNumber(config_)},
                {"shiftNumber", state_.shiftNumber}};
    }

    void markAllSent() {
        state_.lastSentDocumentNumber = state_.lastDocumentNumber;
        state_.firstUnsentAt = 0;
    }

    void requireFn() {
        if (!config_.fnPresent) {
            refuse(ErrorCode::noFn);
        }
    }

    void requirePrinting() {
        if (config_.blocked) {
            refuse(ErrorCode::blocked);
        }
        if (config_.coverOpened) {
            refuse(ErrorCode::coverOpened);
        }
        if (!config_.paperPresent) {
            refuse(ErrorCode::noPaper);
        }
    }

    void requireFiscalDocuments() {
        if (config_.blocked) {
            refuse(ErrorCode::blocked);
        }
        requireFn();
        if (!config_.fiscal || !config_.fnFiscal) {
            refuse(ErrorCode::notFiscal);
        }
        requirePrinting();
    }

    const RegisterConfig& config_;
    EmulatedRegisterState& state_;
    const Json& task_;
    Clock::time_point now_;
};

std::string describe(const Refusal& refusal) {
    std::string text = fptr::errorText(refusal.code);
    return refusal.detail.empty() ? text : text + " (" + refusal.detail + ")";
}

}  // namespace

TaskResult executeTask(const RegisterConfig& config, EmulatedRegisterState& state,
                       std::string_view taskText, Clock::time_point now) {
    TaskResult result;
    try {
        auto task = parseJson(taskText);
        if (!task) {
            refuse(ErrorCode::invalidTask, "задание не является JSON");
        }
        if (!task->is_object()) {
            refuse(ErrorCode::invalidTask, "задание должно быть объектом");
        }
        if (auto id = task->find("external_id"); id != task->end()) {
            result.externalId = *id;
        }
        auto type = task->find("type");
        if (type == task->end() || !type->is_string()) {
            refuse(ErrorCode::invalidTask, "нет строки \"type\"");
        }
        result.type = type->get<std::string>();
        // The task runs on a copy, so a refusal half-way leaves the register untouched.
        EmulatedRegisterState working = state;
        result.answer = TaskRun(config, working, *task, now).run(result.type, result);
        state = working;
    } catch (const Refusal& refusal) {
        result.code = refusal.code;
        result.description = describe(refusal);
        result.answer = Json();
        result.fiscalDocumentNumber.reset();
        result.printed = false;
    }
    return result;
}

}  // namespace th
