#include "SandboxState.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <random>
#include <set>

namespace th::sandbox {

namespace {

constexpr const char* kStateFormat = "tillhaven-sandbox-state/1";
constexpr std::array<const char*, 6> kSalepointMembers = {"kkt_serial", "address",     "place",
                                                          "token",      "kkt_reg_num", "fs_serial"};
constexpr std::array<const char*, 6> kCommands = {"test",    "authorize", "getsalepoints",
                                                  "cashbox", "tasks",     "swversion"};

std::string randomHex(size_t digits) {
    static const char* hex = "0123456789abcdef";
    std::random_device device;
    std::mt19937_64 generator(
        (static_cast<uint64_t>(device()) << 32) ^ device() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::string out;
    for (size_t i = 0; i < digits; ++i)
        out.push_back(hex[generator() & 0xF]);
    return out;
}

Json okReply(Json data) {
    Json body = Json::object();
    body["status"] = 200;
    body["message"] = "";
    body["data"] = std::move(data);
    return body;
}

DispatcherReply statusReply(int status, const std::string& message) {
    Json body = Json::object();
    body["status"] = status;
    body["message"] = message;
    return {200, body};
}

std::string textOr(const Json& object, const char* member, const std::string& fallback = "") {
    if (!object.is_object() || !object.contains(member))
        return fallback;
    return valueText(object.at(member)).value_or(fallback);
}

// The text a JSON value is known by in events and as an identifier.
std::string idText(const Json& id) {
    return valueText(id).value_or(dumpCompact(id));
}

std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

// Registers answer fiscal documents with a "fiscalDocumentNumber" somewhere inside.
std::optional<std::string> findFiscalNumber(const Json& value, int depth = 0) {
    if (depth > 8 || !value.is_structured())
        return std::nullopt;
    if (value.is_object()) {
        auto it = value.find("fiscalDocumentNumber");
        if (it != value.end())
            return valueText(*it);
    }
    for (const auto& item : value) {
        if (auto found = findFiscalNumber(item, depth + 1))
            return found;
    }
    return std::nullopt;
}

std::string describeAnswer(const std::optional<Json>& response) {
    if (!response)
        return "answer=none";
    if (auto number = findFiscalNumber(*response))
        return "fiscalDocumentNumber=" + *number;
    if (auto error = textAt(*response, "error"))
        return "error=" + oneLine(*error);
    return "answer=ok";
}

// Sale point in the member order of the "getsalepoints" answer; members beyond the six
// are kept after them.
Json normalSalepoint(const Json& given) {
    if (!given.is_object())
        throw SandboxDataError("a sale point is not a JSON object");
    Json salepoint = Json::object();
    for (const char* member : kSalepointMembers)
        salepoint[member] = textOr(given, member);
    for (auto it = given.begin(); it != given.end(); ++it) {
        if (!salepoint.contains(it.key()))
            salepoint[it.key()] = it.value();
    }
    if (salepoint["kkt_serial"].get<std::string>().empty())
        throw SandboxDataError("a sale point has no \"kkt_serial\"");
    return salepoint;
}

const Json& arrayMember(const Json& object, const char* member) {
    static const Json empty = Json::array();
    if (!object.is_object() || !object.contains(member) || !object.at(member).is_array())
        return empty;
    return object.at(member);
}

}  // namespace

std::string percentDecode(const std::string& text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// ---- construction and seed ----

SandboxState::SandboxState(const Json& seed) : idPrefix_(randomHex(8)) {
    loadSeed(seed);
}

void SandboxState::loadSeed(const Json& seed) {
    if (!seed.is_object())
        throw SandboxDataError("the seed is not a JSON object");
    std::vector<Account> accounts;
    std::set<std::string> tokens;
    for (const Json& given : arrayMember(seed, "accounts")) {
        Account account{
            textOr(given, "login"), textOr(given, "password"), textOr(given, "token"), {}};
        if (account.login.empty() || account.token.empty())
            throw SandboxDataError("every account needs a \"login\" and a \"token\"");
        if (!tokens.insert(account.token).second)
            throw SandboxDataError("two accounts share the token " + account.token);
        for (const Json& salepoint : arrayMember(given, "salepoints"))
            account.salepoints.push_back(normalSalepoint(salepoint));
        accounts.push_back(std::move(account));
    }
    if (seed.contains("accounts") && !seed.at("accounts").is_array())
        throw SandboxDataError("\"accounts\" is not an array");
    seed_ = seed;
    accounts_ = std::move(accounts);
    newVersion_ = textOr(seed, "new_version", kDefaultNewVersion);
    refuseEnrolment_ = boolAt(seed, "refuse_enrolment").value_or(false);
    // A reset keeps the mode the sandbox was started in, unless the seed names one.
    handOutOnce_ = boolAt(seed, "hand_out_once").value_or(handOutOnce_);
}

void SandboxState::setEventSink(EventSink sink) {
    std::lock_guard lock(mutex_);
    events_ = std::move(sink);
}

void SandboxState::setChangeListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(listener);
}

void SandboxState::emit(const std::string& line) {
    if (events_)
        events_(line);
}

void SandboxState::changed() {
    if (onChange_)
        onChange_();
}

bool SandboxState::isDispatcherCommand(const std::string& command) {
    return std::find(kCommands.begin(), kCommands.end(), command) != kCommands.end();
}

SandboxState::Account* SandboxState::accountByToken(const std::string& token) {
    if (token.empty())
        return nullptr;
    for (auto& account : accounts_) {
        if (account.token == token)
            return &account;
    }
    return nullptr;
}

Json* SandboxState::salepointOf(Account& account, const std::string& serial) {
    for (auto& salepoint : account.salepoints) {
        if (salepoint["kkt_serial"] == serial)
            return &salepoint;
    }
    return nullptr;
}

bool SandboxState::serialKnown(const std::string& serial) const {
    for (const auto& account : accounts_) {
        for (const auto& salepoint : account.salepoints) {
            if (salepoint["kkt_serial"] == serial)
                return true;
        }
    }
    return false;
}

SandboxState::RegisterBook& SandboxState::book(const std::string& serial) {
    return registers_[serial];
}

// ---- dispatcher requests ----

DispatcherReply SandboxState::handle(const std::string& command, const std::string& apiKey,
                                     const std::string& body) {
    std::lock_guard lock(mutex_);
    // Unknown names share one counter, so random paths cannot grow the table.
    ++requests_[isDispatcherCommand(command) ? command : "unknown"];
    changed();
    if (!isDispatcherCommand(command)) {
        Json answer = {{"status", 404}, {"message", "Неизвестная команда " + command}};
        return {404, answer};
    }
    Json request = parseJson(body).value_or(Json());
    if (command == "authorize")
        return handleAuthorize(request);
    if (command == "swversion")
        return handleSwversion();
    Account* account = accountByToken(apiKey);
    if (!account) {
        emit("unauthorized command=" + command);
        return statusReply(401, kUnauthorizedMessage);
    }
    if (command == "test")
        return handleTest();
    if (command == "getsalepoints")
        return handleSalepoints(*account);
    if (!request.is_object())
        return statusReply(400, "Некорректный запрос: ожидается объект JSON");
    if (command == "cashbox")
        return handleCashbox(*account, request);
    return handleTasks(*account, request);
}

DispatcherReply SandboxState::handleTest() {
    return {200, okReply({{"auth", true}})};
}

DispatcherReply SandboxState::handleAuthorize(const Json& body) {
    auto login = body.is_object() && body.contains("login") && body["login"].is_string()
                     ? body["login"].get<std::string>()
                     : std::string();
    auto password = body.is_object() && body.contains("password") && body["password"].is_string()
                        ? body["password"].get<std::string>()
                        : std::string();
    for (const auto& account : accounts_) {
        if (!login.empty() && account.login == login && account.password == password) {
            emit("login-ok login=" + login);
            return {200, okReply({{"auth", true}, {"token", account.token}})};
        }
    }
    emit("login-failed login=" + oneLine(login));
    return {200, okReply({{"auth", false}})};
}

DispatcherReply SandboxState::handleSalepoints(const Account& account) {
    Json data = Json::array();
    for (const auto& salepoint : account.salepoints)
        data.push_back(salepoint);
    return {200, okReply(std::move(data))};
}

DispatcherReply SandboxState::handleSwversion() {
    return {200, okReply({{"new_version", newVersion_}})};
}

DispatcherReply SandboxState::handleCashbox(Account& account, const Json& body) {
    std::string serial = textAt(body, "cashbox.deviceInfo.serial").value_or("");
    bool addRequested = textOr(body, "add") == "1";
    bool result = !serial.empty();
    if (addRequested)
        result = enrol(account, serial, body);
    if (!serial.empty()) {
        RegisterBook& reg = book(serial);
        ++reg.requests["cashbox"];
        reg.cashboxReports.push_back(body);
        if (reg.cashboxReports.size() > kCashboxReportsKept)
            reg.cashboxReports.erase(reg.cashboxReports.begin());
        emit("cashbox-report serial=" + serial + (addRequested ? " add=1" : ""));
    }
    return {200, okReply({{"result", result}})};
}

bool SandboxState::enrol(Account& account, const std::string& serial, const Json& body) {
    auto refuse = [&](const std::string& reason) {
        emit("enrolment-refused serial=" + serial + " reason=" + reason);
        return false;
    };
    if (serial.empty())
        return refuse("no-serial");
    if (refuseEnrolment_)
        return refuse("refused-by-configuration");
    if (salepointOf(account, serial))
        return true;
    if (serialKnown(serial))
        return refuse("enrolled-in-another-account");
    Json salepoint = Json::object();
    salepoint["kkt_serial"] = serial;
    salepoint["address"] = textAt(body, "reg.organization.address").value_or("");
    salepoint["place"] = textAt(body, "reg.device.paymentsAddress").value_or("Касса " + serial);
    salepoint["token"] = randomHex(32);
    salepoint["kkt_reg_num"] = textAt(body, "reg.device.registrationNumber").value_or("");
    salepoint["fs_serial"] = textAt(body, "fn.fnInfo.serial").value_or("");
    account.salepoints.push_back(salepoint);
    emit("register-enrolled serial=" + serial + " login=" + account.login);
    return true;
}

struct SandboxState::TasksReport {
    std::set<std::string> mentioned;  // ids listed in "received" or "completed"
    Json acked = Json::array();
};

DispatcherReply SandboxState::handleTasks(Account& account, const Json& body) {
    std::string serial = textOr(body, "Serial");
    Json* salepoint = salepointOf(account, serial);
    if (!salepoint) {
        emit("tasks-refused serial=" + oneLine(serial) + " reason=unknown-register");
        return statusReply(403, "Касса с серийным номером " + serial + " не найдена");
    }
    if (textOr(body, "Token") != (*salepoint)["token"].get<std::string>()) {
        emit("tasks-refused serial=" + serial + " reason=wrong-token");
        return statusReply(403, "Неверный токен кассы " + serial);
    }
    RegisterBook& reg = book(serial);
    ++reg.requests["tasks"];
    for (const char* member : {"Driver", "Shift", "Ofd", "Totals"}) {
        if (body.contains(member))
            reg.lastExchange[member] = body[member];
    }
    TasksReport report;
    recordReceived(serial, reg, arrayMember(body, "received"), report);
    recordCompleted(serial, reg, arrayMember(body, "completed"), report);
    recordCommandResults(serial, arrayMember(body, "commands"));
    Json data = Json::object();
    data["acked"] = report.acked;
    data["docs"] = docsToSend(serial, reg, report);
    data["commands"] = commandsToSend(serial, reg);
    return {200, okReply(std::move(data))};
}

SandboxState::DocRecord& SandboxState::docRecord(RegisterBook& reg, const std::string& id) {
    auto it = reg.docIndex.find(id);
    if (it != reg.docIndex.end())
        return reg.docs[it->second];
    DocRecord unknown;
    unknown.id = id;
    unknown.state = DocState::Received;
    reg.docIndex[id] = reg.docs.size();
    reg.docs.push_back(std::move(unknown));
    return reg.docs.back();
}

void SandboxState::recordReceived(const std::string& serial, RegisterBook& reg,
                                  const Json& received, TasksReport& report) {
    for (const Json& item : received) {
        auto id = valueText(item);
        if (!id)
            continue;
        report.mentioned.insert(*id);
        DocRecord& doc = docRecord(reg, *id);
        if (doc.state == DocState::Queued || doc.state == DocState::Sent) {
            doc.state = DocState::Received;
            emit("doc-received serial=" + serial + " id=" + *id);
        }
    }
}

// Every completed document is acknowledged in this very answer, also one the sandbox
// does not know (its journal row would otherwise be reported for ever) and one that was
// acknowledged before (the client did not get that answer).
void SandboxState::recordCompleted(const std::string& serial, RegisterBook& reg,
                                   const Json& completed, TasksReport& report) {
    std::set<std::string> ackedNow;
    for (const Json& entry : completed) {
        auto id = entry.is_object() && entry.contains("id") ? valueText(entry["id"]) : std::nullopt;
        if (!id)
            continue;
        report.mentioned.insert(*id);
        DocRecord& doc = docRecord(reg, *id);
        if (entry.contains("response"))
            doc.response = entry["response"];
        bool firstReport = doc.state != DocState::Acked;
        doc.state = DocState::Acked;
        ++doc.ackCount;
        if (!ackedNow.insert(*id).second)
            continue;
        if (firstReport)
            emit("doc-completed serial=" + serial + " id=" + *id + " " +
                 describeAnswer(doc.response));
        report.acked.push_back(*id);
        emit("doc-acked serial=" + serial + " id=" + *id);
    }
}

// Command results are process-wide in the client: a result may come with another
// register's request, so it is matched to its command by id across all registers.
void SandboxState::recordCommandResults(const std::string& serial, const Json& results) {
    for (const Json& entry : results) {
        if (!entry.is_object())
            continue;
        std::string owner = serial;
        CommandRecord* command = entry.contains("id") ? commandById(entry["id"], &owner) : nullptr;
        std::optional<Json> result;
        if (entry.contains("result"))
            result = entry["result"];
        if (command) {
            command->state = CommandState::Answered;
            command->result = result;
        }
        Json recorded = entry;
        recorded["reported_by"] = serial;
        book(owner).commandResults.push_back(recorded);
        std::string id = entry.contains("id") ? idText(entry["id"]) : "none";
        emit("command-result serial=" + owner + " id=" + id + " " + describeAnswer(result) +
             (command ? "" : " matched=no"));
    }
}

SandboxState::CommandRecord* SandboxState::commandById(const Json& id, std::string* ownerSerial) {
    for (auto& [serial, reg] : registers_) {
        for (auto& command : reg.commands) {
            if (command.id == id || idText(command.id) == idText(id)) {
                *ownerSerial = serial;
                return &command;
            }
        }
    }
    return nullptr;
}

// A document goes out until the client lists it in "received" or "completed"; one it
// has listed once is never sent again, so a document is stored by the client only once.
// Handing out once, a document goes out in one answer only: a client that drops it loses it.
Json SandboxState::docsToSend(const std::string& serial, RegisterBook& reg,
                              const TasksReport& report) {
    Json docs = Json::array();
    for (auto& doc : reg.docs) {
        bool waiting =
            doc.state == DocState::Queued || (doc.state == DocState::Sent && !handOutOnce_);
        if (!waiting || report.mentioned.count(doc.id))
            continue;
        doc.state = DocState::Sent;
        ++doc.sentCount;
        docs.push_back(doc.doc);
        emit("doc-sent serial=" + serial + " id=" + doc.id + " type=" + textOr(doc.doc, "type") +
             " attempt=" + std::to_string(doc.sentCount));
    }
    return docs;
}

Json SandboxState::commandsToSend(const std::string& serial, RegisterBook& reg) {
    Json commands = Json::array();
    for (auto& command : reg.commands) {
        if (command.state != CommandState::Queued)
            continue;
        command.state = CommandState::Sent;
        commands.push_back({{"id", command.id}, {"payload", command.payload}});
        emit("command-sent serial=" + serial + " id=" + idText(command.id) +
             " type=" + textOr(command.payload, "type"));
    }
    return commands;
}

// ---- admin ----

std::string SandboxState::newExternalId() {
    return "sbx-" + idPrefix_ + "-" + std::to_string(nextDocNumber_++);
}

Json SandboxState::newCommandId() {
    while (commandIdTaken(nextCommandId_))
        ++nextCommandId_;
    return nextCommandId_++;
}

bool SandboxState::commandIdTaken(const Json& id) const {
    for (const auto& [serial, reg] : registers_) {
        for (const auto& command : reg.commands) {
            if (command.id == id || idText(command.id) == idText(id))
                return true;
        }
    }
    return false;
}

std::vector<std::string> SandboxState::queueDocs(const std::string& serial, const Json& docs) {
    std::lock_guard lock(mutex_);
    if (!serialKnown(serial))
        throw AdminError(404, "no sale point has the register " + serial);
    Json list = docs.is_array() ? docs : Json::array({docs});
    RegisterBook& reg = book(serial);
    std::set<std::string> batch;
    for (const Json& doc : list) {
        if (!doc.is_object() || !doc.contains("type") || !doc["type"].is_string())
            throw AdminError(400, "a document must be an object with a text \"type\"");
        if (doc.contains("external_id")) {
            auto id = valueText(doc["external_id"]);
            if (!id || id->empty())
                throw AdminError(400, "\"external_id\" must be a non-empty text or number");
            if (reg.docIndex.count(*id) || !batch.insert(*id).second)
                throw AdminError(409, "the register already has a document " + *id);
        }
    }
    std::vector<std::string> ids;
    for (Json doc : list) {
        if (!doc.contains("external_id"))
            doc["external_id"] = newExternalId();
        DocRecord record;
        record.id = *valueText(doc["external_id"]);
        record.doc = std::move(doc);
        reg.docIndex[record.id] = reg.docs.size();
        emit("doc-queued serial=" + serial + " id=" + record.id +
             " type=" + textOr(record.doc, "type"));
        ids.push_back(record.id);
        reg.docs.push_back(std::move(record));
    }
    changed();
    return ids;
}

// A command is {"payload": {...}} with an optional "id", or a bare task object.
std::vector<Json> SandboxState::queueCommands(const std::string& serial, const Json& commands) {
    std::lock_guard lock(mutex_);
    if (!serialKnown(serial))
        throw AdminError(404, "no sale point has the register " + serial);
    Json list = commands.is_array() ? commands : Json::array({commands});
    std::vector<CommandRecord> records;
    for (const Json& given : list) {
        if (!given.is_object())
            throw AdminError(400, "a command must be a JSON object");
        CommandRecord record;
        record.payload = given.contains("payload") ? given["payload"] : given;
        if (!record.payload.is_object() || !record.payload.contains("type"))
            throw AdminError(400, "a command's payload must be a task object with \"type\"");
        if (given.contains("id")) {
            record.id = given["id"];
            if (commandIdTaken(record.id))
                throw AdminError(409, "a command with the id " + idText(record.id) + " exists");
        }
        records.push_back(std::move(record));
    }
    std::vector<Json> ids;
    RegisterBook& reg = book(serial);
    for (auto& record : records) {
        if (record.id.is_null())
            record.id = newCommandId();
        emit("command-queued serial=" + serial + " id=" + idText(record.id) +
             " type=" + textOr(record.payload, "type"));
        ids.push_back(record.id);
        reg.commands.push_back(std::move(record));
    }
    changed();
    return ids;
}

void SandboxState::configure(const Json& config) {
    std::lock_guard lock(mutex_);
    if (!config.is_object())
        throw AdminError(400, "the configuration must be a JSON object");
    if (config.contains("new_version")) {
        auto version = valueText(config["new_version"]);
        if (!version)
            throw AdminError(400, "\"new_version\" must be text");
        newVersion_ = *version;
    }
    if (config.contains("hand_out_once")) {
        if (!config["hand_out_once"].is_boolean())
            throw AdminError(400, "\"hand_out_once\" must be true or false");
        handOutOnce_ = config["hand_out_once"].get<bool>();
    }
    if (config.contains("refuse_enrolment")) {
        if (!config["refuse_enrolment"].is_boolean())
            throw AdminError(400, "\"refuse_enrolment\" must be true or false");
        refuseEnrolment_ = config["refuse_enrolment"].get<bool>();
    }
    changed();
}

void SandboxState::reset(const std::optional<Json>& seed) {
    std::lock_guard lock(mutex_);
    try {
        loadSeed(seed ? *seed : Json(seed_));
    } catch (const SandboxDataError& e) {
        throw AdminError(400, std::string("unusable seed: ") + e.what());
    }
    registers_.clear();
    requests_.clear();
    idPrefix_ = randomHex(8);
    emit("reset");
    changed();
}

std::vector<std::string> SandboxState::registerSerials() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> serials;
    for (const auto& account : accounts_) {
        for (const auto& salepoint : account.salepoints)
            serials.push_back(salepoint["kkt_serial"].get<std::string>());
    }
    return serials;
}

// ---- snapshots ----

namespace {

// Indexed by the DocState and CommandState enumerators.
constexpr std::array<const char*, 4> kDocStates = {"queued", "sent", "received", "acked"};
constexpr std::array<const char*, 3> kCommandStates = {"queued", "sent", "answered"};

template <size_t N>
int stateIndex(const Json& saved, const std::array<const char*, N>& names, const char* what) {
    std::string name = textOr(saved, "state");
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i])
            return static_cast<int>(i);
    }
    throw SandboxDataError(std::string("unknown ") + what + " state \"" + name + "\"");
}

}  // namespace

