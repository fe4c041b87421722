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

// Failure codes of the emulated driver. 4 is the one the system gives a meaning of its
// own: the register is out of reach, so the task got no answer at all.
enum class ErrorCode : int {
    ok = 0,
    connectionClosed = 1,
    badParameter = 3,
    noConnection = 4,
    unsupportedDataType = 5,
    shiftClosed = 30,
    shiftOpened = 31,
    shiftExpired = 32,
    noPaper = 40,
    coverOpened = 41,
    blocked = 42,
    noFn = 43,
    notFiscal = 44,
    invalidJson = 50,
    unknownTask = 51,
    invalidTask = 52,
    positionAmount = 53,
    receiptTotal = 54,
    notEnoughPayment = 55,
    changeFromNonCash = 56,
    taxSum = 57,
};

// The text the driver gives for a code, without details.
const char* errorText(ErrorCode code);

}  // namespace th::fptr
