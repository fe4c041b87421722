#include "dispatcher/Messages.h"

namespace th {

Json testRequest() {
    return Json::object();
}

Json authorizeRequest(const std::string& login, const std::string& password) {
    Json request = Json::object();
    request["login"] = login;
    request["password"] = password;
    return request;
}

Json getSalePointsRequest() {
    return Json::object();
}

Json swversionRequest() {
    return Json::object();
}

Json cashboxRequest(const CashboxReport& report, bool enrol) {
    Json request = Json::object();
    request["Driver"] = report.driver;
    request["cashbox"] = report.deviceInfo;
    request["status"] = report.deviceStatus;
    request["fn"] = report.fnInfo;
    request["reg"] = report.registration;
    if (enrol)
        request["add"] = "1";
    return request;
}

Json tasksRequest(const TasksState& state) {
    Json request = Json::object();
    request["Serial"] = state.serial;
    request["Token"] = state.token;
    request["Driver"] = state.driver;
    request["Shift"] = state.shift;
    request["Ofd"] = state.ofd;
    request["Totals"] = state.totals;
    request["commands"] = state.commands.is_array() ? state.commands : Json::array();
    request["received"] = Json::array();
    for (const std::string& id : state.received)
        request["received"].push_back(id);
    request["completed"] = state.completed.is_array() ? state.completed : Json::array();
    return request;
}

Json commandResult(const Json* id, const std::optional<Json>& result) {
    Json entry = Json::object();
    if (id != nullptr)
        entry["id"] = copyJson(*id);
    if (result)
        entry["result"] = copyJson(*result);
    return entry;
}

Json completedEntry(const std::string& externalId, const std::string& storedResponse) {
    Json entry = Json::object();
    entry["id"] = externalId;
    if (std::optional<Json> response = parseJson(storedResponse))
        entry["response"] = std::move(*response);
    return entry;
}

bool isStatus200(const Json& answer) {
    return textAt(answer, "status") == "200";
}

bool testAuthorized(const Json& answer) {
    return isStatus200(answer) && boolAt(answer, "data.auth") == true;
}

AuthorizeResult authorizeResult(const Json& answer) {
    AuthorizeResult result;
    if (!isStatus200(answer))
        return result;
    std::optional<bool> auth = boolAt(answer, "data.auth");
    if (!auth)
        throw DispatcherAnswerError(kNoAuthInAnswer);
    if (!*auth)
        return result;
    std::optional<std::string> token = textAt(answer, "data.token");
    if (!token || token->empty())
        throw DispatcherAnswerError(kNoTokenInAnswer);
    result.auth = true;
    result.token = *token;
    return result;
}

std::optional<Json> salePoints(const Json& answer) {
    const Json* data = findPath(answer, "data");
    if (data == nullptr || !data->is_array())
        return std::nullopt;
    return copyJson(*data);
}

std::optional<SalePoint> readSalePoint(const Json& element) {
    if (!element.is_object())
        return std::nullopt;
    std::optional<std::string> serial = textAt(element, "kkt_serial");
    if (!serial || serial->empty())
        return std::nullopt;
    auto text = [&](const char* member) { return textAt(element, member).value_or(""); };
    return SalePoint{*serial,       text("address"),     text("place"),
                     text("token"), text("kkt_reg_num"), text("fs_serial")};
}

std::optional<bool> enrolResult(const Json& answer) {
    return boolAt(answer, "data.result");
}

namespace {

const Json kNoElements = Json::array();

// Services that write an empty list as null exist: null reads as no elements.
const Json& requireArray(const Json& answer, const char* path) {
    const Json* member = findPath(answer, path);
    if (member != nullptr && member->is_null())
        return kNoElements;
    if (member == nullptr || !member->is_array())
        throw DispatcherAnswerError(std::string(kTasksMemberNotArray) + path);
    return *member;
}

// Why a "docs" element cannot be a document of the journal; nullopt when it can. An
// "external_id" number must be an exact integer: 10^22+1 and 10^22+2 read as the same
// floating-point value, and the second sale would be taken for the first.
std::optional<std::string> documentRefusal(const Json& document) {
    if (!document.is_object())
        return std::string(kDocumentNotObject) + dumpCompact(document).substr(0, 200);
    const auto id = document.find("external_id");
    if (id == document.end())
        return std::string(kDocumentWithoutId);
    if (id->is_string() || id->is_number_integer())
        return std::nullopt;
    return std::string(kDocumentBadId) + dumpCompact(*id).substr(0, 200);
}

}  // namespace

namespace {

// Why a document's text does not parse, in the merchant's words.
std::string unreadableReason(std::string_view text) {
    if (!jsonNestingWithin(text, kMaxDocumentDepth))
        return kDocumentTooDeep;
    try {
        // Only the reason is wanted; the nesting is known to be within the limit.
        const Json parsed = Json::parse(text.begin(), text.end());
        (void)parsed;
    } catch (const Json::out_of_range&) {
        return kDocumentNumberOutOfRange;
    } catch (const Json::exception& e) {
        if (std::string_view(e.what()).find("UTF-8") != std::string_view::npos)
            return kDocumentInvalidUtf8;
    }
    return kDocumentNotJson;
}

// A member of a document read from its text alone: the value's own text must parse.
std::optional<std::string> memberTextOf(std::string_view document, const char* name) {
    const JsonScan scan = scanJson(document, name);
    if (!scan.value)
        return std::nullopt;
    const std::optional<Json> value = parseJson(scan.value->in(document), 1);
    if (!value || !(value->is_string() || value->is_number_integer()))
        return std::nullopt;
    return valueText(*value);
}

UnreadableDocument describeUnreadable(std::string_view text, size_t position) {
    UnreadableDocument document;
    document.position = position;
    document.text = std::string(text);
    document.reason = unreadableReason(text);
    if (!text.empty() && text.front() == '{') {
        document.externalId = memberTextOf(text, "external_id");
        document.type = memberTextOf(text, "type").value_or("");
    }
    return document;
}

}  // namespace

TasksAnswer readTasksAnswer(const Json& answer) {
    const Json& acked = requireArray(answer, "data.acked");
    const Json& docs = requireArray(answer, "data.docs");
    const Json& commands = requireArray(answer, "data.commands");
    TasksAnswer result;
    for (const Json& id : acked) {
        if (std::optional<std::string> text = valueText(id))
            result.acked.push_back(*text);
    }
    for (const Json& document : docs) {
        if (std::optional<std::string> refusal = documentRefusal(document))
            result.refusedDocs.push_back(*refusal);
        else
            result.docs.push_back(copyJson(document));
    }
    result.commands = copyJson(commands);
    return result;
}

std::optional<ReadAnswer> readAnswerText(std::string_view text) {
    const JsonScan scan = scanJson(text, "data.docs");
    if (!scan.wellFormed)
        return std::nullopt;
    if (!scan.value || text[scan.value->begin] != '[') {
        std::optional<Json> answer = parseJson(text);
        if (!answer)
            return std::nullopt;
        return ReadAnswer{std::move(*answer), {}};
    }
    // The answer without its documents, then each document by itself.
    const JsonSpan docs = *scan.value;
    std::string rest;
    rest.reserve(text.size() - (docs.end - docs.begin) + 2);
    rest.append(text.substr(0, docs.begin)).append("[]").append(text.substr(docs.end));
    std::optional<Json> answer = parseJson(rest);
    if (!answer)
        return std::nullopt;
    ReadAnswer read{std::move(*answer), {}};
    Json& documents = read.answer["data"]["docs"];
    for (size_t n = 0; n < scan.elements.size(); ++n) {
        const std::string_view element = scan.elements[n].in(text);
        if (std::optional<Json> document = parseJson(element, kMaxDocumentDepth))
            documents.push_back(std::move(*document));
        else
            read.unreadable.push_back(describeUnreadable(element, n + 1));
    }
    return read;
}

std::optional<std::string> documentExternalId(const Json& document) {
    return textAt(document, "external_id");
}

std::optional<std::string> documentType(const Json& document) {
    return textAt(document, "type");
}

std::optional<std::string> newVersion(const Json& answer) {
    return textAt(answer, "data.new_version");
}

}  // namespace th