Json SandboxState::docToJson(const DocRecord& doc) {
    Json out = Json::object();
    out["external_id"] = doc.id;
    out["type"] = textOr(doc.doc, "type");
    out["state"] = kDocStates[static_cast<int>(doc.state)];
    out["sent_count"] = doc.sentCount;
    out["ack_count"] = doc.ackCount;
    out["doc"] = doc.doc;
    if (doc.response)
        out["response"] = *doc.response;
    return out;
}

Json SandboxState::commandToJson(const CommandRecord& command) {
    Json out = Json::object();
    out["id"] = command.id;
    out["payload"] = command.payload;
    out["state"] = kCommandStates[static_cast<int>(command.state)];
    if (command.result)
        out["result"] = *command.result;
    return out;
}

Json SandboxState::registerToJson(const RegisterBook& reg) const {
    Json out = Json::object();
    Json pending = Json::array(), received = Json::array(), completed = Json::array(),
         acked = Json::array(), pendingCommands = Json::array();
    out["docs"] = Json::array();
    for (const auto& doc : reg.docs) {
        out["docs"].push_back(docToJson(doc));
        if (doc.state == DocState::Queued || doc.state == DocState::Sent)
            pending.push_back(doc.id);
        if (doc.state == DocState::Received)
            received.push_back(doc.id);
        if (doc.state == DocState::Acked) {
            Json entry = {{"id", doc.id}};
            if (doc.response)
                entry["response"] = *doc.response;
            completed.push_back(entry);
            acked.push_back(doc.id);
        }
    }
    out["commands"] = Json::array();
    for (const auto& command : reg.commands) {
        out["commands"].push_back(commandToJson(command));
        if (command.state == CommandState::Queued)
            pendingCommands.push_back(command.id);
    }
    out["pending_docs"] = pending;
    out["received"] = received;
    out["completed"] = completed;
    out["acked"] = acked;
    out["pending_commands"] = pendingCommands;
    out["command_results"] = reg.commandResults;
    out["cashbox_reports"] = reg.cashboxReports;
    out["last_exchange"] = reg.lastExchange;
    out["requests"] = reg.requests;
    return out;
}

