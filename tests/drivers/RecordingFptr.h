#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "drivers/Automation.h"

namespace th::test {

// What the recording object answers, and what it saw. Shared between the test and the
// object, which the driver owns.
struct FptrScript {
    bool opened = false;       // the connection state isOpened reports
    bool openSucceeds = true;  // what open does to it
    std::string serial;        // getParamString(LIBFPTR_PARAM_SERIAL_NUMBER)
    Variant processResult = std::int64_t{0};
    std::string answer;  // getParamString(LIBFPTR_PARAM_JSON_DATA)
    std::int64_t errorCode = 0;
    std::string errorDescription;
    std::string version;
    std::set<std::string> failing;  // members that raise AutomationError("Сбой <member>")

    // Every member call, as name or name(arg,...): numbers in decimal, texts in quotes.
    std::vector<std::string> trace;
};

// The values this object gives the LIBFPTR_ constants; chosen distinct so a trace shows
// which one was passed.
inline constexpr std::int64_t kSettingModel = 1, kModelAtolAuto = 500, kSettingPort = 2,
                              kPortUsb = 20, kPortCom = 21, kSettingComFile = 3,
                              kSettingBaudrate = 4, kPortBr115200 = 7, kParamDataType = 10,
                              kDtStatus = 11, kParamSerialNumber = 12, kParamJsonData = 13;

// An "AddIn.Fptr10" stand-in that records every call and answers from a script. Names it
// does not know raise AutomationError, as a real dispatch interface would.
class RecordingFptr : public IAutomationObject {
public:
    explicit RecordingFptr(std::shared_ptr<FptrScript> script) : script_(std::move(script)) {}
    Variant invoke(const std::string& member, const std::vector<Variant>& args) override;

private:
    Variant answer(const std::string& member, const std::vector<Variant>& args);
    std::shared_ptr<FptrScript> script_;
};

// Lets the registry serve "AddIn.Fptr10" with recording objects over the one script.
void serveRecordingFptr(AutomationRegistry& registry, std::shared_ptr<FptrScript> script);

}  // namespace th::test
