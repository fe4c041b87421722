#include "cashbox/InFlight.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "cashbox/TaskJournal.h"

namespace th {

namespace {

constexpr std::array<std::string_view, 8> kReceiptTypes = {
    "sell",           "sellReturn",           "buy",           "buyReturn",
    "sellCorrection", "sellReturnCorrection", "buyCorrection", "buyReturnCorrection"};
constexpr std::array<std::string_view, 2> kShiftDocumentTypes = {"openShift", "closeShift"};

// Totals are in roubles with kopecks; anything closer than half a kopeck is the same sum.
constexpr double kSameSum = 0.005;

template <size_t N>
bool contains(const std::array<std::string_view, N>& types, const std::string& type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

std::string typeOf(const Json& task) {
    if (!task.is_object())
        return {};
    const auto type = task.find("type");
    return type != task.end() && type->is_string() ? type->get<std::string>() : std::string();
}

std::optional<std::int64_t> integerAt(const Json& root, std::string_view path) {
    const Json* value = findPath(root, path);
    if (value == nullptr || !value->is_number_integer())
        return std::nullopt;
    return value->get<std::int64_t>();
}

std::optional<double> numberAt(const Json& object, const char* member) {
    if (!object.is_object())
        return std::nullopt;
    const auto value = object.find(member);
    if (value == object.end() || !value->is_number())
        return std::nullopt;
    return value->get<double>();
}

// A receipt's total as the register will sum it: its "total", or else its positions'
// amounts (items without a type are positions; text and barcodes are not).
std::optional<double> receiptTotal(const Json& document) {
    if (auto total = numberAt(document, "total"))
        return total;
    const auto items = document.find("items");
    if (items == document.end() || !items->is_array())
        return std::nullopt;
    double sum = 0;
    for (const Json& item : *items) {
        const std::string type = typeOf(item);
        if (!type.empty() && type != "position")
            continue;
        const auto amount = numberAt(item, "amount");
        if (!amount)
            return std::nullopt;
        sum += *amount;
    }
    return sum;
}

Json recoveredResponse(Json fiscalParams) {
    return Json{{"fiscalParams", std::move(fiscalParams)}, {"recovered", true}};
}

const Json kGetFnStatus = Json{{"type", "getFnStatus"}};
const Json kGetLastFiscalParams = Json{{"type", "getLastFiscalParams"}};

// The document was made when the count moved by exactly one and the register's last
// document can be it. Returns the row's response then.
std::optional<Json> recoveredAnswer(const Json& lastParamsAnswer, const Json& document,
                                    std::int64_t count) {
    const auto params = lastParamsAnswer.find("fiscalParams");
    if (params != lastParamsAnswer.end() && params->is_object()) {
        const auto number = integerAt(*params, "fiscalDocumentNumber");
        if ((number && *number != count) || !fiscalParamsFitDocument(*params, document))
            return std::nullopt;
        return recoveredResponse(*params);
    }
    // A register that does not offer the task refuses it; the count alone must do then.
    if (lastParamsAnswer.is_object() && lastParamsAnswer.contains("error"))
        return recoveredResponse(Json{{"fiscalDocumentNumber", count}});
    return std::nullopt;
}

}  // namespace

bool isFiscalDocument(const Json& task) {
    const std::string type = typeOf(task);
    return contains(kReceiptTypes, type) || contains(kShiftDocumentTypes, type);
}

FiscalCount readFiscalCount(const RegisterTask& run) {
    const std::optional<Json> answer = run(kGetFnStatus);
    if (!answer)
        return FiscalCount::noAnswer();
    if (auto number = integerAt(*answer, "fnStatus.fiscalDocumentNumber"))
        return FiscalCount::known(*number);
    return FiscalCount::unreadable();
}

std::optional<std::int64_t> answeredFiscalNumber(const Json& answer) {
    return integerAt(answer, "fiscalParams.fiscalDocumentNumber");
}

bool fiscalParamsFitDocument(const Json& fiscalParams, const Json& document) {
    const std::string type = typeOf(document);
    const std::optional<double> shownTotal = numberAt(fiscalParams, "total");
    if (contains(kShiftDocumentTypes, type))
        return !shownTotal && !fiscalParams.contains("fiscalReceiptNumber");
    if (!contains(kReceiptTypes, type))
        return false;
    // Without a total, a receipt number says "a receipt"; a signed document with neither is
    // a shift document; an answer that shows nothing of the kind cannot contradict.
    if (!shownTotal)
        return fiscalParams.contains("fiscalReceiptNumber") ||
               !fiscalParams.contains("fiscalDocumentSign");
    const std::optional<double> total = receiptTotal(document);
    return total && std::fabs(*total - *shownTotal) < kSameSum;
}

std::vector<SettledMark> settleInFlight(TaskJournal& journal, const std::string& serial,
                                        const RegisterTask& run) {
    const std::vector<InFlightMark> marks = journal.inFlightMarks(serial);
    if (marks.empty())
        return {};
    const FiscalCount count = readFiscalCount(run);
    if (count.kind == FiscalCount::Kind::NoAnswer)
        return {{marks.front().origId, Settlement::NoContact}};
    std::vector<SettledMark> settled;
    for (const InFlightMark& mark : marks) {
        const std::optional<CheckRow> row = journal.findCheck(serial, mark.origId);
        // Completed, acknowledged or gone meanwhile: nothing is waiting on the register.
        if (!row || row->status != statusText(CheckStatus::Added)) {
            journal.clearInFlight(serial, mark.origId);
            continue;
        }
        if (!count.isKnown() || !mark.fiscalNumberBefore) {
            settled.push_back({mark.origId, Settlement::Doubtful});
            continue;
        }
        const std::optional<Json> document = parseJson(row->data);
        const CountVerdict verdict = judgeByCount(*mark.fiscalNumberBefore, count.number,
                                                  document ? &*document : nullptr, run);
        settled.push_back({mark.origId, verdict.outcome});
        if (verdict.outcome == Settlement::NoContact)
            break;
        if (verdict.outcome == Settlement::NotMade)
            journal.clearInFlight(serial, mark.origId);
        if (verdict.outcome == Settlement::Recovered)
            journal.completeInFlight(statusText(CheckStatus::Completed),
                                     dumpCompact(*verdict.response), serial, mark.origId);
    }
    return settled;
}

CountVerdict judgeByCount(std::int64_t before, std::int64_t now, const Json* document,
                          const RegisterTask& run) {
    if (now == before)
        return {Settlement::NotMade, std::nullopt};
    if (now != before + 1 || document == nullptr)
        return {Settlement::Doubtful, std::nullopt};
    const std::optional<Json> lastParams = run(kGetLastFiscalParams);
    if (!lastParams)
        return {Settlement::NoContact, std::nullopt};
    std::optional<Json> response = recoveredAnswer(*lastParams, *document, now);
    if (!response)
        return {Settlement::Doubtful, std::nullopt};
    return {Settlement::Recovered, std::move(response)};
}

std::string doubtfulDocumentMessage(const std::string& serial, const CheckRow& row) {
    return "Касса " + serial + ": неизвестно, напечатан ли документ " + row.command + " " +
           row.orig_id + " — проверьте последние документы кассы";
}

}  // namespace th