Json SandboxState::accountsToJson() const {
    Json accounts = Json::array();
    for (const auto& account : accounts_) {
        accounts.push_back({{"login", account.login},
                            {"password", account.password},
                            {"token", account.token},
                            {"salepoints", account.salepoints}});
    }
    return accounts;
}

Json SandboxState::snapshot() const {
    std::lock_guard lock(mutex_);
    Json out = Json::object();
    out["format"] = kStateFormat;
    out["new_version"] = newVersion_;
    out["refuse_enrolment"] = refuseEnrolment_;
    out["hand_out_once"] = handOutOnce_;
    out["accounts"] = accountsToJson();
    out["requests"] = requests_;
    out["registers"] = Json::object();
    for (const auto& [serial, reg] : registers_)
        out["registers"][serial] = registerToJson(reg);
    out["next_doc_number"] = nextDocNumber_;
    out["next_command_id"] = nextCommandId_;
    out["seed"] = seed_;
    return out;
}

Json SandboxState::registerSnapshot(const std::string& serial) const {
    std::lock_guard lock(mutex_);
    auto it = registers_.find(serial);
    if (it != registers_.end())
        return registerToJson(it->second);
    if (!serialKnown(serial))
        throw AdminError(404, "no sale point has the register " + serial);
    return registerToJson(RegisterBook{});
}

