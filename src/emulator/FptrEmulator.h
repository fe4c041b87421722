#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "drivers/Automation.h"
#include "emulator/EmulatorBench.h"
#include "emulator/FiscalRules.h"
#include "emulator/FptrConstants.h"

namespace th {

// Stands in for the vendor's driver object "AddIn.Fptr10" with the registers of the bench
// attached. It answers the members and LIBFPTR_ constants the ATOL driver calls and runs
// the vendor's JSON tasks on the register it is connected to. Like the vendor's object it
// is used by one thread at a time; objects on several threads share the bench.
class FptrEmulator : public IAutomationObject {
public:
    explicit FptrEmulator(std::shared_ptr<EmulatorBench> bench);

    Variant invoke(const std::string& member, const std::vector<Variant>& args = {}) override;

private:
    struct Connection {
        std::string serial;
        std::string port;  // "USB" or the COM port name it was opened on
    };
    using Member = Variant (FptrEmulator::*)(const std::vector<Variant>&);
    // A task's result and how long the register then prints, after the bench is released.
    struct TaskOutcome {
        TaskResult result;
        double printSeconds = 0;
    };

    Variant isOpened(const std::vector<Variant>&);
    Variant open(const std::vector<Variant>&);
    Variant close(const std::vector<Variant>&);
    Variant beep(const std::vector<Variant>&);
    Variant setSingleSetting(const std::vector<Variant>& args);
    Variant applySingleSettings(const std::vector<Variant>&);
    Variant setParam(const std::vector<Variant>& args);
    Variant queryData(const std::vector<Variant>&);
    Variant getParamString(const std::vector<Variant>& args);
    Variant processJson(const std::vector<Variant>&);
    Variant errorCode(const std::vector<Variant>&);
    Variant errorDescription(const std::vector<Variant>&);
    Variant version(const std::vector<Variant>&);

    std::optional<std::string> requestedPort();
    // The connected register as the bench now describes it; nullopt (and the failure set)
    // when the connection is closed or the register went out of reach.
    std::optional<RegisterConfig> reachConnected(EmulatorBench::Session& session);
    bool stillAnswering();
    TaskOutcome runTask(EmulatorBench::Session& session, const std::string& taskText);
    Variant answer(const TaskResult& result);
    Variant succeed();
    Variant fail(fptr::ErrorCode code, const std::string& detail = {});
    Variant failWith(int code, const std::string& description);

    std::shared_ptr<EmulatorBench> bench_;
    std::map<std::int64_t, Variant> pendingSettings_;
    std::map<std::int64_t, Variant> appliedSettings_;
    std::map<std::int64_t, Variant> input_;
    std::map<std::int64_t, std::string> output_;
    std::optional<Connection> connection_;
    int errorCode_ = 0;
    std::string errorDescription_;
};

}  // namespace th
