#include "emulator/FptrEmulator.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "emulator/FiscalRules.h"

namespace th {

namespace {

using fptr::ErrorCode;

constexpr const char* kDriverVersion = "10.10.0.0";

std::string describeFailure(int code, const std::string& description) {
    return std::to_string(code) + " [" + description + "]";
}

// The log line of one task: what was asked of which register and what came of it. A document
// whose answer the link lost was made all the same, so its line carries its number.
Json logLine(const std::string& serial, const TaskResult& result, bool answerLost) {
    Json line = {{"serial", serial}, {"type", result.type}};
    if (!result.externalId.is_null()) {
        line["external_id"] = result.externalId;
    }
    if (result.ok()) {
        if (result.fiscalDocumentNumber) {
            line["fiscalDocumentNumber"] = *result.fiscalDocumentNumber;
        }
        if (answerLost) {
            line["answerLost"] = true;
        }
    } else {
        line["error"] = describeFailure(static_cast<int>(result.code), result.description);
    }
    line["time"] = formatLocalTime(Clock::now());
    return line;
}

// A task that never reached a register still names its type and identifier in the log.
TaskResult unanswered(const std::string& taskText, ErrorCode code, const std::string& description) {
    TaskResult result;
    if (auto task = parseJson(taskText); task && task->is_object()) {
        if (auto type = task->find("type"); type != task->end() && type->is_string()) {
            result.type = type->get<std::string>();
        }
        if (auto id = task->find("external_id"); id != task->end()) {
            result.externalId = *id;
        }
    }
    result.code = code;
    result.description = description;
    return result;
}

// While the bench asks for lost answers, a fiscal document the register made is answered the
// way an unplugged register answers; the count is saved with the document itself.
bool loseAnswer(const RegisterConfig& config, EmulatedRegisterState& state,
                const TaskResult& result) {
    if (!result.ok() || !result.fiscalDocumentNumber || state.lostAnswers >= config.loseAnswers) {
        return false;
    }
    state.lostAnswers += 1;
    return true;
}

TaskResult withoutAnswer(TaskResult result) {
    result.code = ErrorCode::noConnection;
    result.description = fptr::errorText(ErrorCode::noConnection);
    result.answer = Json();
    return result;
}

void requireArguments(const std::string& member, const std::vector<Variant>& args,
                      std::size_t count) {
    if (args.size() != count) {
        throw AutomationError("Недопустимое число параметров: " + member);
    }
}

}  // namespace

FptrEmulator::FptrEmulator(std::shared_ptr<EmulatorBench> bench)
    : bench_(std::move(bench)), errorDescription_(fptr::errorText(ErrorCode::ok)) {}

Variant FptrEmulator::invoke(const std::string& member, const std::vector<Variant>& args) {
    struct MemberEntry {
        Member call;
        std::size_t arity;
    };
    static const std::map<std::string, MemberEntry> kMembers = {
        {"isOpened", {&FptrEmulator::isOpened, 0}},
        {"open", {&FptrEmulator::open, 0}},
        {"close", {&FptrEmulator::close, 0}},
        {"beep", {&FptrEmulator::beep, 0}},
        {"setSingleSetting", {&FptrEmulator::setSingleSetting, 2}},
        {"applySingleSettings", {&FptrEmulator::applySingleSettings, 0}},
        {"setParam", {&FptrEmulator::setParam, 2}},
        {"queryData", {&FptrEmulator::queryData, 0}},
        {"getParamString", {&FptrEmulator::getParamString, 1}},
        {"processJson", {&FptrEmulator::processJson, 0}},
        {"errorCode", {&FptrEmulator::errorCode, 0}},
        {"errorDescription", {&FptrEmulator::errorDescription, 0}},
        {"version", {&FptrEmulator::version, 0}},
    };
    if (auto it = kMembers.find(member); it != kMembers.end()) {
        requireArguments(member, args, it->second.arity);
        return (this->*(it->second.call))(args);
    }
    if (auto value = fptr::constantByName(member)) {
        requireArguments(member, args, 0);
        return *value;
    }
    throw AutomationError("Неизвестное имя: \"" + member + "\"");
}

Variant FptrEmulator::succeed() {
    errorCode_ = 0;
    errorDescription_ = fptr::errorText(ErrorCode::ok);
    return std::int64_t{0};
}

Variant FptrEmulator::failWith(int code, const std::string& description) {
    errorCode_ = code;
    errorDescription_ = description;
    return std::int64_t{-1};
}

Variant FptrEmulator::fail(ErrorCode code, const std::string& detail) {
    std::string text = fptr::errorText(code);
    return failWith(static_cast<int>(code), detail.empty() ? text : text + " (" + detail + ")");
}

Variant FptrEmulator::isOpened(const std::vector<Variant>&) {
    return connection_.has_value();
}

Variant FptrEmulator::close(const std::vector<Variant>&) {
    connection_.reset();
    return succeed();
}

Variant FptrEmulator::setSingleSetting(const std::vector<Variant>& args) {
    pendingSettings_[variantInt(args[0])] = args[1];
    return succeed();
}

Variant FptrEmulator::applySingleSettings(const std::vector<Variant>&) {
    for (const auto& [id, value] : pendingSettings_) {
        appliedSettings_[id] = value;
    }
    pendingSettings_.clear();
    return succeed();
}

Variant FptrEmulator::setParam(const std::vector<Variant>& args) {
    input_[variantInt(args[0])] = args[1];
    return std::int64_t{0};
}

Variant FptrEmulator::getParamString(const std::vector<Variant>& args) {
    auto it = output_.find(variantInt(args[0]));
    return it == output_.end() ? std::string() : it->second;
}

Variant FptrEmulator::errorCode(const std::vector<Variant>&) {
    return std::int64_t{errorCode_};
}

Variant FptrEmulator::errorDescription(const std::vector<Variant>&) {
    return errorDescription_;
}

Variant FptrEmulator::version(const std::vector<Variant>&) {
    return std::string(kDriverVersion);
}

// "USB", a COM port name, or nullopt (with the failure set) for settings that name neither.
std::optional<std::string> FptrEmulator::requestedPort() {
    std::int64_t port = fptr::kPortUsb;
    if (auto it = appliedSettings_.find(fptr::kSettingPort); it != appliedSettings_.end()) {
        try {
            port = variantInt(it->second);
        } catch (const AutomationError&) {
            port = -1;
        }
    }
    if (port == fptr::kPortUsb) {
        return std::string("USB");
    }
    if (port != fptr::kPortCom) {
        fail(ErrorCode::invalidSettings, "порт");
        return std::nullopt;
    }
    auto file = appliedSettings_.find(fptr::kSettingComFile);
    std::string name = file == appliedSettings_.end() ? "" : variantText(file->second);
    if (name.empty()) {
        fail(ErrorCode::invalidSettings, "не задан COM-порт");
        return std::nullopt;
    }
    return name;
}

// USB reaches the first register plugged into USB; a COM port reaches whatever hangs on it.
Variant FptrEmulator::open(const std::vector<Variant>&) {
    connection_.reset();
    auto port = requestedPort();
    if (!port) {
        return std::int64_t{-1};
    }
    bool silentOnPort = false;
    try {
        auto session = bench_->session();
        for (const RegisterConfig& config : session.registers()) {
            if (!config.reachable || config.port != *port) {
                continue;
            }
            if (config.silent) {
                silentOnPort = true;
                continue;
            }
            session.state(config.serial);  // a damaged state must not take documents
            connection_ = Connection{config.serial, *port};
            return succeed();
        }
    } catch (const EmulatorError& e) {
        return fail(ErrorCode::portNotAvailable, e.what());
    }
    // The port opens, but nothing answers on it.
    if (silentOnPort) {
        return fail(ErrorCode::noConnection);
    }
    return fail(ErrorCode::portNotAvailable, "нет кассы на порту " + *port);
}

std::optional<RegisterConfig> FptrEmulator::reachConnected(EmulatorBench::Session& session) {
    if (!connection_) {
        fail(ErrorCode::connectionDisabled);
        return std::nullopt;
    }
    for (const RegisterConfig& config : session.registers()) {
        if (config.serial == connection_->serial) {
            if (config.reachable && config.port == connection_->port) {
                if (config.silent) {
                    fail(ErrorCode::noConnection);
                    return std::nullopt;
                }
                return config;
            }
            break;
        }
    }
    fail(ErrorCode::portNotAvailable);
    return std::nullopt;
}

Variant FptrEmulator::beep(const std::vector<Variant>&) {
    try {
        auto session = bench_->session();
        auto config = reachConnected(session);
        if (!config) {
            return std::int64_t{-1};
        }
        EmulatedRegisterState state = session.state(config->serial);
        state.beeps += 1;
        session.saveState(config->serial, state);
    } catch (const EmulatorError& e) {
        return fail(ErrorCode::portNotAvailable, e.what());
    }
    return succeed();
}

Variant FptrEmulator::queryData(const std::vector<Variant>&) {
    auto type = input_.find(fptr::kParamDataType);
    bool status = false;
    try {
        status = type != input_.end() && variantInt(type->second) == fptr::kDtStatus;
    } catch (const AutomationError&) {
        status = false;
    }
    input_.clear();
    output_.clear();
    if (!status) {
        return fail(ErrorCode::invalidParam, "тип запроса");
    }
    try {
        auto session = bench_->session();
        auto config = reachConnected(session);
        if (!config) {
            return std::int64_t{-1};
        }
        output_[fptr::kParamSerialNumber] = config->serial;
        output_[fptr::kParamModelName] = config->model;
    } catch (const EmulatorError& e) {
        return fail(ErrorCode::portNotAvailable, e.what());
    }
    return succeed();
}

Variant FptrEmulator::processJson(const std::vector<Variant>&) {
    auto task = input_.find(fptr::kParamJsonData);
    std::string taskText = task == input_.end() ? "" : variantText(task->second);
    input_.clear();
    output_.clear();
    if (!connection_) {
        return fail(ErrorCode::connectionDisabled);
    }
    TaskOutcome outcome;
    try {
        auto session = bench_->session();
        outcome = runTask(session, taskText);
    } catch (const EmulatorError& e) {
        return fail(ErrorCode::portNotAvailable, e.what());
    }
    // The document is made and recorded; printing it holds neither the bench's mutex nor its
    // flock, so other registers, threads and processes go on meanwhile. A process killed here
    // leaves the document made and its answer never given.
    std::this_thread::sleep_for(std::chrono::duration<double>(outcome.printSeconds));
    if (outcome.printSeconds > 0 && !stillAnswering()) {
        return std::int64_t{-1};
    }
    return answer(outcome.result);
}

// A link that died during the print (the register fell silent, the cable was pulled) takes
// the answer with it: the document stays made, and the caller hears what the link says.
bool FptrEmulator::stillAnswering() {
    try {
        auto session = bench_->session();
        return reachConnected(session).has_value();
    } catch (const EmulatorError& e) {
        fail(ErrorCode::portNotAvailable, e.what());
        return false;
    }
}

Variant FptrEmulator::answer(const TaskResult& result) {
    if (!result.ok()) {
        return failWith(static_cast<int>(result.code), result.description);
    }
    output_[fptr::kParamJsonData] = dumpCompact(result.answer);
    return succeed();
}

// A task that cannot be recorded counts as never run: the caller gets no answer and will
// offer the document again, rather than holding an answer the register forgot.
FptrEmulator::TaskOutcome FptrEmulator::runTask(EmulatorBench::Session& session,
                                                const std::string& taskText) {
    TaskOutcome outcome;
    TaskResult& result = outcome.result;
    bool answerLost = false;
    try {
        std::optional<RegisterConfig> config = reachConnected(session);
        if (config) {
            EmulatedRegisterState state = session.state(config->serial);
            EmulatedRegisterState before = state;
            result = executeTask(*config, state, taskText, Clock::now());
            answerLost = loseAnswer(*config, state, result);
            if (!(state == before)) {
                session.saveState(config->serial, state);
            }
            outcome.printSeconds = result.printed ? config->printSeconds : 0;
        } else {
            result = unanswered(taskText, static_cast<ErrorCode>(errorCode_), errorDescription_);
        }
    } catch (const EmulatorError& e) {
        result = unanswered(
            taskText, ErrorCode::portNotAvailable,
            fptr::errorText(ErrorCode::portNotAvailable) + std::string(" (") + e.what() + ")");
        // Nothing was recorded: no document was made, so none prints and no answer is lost.
        answerLost = false;
        outcome.printSeconds = 0;
    }
    if (!session.appendLog(logLine(connection_->serial, result, answerLost))) {
        std::cerr << "emulator: cannot append to " << bench_->logFile() << '\n';
    }
    if (answerLost) {
        result = withoutAnswer(std::move(result));
    }
    return outcome;
}

}  // namespace th
