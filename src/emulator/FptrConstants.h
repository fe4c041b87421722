#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace th::fptr {

// The emulator's values of the vendor's LIBFPTR_ constants. The ATOL driver never holds
// them: it reads each one from the object by name, so only this table gives them meaning.
inline constexpr std::int64_t kSettingModel = 1;
inline constexpr std::int64_t kSettingPort = 2;
inline constexpr std::int64_t kSettingComFile = 3;
inline constexpr std::int64_t kSettingBaudrate = 4;

inline constexpr std::int64_t kModelAtolAuto = 500;
inline constexpr std::int64_t kPortCom = 0;
inline constexpr std::int64_t kPortUsb = 1;
inline constexpr std::int64_t kPortBr115200 = 115200;

inline constexpr std::int64_t kParamDataType = 65622;
inline constexpr std::int64_t kParamSerialNumber = 65559;
inline constexpr std::int64_t kParamModelName = 65561;
inline constexpr std::int64_t kParamJsonData = 65645;

inline constexpr std::int64_t kDtStatus = 0;

// The value of a constant read by its name; nullopt for a name that is not a constant.
std::optional<std::int64_t> constantByName(std::string_view name);

// Failure codes of the emulated driver: the vendor's codes (its LIBFPTR_ERROR_ constants)
// for the same conditions, so that a client sees from the emulator what it sees from a real
// register. The codes 1 to 4 mean the register was not reached at all.
enum class ErrorCode : int {
    ok = 0,
    connectionDisabled = 1,  // LIBFPTR_ERROR_CONNECTION_DISABLED: no connection open
    noConnection = 2,        // LIBFPTR_ERROR_NO_CONNECTION: the register does not answer
    portNotAvailable = 4,    // LIBFPTR_ERROR_PORT_NOT_AVAILABLE: the port is gone
    invalidSettings = 9,     // LIBFPTR_ERROR_INVALID_SETTINGS
    invalidParam = 13,       // LIBFPTR_ERROR_INVALID_PARAM
    positionAmount = 16,     // LIBFPTR_ERROR_INVALID_SUM
    blocked = 34,            // LIBFPTR_ERROR_MODE_BLOCKED
    noPaper = 44,            // LIBFPTR_ERROR_NO_PAPER
    coverOpened = 45,        // LIBFPTR_ERROR_COVER_OPENED
    changeFromNonCash = 52,  // LIBFPTR_ERROR_NONCACH_PAYMENTS_TOO_MUCH
    notEnoughPayment = 66,   // LIBFPTR_ERROR_NOT_FULLY_PAID
    shiftExpired = 68,       // LIBFPTR_ERROR_SHIFT_EXPIRED
    shiftClosed = 73,        // LIBFPTR_ERROR_DENIED_IN_CLOSED_SHIFT
    shiftOpened = 83,        // LIBFPTR_ERROR_DENIED_IN_OPENED_SHIFT
    notFiscal = 89,          // LIBFPTR_ERROR_FISCAL_PRINTER_NOT_ACTIVATED
    noFn = 166,              // LIBFPTR_ERROR_FN_NOT_FOUND
    receiptTotal = 227,      // LIBFPTR_ERROR_INVALID_TOTAL
    taxSum = 243,            // LIBFPTR_ERROR_INVALID_TAX_SUM
    invalidTask = 501,       // LIBFPTR_ERROR_RECEIPT_PARSE_ERROR: not JSON, malformed, unknown
};

// The text the driver gives for a code, without details.
const char* errorText(ErrorCode code);

}  // namespace th::fptr
