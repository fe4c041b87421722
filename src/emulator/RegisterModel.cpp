#include "emulator/RegisterModel.h"

#include <cmath>
#include <ctime>
#include <limits>

namespace th {

namespace {

constexpr std::int64_t kShiftLifetimeSeconds = 24 * 60 * 60;

[[noreturn]] void benchFault(const std::string& what) {
    throw EmulatorError("emulator.json: " + what);
}

void readText(const Json& entry, const char* name, std::string& target, std::size_t index) {
    auto it = entry.find(name);
    if (it == entry.end()) {
        return;
    }
    if (!it->is_string()) {
        benchFault("\"registers[" + std::to_string(index) + "]." + name + "\" должен быть строкой");
    }
    target = it->get<std::string>();
}

void readFlag(const Json& entry, const char* name, bool& target, std::size_t index) {
    auto it = entry.find(name);
    if (it == entry.end()) {
        return;
    }
    if (!it->is_boolean()) {
        benchFault("\"registers[" + std::to_string(index) + "]." + name +
                   "\" должен быть true или false");
    }
    target = it->get<bool>();
}

void readSeconds(const Json& entry, const char* name, double& target, std::size_t index) {
    auto it = entry.find(name);
    if (it == entry.end()) {
        return;
    }
    double value = it->is_number() ? it->get<double>() : -1;
    if (!std::isfinite(value) || value < 0 || value > kMaxPrintSeconds) {
        benchFault("\"registers[" + std::to_string(index) + "]." + name +
                   "\" должен быть числом секунд от 0 до " +
                   std::to_string(static_cast<int>(kMaxPrintSeconds)));
    }
    target = value;
}

void readCount(const Json& entry, const char* name, std::int64_t& target, std::size_t index) {
    auto it = entry.find(name);
    if (it == entry.end()) {
        return;
    }
    // The parser keeps every integer written without a sign as unsigned.
    bool valid =
        it->is_number_unsigned() &&
        it->get<std::uint64_t>() <= std::uint64_t{std::numeric_limits<std::int64_t>::max()};
    if (!valid) {
        benchFault("\"registers[" + std::to_string(index) + "]." + name +
                   "\" должен быть неотрицательным целым числом");
    }
    target = it->get<std::int64_t>();
}

RegisterConfig parseRegister(const Json& entry, std::size_t index) {
    if (!entry.is_object()) {
        benchFault("\"registers[" + std::to_string(index) + "]\" должен быть объектом");
    }
    RegisterConfig config;
    readText(entry, "serial", config.serial, index);
    if (config.serial.empty()) {
        benchFault("у \"registers[" + std::to_string(index) + "]\" нет \"serial\"");
    }
    readText(entry, "model", config.model, index);
    readText(entry, "port", config.port, index);
    readFlag(entry, "reachable", config.reachable, index);
    readFlag(entry, "silent", config.silent, index);
    readFlag(entry, "blocked", config.blocked, index);
    readFlag(entry, "coverOpened", config.coverOpened, index);
    readFlag(entry, "fiscal", config.fiscal, index);
    readFlag(entry, "fnPresent", config.fnPresent, index);
    readFlag(entry, "fnFiscal", config.fnFiscal, index);
    readFlag(entry, "paperPresent", config.paperPresent, index);
    readFlag(entry, "ofdOnline", config.ofdOnline, index);
    readText(entry, "firmwareVersion", config.firmwareVersion, index);
    readText(entry, "fnSerial", config.fnSerial, index);
    readText(entry, "registrationNumber", config.registrationNumber, index);
    readText(entry, "organizationName", config.organizationName, index);
    readText(entry, "organizationVatin", config.organizationVatin, index);
    readText(entry, "organizationAddress", config.organizationAddress, index);
    readText(entry, "paymentsAddress", config.paymentsAddress, index);
    readSeconds(entry, "printSeconds", config.printSeconds, index);
    readCount(entry, "loseAnswers", config.loseAnswers, index);
    return config;
}

// State members are all integers or Booleans; anything else means the file was damaged.
std::int64_t stateInt(const Json& value, const char* name) {
    auto it = value.find(name);
    if (it == value.end() || !it->is_number_integer()) {
        throw EmulatorError(std::string("emulator-state.json: нет целого \"") + name + "\"");
    }
    return it->get<std::int64_t>();
}

// Members later versions added: a file written before them reads as their default.
std::int64_t optionalStateInt(const Json& value, const char* name) {
    return value.contains(name) ? stateInt(value, name) : 0;
}

Json optionalStateObject(const Json& value, const char* name) {
    auto it = value.find(name);
    if (it == value.end() || it->is_null()) {
        return Json();
    }
    if (!it->is_object()) {
        throw EmulatorError(std::string("emulator-state.json: \"") + name +
                            "\" должен быть объектом");
    }
    return *it;
}

bool stateBool(const Json& value, const char* name) {
    auto it = value.find(name);
    if (it == value.end() || !it->is_boolean()) {
        throw EmulatorError(std::string("emulator-state.json: нет логического \"") + name + "\"");
    }
    return it->get<bool>();
}

Json totalsToJson(const ReceiptTotals& totals) {
    Json payments = Json::object();
    for (const auto& [type, sum] : totals.payments) {
        payments[type] = sum;
    }
    return Json{{"count", totals.count}, {"sum", totals.sum}, {"payments", payments}};
}

ReceiptTotals totalsFromJson(const Json& value) {
    if (!value.is_object()) {
        throw EmulatorError("emulator-state.json: итоги чеков должны быть объектом");
    }
    ReceiptTotals totals;
    totals.count = stateInt(value, "count");
    totals.sum = stateInt(value, "sum");
    auto payments = value.find("payments");
    if (payments == value.end() || !payments->is_object()) {
        throw EmulatorError("emulator-state.json: нет \"payments\" в итогах чеков");
    }
    for (const auto& [type, sum] : payments->items()) {
        totals.payments[type] = stateInt(*payments, type.c_str());
    }
    return totals;
}

}  // namespace

std::vector<RegisterConfig> parseBench(const std::string& text) {
    auto root = parseJson(text);
    if (!root || !root->is_object()) {
        benchFault("файл не является JSON-объектом");
    }
    auto registers = root->find("registers");
    if (registers == root->end() || !registers->is_array()) {
        benchFault("нет массива \"registers\"");
    }
    std::vector<RegisterConfig> result;
    for (std::size_t i = 0; i < registers->size(); ++i) {
        RegisterConfig config = parseRegister((*registers)[i], i);
        // A serial names one register and one state: two entries could not share it.
        for (const RegisterConfig& earlier : result) {
            if (earlier.serial == config.serial) {
                benchFault("серийный номер \"" + config.serial + "\" указан дважды");
            }
        }
        result.push_back(std::move(config));
    }
    return result;
}

Json stateToJson(const EmulatedRegisterState& state) {
    Json totals = Json::object();
    for (const auto& [type, receiptTotals] : state.totals) {
        totals[type] = totalsToJson(receiptTotals);
    }
    Json result{{"shiftOpened", state.shiftOpened},
                {"shiftNumber", state.shiftNumber},
                {"shiftOpenedAt", state.shiftOpenedAt},
                {"lastDocumentNumber", state.lastDocumentNumber},
                {"lastReceiptNumber", state.lastReceiptNumber},
                {"documentsInShift", state.documentsInShift},
                {"lastSentDocumentNumber", state.lastSentDocumentNumber},
                {"firstUnsentAt", state.firstUnsentAt},
                {"cash", state.cash},
                {"beeps", state.beeps},
                {"totals", totals},
                {"lostAnswers", state.lostAnswers}};
    if (!state.lastFiscalParams.is_null()) {
        result["lastFiscalParams"] = state.lastFiscalParams;
    }
    return result;
}

EmulatedRegisterState stateFromJson(const Json& value) {
    if (!value.is_object()) {
        throw EmulatorError("emulator-state.json: состояние кассы должно быть объектом");
    }
    EmulatedRegisterState state;
    state.shiftOpened = stateBool(value, "shiftOpened");
    state.shiftNumber = stateInt(value, "shiftNumber");
    state.shiftOpenedAt = stateInt(value, "shiftOpenedAt");
    state.lastDocumentNumber = stateInt(value, "lastDocumentNumber");
    state.lastReceiptNumber = stateInt(value, "lastReceiptNumber");
    state.documentsInShift = stateInt(value, "documentsInShift");
    state.lastSentDocumentNumber = stateInt(value, "lastSentDocumentNumber");
    state.firstUnsentAt = stateInt(value, "firstUnsentAt");
    state.cash = stateInt(value, "cash");
    state.beeps = stateInt(value, "beeps");
    state.lostAnswers = optionalStateInt(value, "lostAnswers");
    state.lastFiscalParams = optionalStateObject(value, "lastFiscalParams");
    auto totals = value.find("totals");
    if (totals == value.end() || !totals->is_object()) {
        throw EmulatorError("emulator-state.json: нет объекта \"totals\"");
    }
    for (const auto& [type, receiptTotals] : totals->items()) {
        state.totals[type] = totalsFromJson(receiptTotals);
    }
    return state;
}

std::string shiftState(const EmulatedRegisterState& state, Clock::time_point now) {
    if (!state.shiftOpened) {
        return "closed";
    }
    auto age = Clock::to_time_t(now) - state.shiftOpenedAt;
    return age >= kShiftLifetimeSeconds ? "expired" : "opened";
}

std::string formatLocalTime(Clock::time_point time) {
    std::time_t seconds = Clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string result(text, length);
    // strftime writes the offset as +0300; the register writes +03:00.
    if (result.size() >= 5) {
        result.insert(result.size() - 2, ":");
    }
    return result;
}

}  // namespace th
