#pragma once

#include <cstdint>
#include <optional>

#include "platform/Json.h"

namespace th {

// What a failure code of the vendor's register driver means to this program. The numbers
// are the vendor's (its LIBFPTR_ERROR_ constants); this is the one place that reads them.
enum class DriverFailure {
    // The register cannot be reached: no answer at all, whatever the task was.
    OutOfReach,
    // The register refused because its printer cannot print now (paper, cover, a fault):
    // every document after this one would be refused the same way.
    PrinterNotReady,
    // The register refused this task.
    Refusal,
};

namespace vendor_error {
inline constexpr std::int64_t kConnectionDisabled = 1;  // LIBFPTR_ERROR_CONNECTION_DISABLED
inline constexpr std::int64_t kNoConnection = 2;        // LIBFPTR_ERROR_NO_CONNECTION
inline constexpr std::int64_t kPortBusy = 3;            // LIBFPTR_ERROR_PORT_BUSY
inline constexpr std::int64_t kPortNotAvailable = 4;    // LIBFPTR_ERROR_PORT_NOT_AVAILABLE
inline constexpr std::int64_t kConnectionLost = 241;    // LIBFPTR_ERROR_CONNECTION_LOST
inline constexpr std::int64_t kNoPaper = 44;            // LIBFPTR_ERROR_NO_PAPER
inline constexpr std::int64_t kCoverOpened = 45;        // LIBFPTR_ERROR_COVER_OPENED
inline constexpr std::int64_t kPrinterFault = 46;       // LIBFPTR_ERROR_PRINTER_FAULT
inline constexpr std::int64_t kMechanicalFault = 47;    // LIBFPTR_ERROR_MECHANICAL_FAULT
inline constexpr std::int64_t kCutterFault = 150;       // LIBFPTR_ERROR_CUTTER_FAULT
}  // namespace vendor_error

DriverFailure classifyDriverFailure(std::int64_t code);

// The failure code of a refusal the driver reported as {"error": "<code> [<description>]"};
// nullopt for any other answer.
std::optional<std::int64_t> refusalCode(const Json& answer);

// A refusal caused by the register's printer rather than by the document.
bool isPrinterNotReady(const Json& answer);

}  // namespace th
