#include "drivers/AtolDriver.h"

#include <string>
#include <variant>

#include "drivers/DriverFailures.h"

namespace th {

// Everything this driver calls on "AddIn.Fptr10", by name. Any object serving that ProgID
// (the vendor's driver or a stand-in) must answer exactly these names.
//
// Members called with arguments:
//   setSingleSetting(setting, value), setParam(param, value), getParamString(param)
// Members called without arguments, the result ignored:
//   close, open, beep, applySingleSettings, queryData
// Member called without arguments, the result read as text:
//   processJson (the result code, "-1" on failure)
// Members read without arguments:
//   isOpened (Boolean), errorCode (integer), errorDescription (text), version (text)
// Constants read without arguments, each at the moment it is used:
//   LIBFPTR_SETTING_MODEL, LIBFPTR_MODEL_ATOL_AUTO, LIBFPTR_SETTING_PORT, LIBFPTR_PORT_USB,
//   LIBFPTR_PORT_COM, LIBFPTR_SETTING_COM_FILE, LIBFPTR_SETTING_BAUDRATE,
//   LIBFPTR_PORT_BR_115200, LIBFPTR_PARAM_DATA_TYPE, LIBFPTR_DT_STATUS,
//   LIBFPTR_PARAM_SERIAL_NUMBER, LIBFPTR_PARAM_JSON_DATA
// LIBFPTR_MODEL_ATOL_AUTO and LIBFPTR_PORT_BR_115200 are handed on as decimal text; every
// other constant is handed on as the object gave it.
namespace {
namespace member {
constexpr const char* isOpened = "isOpened";
constexpr const char* close = "close";
constexpr const char* open = "open";
constexpr const char* beep = "beep";
constexpr const char* setSingleSetting = "setSingleSetting";
constexpr const char* applySingleSettings = "applySingleSettings";
constexpr const char* setParam = "setParam";
constexpr const char* queryData = "queryData";
constexpr const char* getParamString = "getParamString";
constexpr const char* processJson = "processJson";
constexpr const char* errorCode = "errorCode";
constexpr const char* errorDescription = "errorDescription";
constexpr const char* version = "version";
}  // namespace member

// Result code of a failed processJson.
constexpr const char* kFailedResultCode = "-1";
constexpr const char* kBadConnectionTypeText = "Некорректный тип соединения";
constexpr const char* kCannotConnectText = "Невозможно подключиться к кассе";
constexpr const char* kOtherSerialText = "Найдена касса с другим серийным номером: ";

// A value handed to a setting or a parameter: a constant read by name, a constant written
// as decimal text, or a text of our own. It is resolved only after the setting's or
// parameter's identifier has been read, so the object sees the reads in that order.
struct ConstantValue {
    const char* name;
};
struct DecimalConstantValue {
    const char* name;
};
using ArgumentValue = std::variant<ConstantValue, DecimalConstantValue, std::string>;

Variant resolve(IAutomationObject& fptr, const ArgumentValue& value) {
    if (auto* c = std::get_if<ConstantValue>(&value)) {
        return fptr.invoke(c->name);
    }
    if (auto* d = std::get_if<DecimalConstantValue>(&value)) {
        return std::to_string(variantInt(fptr.invoke(d->name)));
    }
    return std::get<std::string>(value);
}

bool isOpened(IAutomationObject& fptr) {
    return variantBool(fptr.invoke(member::isOpened));
}

void setSingleSetting(IAutomationObject& fptr, const char* setting, const ArgumentValue& value) {
    Variant id = fptr.invoke(setting);
    Variant resolved = resolve(fptr, value);
    fptr.invoke(member::setSingleSetting, {id, resolved});
}

void setParam(IAutomationObject& fptr, const char* param, const ArgumentValue& value) {
    Variant id = fptr.invoke(param);
    Variant resolved = resolve(fptr, value);
    fptr.invoke(member::setParam, {id, resolved});
}

std::string getParamString(IAutomationObject& fptr, const char* param) {
    Variant id = fptr.invoke(param);
    return variantText(fptr.invoke(member::getParamString, {id}));
}

// A COM connection always runs at 115200 baud: the line parameters the user entered are
// carried by the driver but not handed to the vendor's driver.
void applyPortSettings(IAutomationObject& fptr, const std::string& comType,
                       const std::string& comPort) {
    if (comType == "USB") {
        setSingleSetting(fptr, "LIBFPTR_SETTING_PORT", ConstantValue{"LIBFPTR_PORT_USB"});
    } else if (comType == "COM") {
        setSingleSetting(fptr, "LIBFPTR_SETTING_PORT", ConstantValue{"LIBFPTR_PORT_COM"});
        setSingleSetting(fptr, "LIBFPTR_SETTING_COM_FILE", comPort);
        setSingleSetting(fptr, "LIBFPTR_SETTING_BAUDRATE",
                         DecimalConstantValue{"LIBFPTR_PORT_BR_115200"});
    } else {
        throw DriverError(kBadConnectionTypeText);
    }
}

std::string readSerialNumber(IAutomationObject& fptr) {
    setParam(fptr, "LIBFPTR_PARAM_DATA_TYPE", ConstantValue{"LIBFPTR_DT_STATUS"});
    fptr.invoke(member::queryData);
    return getParamString(fptr, "LIBFPTR_PARAM_SERIAL_NUMBER");
}

std::optional<Json> runTask(IAutomationObject& fptr, const Json* data) {
    if (!isOpened(fptr) || data == nullptr) {
        return std::nullopt;
    }
    setParam(fptr, "LIBFPTR_PARAM_JSON_DATA", dumpCompact(*data));
    std::string resultCode = variantText(fptr.invoke(member::processJson));
    // The answer parameter is read in every case, also after a failure.
    std::string answer = getParamString(fptr, "LIBFPTR_PARAM_JSON_DATA");
    if (resultCode != kFailedResultCode) {
        return parseJson(answer);
    }
    // A register out of reach gave no answer: the task may or may not have been done.
    std::int64_t code = variantInt(fptr.invoke(member::errorCode));
    if (classifyDriverFailure(code) == DriverFailure::OutOfReach) {
        return std::nullopt;
    }
    std::string description = variantText(fptr.invoke(member::errorDescription));
    Json refusal = Json::object();
    refusal["error"] = std::to_string(code) + " [" + description + "]";
    return refusal;
}

}  // namespace

AtolDriver::AtolDriver(const std::string& serial, const AutomationRegistry& registry)
    : CashboxDriver(serial), fptr(registry.create(kFptrProgId)), ports_(registry.ports()) {}

void AtolDriver::connect() {
    if (isOpened(*fptr)) {
        fptr->invoke(member::close);
    }
    // A device the user may not open is the usual reason a register cannot be reached:
    // say so, and how to mend it, instead of the vendor driver's bare failure.
    if (comType() == "COM") {
        if (auto problem = ports_->comAccessProblem(comPort()))
            throw DriverError(*problem);
    }
    setSingleSetting(*fptr, "LIBFPTR_SETTING_MODEL",
                     DecimalConstantValue{"LIBFPTR_MODEL_ATOL_AUTO"});
    applyPortSettings(*fptr, comType(), comPort());
    fptr->invoke(member::applySingleSettings);
    fptr->invoke(member::open);
    if (!isOpened(*fptr)) {
        throwCannotConnect();
    }
    std::string found = readSerialNumber(*fptr);
    if (!testMode() && found != serial()) {
        // The listener hears that the register was let go before the caller hears why.
        disconnect();
        throw DriverError(kOtherSerialText + found);
    }
    fptr->invoke(member::beep);
    notifyChangedState();
}

void AtolDriver::throwCannotConnect() const {
    if (comType() == "USB") {
        if (auto problem = ports_->usbAccessProblem())
            throw DriverError(*problem);
    }
    throw DriverError(kCannotConnectText);
}

// Two beeps mark a closed connection on the register itself, as one beep marks a new one.
void AtolDriver::disconnect() {
    if (isOpened(*fptr)) {
        fptr->invoke(member::beep);
        fptr->invoke(member::beep);
        fptr->invoke(member::close);
    }
    notifyChangedState();
}

std::string AtolDriver::getVersion() {
    return variantText(fptr->invoke(member::version));
}

bool AtolDriver::checkConnection() {
    connect();
    disconnect();
    return true;
}

bool AtolDriver::checkConnected() {
    return isOpened(*fptr);
}

void AtolDriver::onclose() {
    disconnect();
}

// The callers take "no answer" to mean lost contact, so nothing may escape from here:
// whatever goes wrong on the way to the register ends as no answer.
std::optional<Json> AtolDriver::processJSON(const Json* data) {
    try {
        return runTask(*fptr, data);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace th