SandboxState::RegisterBook SandboxState::registerFromJson(const Json& saved) {
    RegisterBook reg;
    for (const Json& doc : arrayMember(saved, "docs")) {
        DocRecord record;
        record.id = textOr(doc, "external_id");
        if (record.id.empty() || reg.docIndex.count(record.id))
            throw SandboxDataError("a document without a unique \"external_id\"");
        record.doc = doc.value("doc", Json());
        record.state = static_cast<DocState>(stateIndex(doc, kDocStates, "document"));
        record.sentCount = doc.value("sent_count", 0);
        record.ackCount = doc.value("ack_count", 0);
        if (doc.contains("response"))
            record.response = doc["response"];
        reg.docIndex[record.id] = reg.docs.size();
        reg.docs.push_back(std::move(record));
    }
    for (const Json& command : arrayMember(saved, "commands")) {
        CommandRecord record;
        record.id = command.value("id", Json());
        record.payload = command.value("payload", Json::object());
        record.state = static_cast<CommandState>(stateIndex(command, kCommandStates, "command"));
        if (command.contains("result"))
            record.result = command["result"];
        reg.commands.push_back(std::move(record));
    }
    for (const Json& result : arrayMember(saved, "command_results"))
        reg.commandResults.push_back(result);
    for (const Json& report : arrayMember(saved, "cashbox_reports"))
        reg.cashboxReports.push_back(report);
    reg.lastExchange = saved.value("last_exchange", Json::object());
    reg.requests = saved.value("requests", std::map<std::string, int64_t>());
    return reg;
}

