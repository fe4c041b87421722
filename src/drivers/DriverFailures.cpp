#include "drivers/DriverFailures.h"

#include <charconv>
#include <string>

namespace th {

DriverFailure classifyDriverFailure(std::int64_t code) {
    using namespace vendor_error;
    switch (code) {
        case kConnectionDisabled:
        case kNoConnection:
        case kPortBusy:
        case kPortNotAvailable:
        case kConnectionLost:
            return DriverFailure::OutOfReach;
        case kNoPaper:
        case kCoverOpened:
        case kPrinterFault:
        case kMechanicalFault:
        case kCutterFault:
            return DriverFailure::PrinterNotReady;
        default:
            return DriverFailure::Refusal;
    }
}

std::optional<std::int64_t> refusalCode(const Json& answer) {
    if (!answer.is_object() || answer.size() != 1)
        return std::nullopt;
    const auto error = answer.find("error");
    if (error == answer.end() || !error->is_string())
        return std::nullopt;
    const std::string& text = error->get_ref<const std::string&>();
    std::int64_t code = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (fault != std::errc() || end == text.data())
        return std::nullopt;
    return code;
}

bool isPrinterNotReady(const Json& answer) {
    const std::optional<std::int64_t> code = refusalCode(answer);
    return code && classifyDriverFailure(*code) == DriverFailure::PrinterNotReady;
}

}  // namespace th
