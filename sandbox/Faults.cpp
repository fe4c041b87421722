#include "Faults.h"

#include <array>
#include <chrono>
#include <utility>

namespace th::sandbox {

namespace {

constexpr std::array<std::pair<FaultMode, const char*>, 9> kModeNames = {{
    {FaultMode::None, "none"},
    {FaultMode::Http500, "http500"},
    {FaultMode::NotJson, "not-json"},
    {FaultMode::Huge, "huge"},
    {FaultMode::Deep, "deep"},
    {FaultMode::WrongTypes, "wrong-types"},
    {FaultMode::WrongElements, "wrong-elements"},
    {FaultMode::BadStatus, "bad-status"},
    {FaultMode::Hang, "hang"},
}};

Json withData(Json data) {
    Json body = Json::object();
    body["status"] = 200;
    body["message"] = "";
    body["data"] = std::move(data);
    return body;
}

}  // namespace

const char* faultModeName(FaultMode mode) {
    for (const auto& [value, name] : kModeNames) {
        if (value == mode)
            return name;
    }
    return "none";
}

std::optional<FaultPlan> parseFaultPlan(const Json& body, std::string& error) {
    FaultPlan plan;
    std::string mode = body.is_object() ? body.value("mode", std::string()) : std::string();
    bool known = false;
    for (const auto& [value, name] : kModeNames) {
        if (mode == name) {
            plan.mode = value;
            known = true;
        }
    }
    if (!known) {
        error =
            "\"mode\" must be one of none, http500, not-json, huge, deep, wrong-types, "
            "wrong-elements, bad-status, hang";
        return std::nullopt;
    }
    const Json& count = body.value("count", Json());
    const Json& seconds = body.value("seconds", Json(0));
    const Json& command = body.value("command", Json(""));
    if ((!count.is_null() && !count.is_number_integer()) || !seconds.is_number() ||
        !command.is_string() || !body.value("apply", Json(false)).is_boolean()) {
        error =
            "\"count\" must be an integer, \"seconds\" a number, \"command\" text, "
            "\"apply\" true or false";
        return std::nullopt;
    }
    int64_t n = count.is_null() ? 0 : count.get<int64_t>();
    plan.remaining = n > 0 ? n : -1;
    plan.seconds = seconds.get<double>();
    plan.command = command.get<std::string>();
    plan.apply = body.value("apply", false);
    return plan;
}

Json faultPlanToJson(const FaultPlan& plan) {
    Json out = Json::object();
    out["mode"] = faultModeName(plan.mode);
    out["remaining"] = plan.remaining;
    out["seconds"] = plan.seconds;
    out["command"] = plan.command;
    out["apply"] = plan.apply;
    return out;
}

void FaultSwitch::set(const FaultPlan& plan) {
    std::lock_guard lock(mutex_);
    plan_ = plan;
}

void FaultSwitch::clear() {
    set(FaultPlan{});
}

FaultPlan FaultSwitch::current() const {
    std::lock_guard lock(mutex_);
    return plan_;
}

int64_t FaultSwitch::served() const {
    std::lock_guard lock(mutex_);
    return served_;
}

FaultPlan FaultSwitch::take(const std::string& command) {
    std::lock_guard lock(mutex_);
    if (plan_.mode == FaultMode::None || (!plan_.command.empty() && plan_.command != command))
        return FaultPlan{};
    FaultPlan taken = plan_;
    ++served_;
    if (plan_.remaining > 0 && --plan_.remaining == 0)
        plan_ = FaultPlan{};
    return taken;
}

void FaultSwitch::hang(double seconds) {
    std::unique_lock lock(mutex_);
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds));
    wake_.wait_until(lock, until, [this] { return stopping_; });
}

void FaultSwitch::wakeAll() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

std::string notJsonBody() {
    return "<html><head><title>502 Bad Gateway</title></head>"
           "<body><h1>502 Bad Gateway</h1></body></html>";
}

std::string deepBody() {
    std::string body = R"({"status":200,"message":"","data":)";
    body.append(kDeepNesting, '[');
    body.append(kDeepNesting, ']');
    body += "}";
    return body;
}

Json wrongTypesBody(const std::string& command) {
    if (command == "test")
        return withData({{"auth", "true"}});
    if (command == "authorize")
        return withData({{"auth", "true"}, {"token", 12345}});
    if (command == "getsalepoints")
        return withData({{"kkt_serial", "00106700000001"}});
    if (command == "cashbox")
        return withData({{"result", "true"}});
    if (command == "tasks")
        return withData({{"acked", "sbx-1"}, {"docs", {{"external_id", "1"}}}, {"commands", 5}});
    if (command == "swversion")
        return withData({{"new_version", 1.2}});
    return withData("data");
}

Json wrongElementsBody(const std::string& command) {
    Json odd = Json::array({5, "x", nullptr, true, Json::array(), Json::object()});
    if (command == "getsalepoints") {
        Json data = odd;
        data.push_back({{"kkt_serial", 123},
                        {"address", Json::array()},
                        {"place", Json::object()},
                        {"token", nullptr},
                        {"kkt_reg_num", true},
                        {"fs_serial", 1.5}});
        return withData(data);
    }
    if (command == "tasks") {
        Json docs = odd;
        docs.push_back({{"external_id", Json::object()}, {"type", 7}});
        docs.push_back({{"type", "sell"}});
        Json commands = odd;
        commands.push_back({{"id", Json::object()}, {"payload", "x"}});
        commands.push_back({{"payload", 7}});
        return withData({{"acked", odd}, {"docs", docs}, {"commands", commands}});
    }
    return wrongTypesBody(command);
}

Json badStatusBody() {
    return {{"status", {{"code", 200}}}, {"message", 404}, {"data", Json::array()}};
}

std::string hugeBodyPrefix() {
    return R"({"status":200,"message":"","data":{"padding":")";
}

std::string hugeBodySuffix() {
    return R"("}})";
}

}  // namespace th::sandbox