void SandboxState::restore(const Json& saved) {
    if (!saved.is_object() || textOr(saved, "format") != kStateFormat)
        throw SandboxDataError(std::string("not a sandbox state (\"format\" is not \"") +
                               kStateFormat + "\")");
    std::lock_guard lock(mutex_);
    try {
        std::map<std::string, RegisterBook> registers;
        const Json& savedRegisters = saved.value("registers", Json::object());
        for (auto it = savedRegisters.begin(); it != savedRegisters.end(); ++it)
            registers[it.key()] = registerFromJson(it.value());
        Json current = {{"accounts", saved.value("accounts", Json::array())},
                        {"new_version", saved.value("new_version", Json(kDefaultNewVersion))},
                        {"refuse_enrolment", saved.value("refuse_enrolment", false)},
                        {"hand_out_once", saved.value("hand_out_once", false)}};
        loadSeed(current);
        if (saved.contains("seed"))
            seed_ = saved["seed"];
        registers_ = std::move(registers);
        requests_ = saved.value("requests", std::map<std::string, int64_t>());
        nextDocNumber_ = saved.value("next_doc_number", int64_t{1});
        nextCommandId_ = saved.value("next_command_id", int64_t{1});
    } catch (const Json::exception& e) {
        throw SandboxDataError(std::string("a member of the wrong type: ") + e.what());
    }
}

}  // namespace th::sandbox
