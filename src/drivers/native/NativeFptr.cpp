#include "drivers/native/NativeFptr.h"

#include <climits>
#include <cwchar>
#include <map>
#include <utility>

#include "drivers/native/WideText.h"

namespace th {

namespace {

// Wide buffers start small and grow to what the library asks for, up to a bound that keeps
// a misbehaving library from making us allocate without end.
constexpr int kFirstBufferSize = 256;
constexpr int kLargestBufferSize = 16 * 1024 * 1024;

constexpr const char* kTypeMismatchText = "Несоответствие типа";
constexpr const char* kCreateFailedText = "Не удалось создать объект драйвера ККТ, код ";

// Reads a text the library writes into a caller's buffer: fill(buffer, size) returns the
// size the text needs, its terminating zero included.
template <typename Fill>
std::string readWideText(Fill fill) {
    std::vector<wchar_t> buffer(kFirstBufferSize, L'\0');
    for (;;) {
        int required = fill(buffer.data(), static_cast<int>(buffer.size()));
        if (required <= static_cast<int>(buffer.size())) {
            break;
        }
        if (required > kLargestBufferSize) {
            throw AutomationError(
                "Слишком длинный текст от драйвера ККТ: " + std::to_string(required) + " символов");
        }
        buffer.assign(static_cast<std::size_t>(required), L'\0');
    }
    // The text ends at its zero, or at the buffer's end if the library wrote none.
    return wideToUtf8({buffer.data(), ::wcsnlen(buffer.data(), buffer.size())});
}

void requireArguments(const std::string& member, const std::vector<Variant>& args,
                      std::size_t count) {
    if (args.size() != count) {
        throw AutomationError("Недопустимое число параметров: " + member);
    }
}

int parameterId(const Variant& value) {
    std::int64_t id = variantInt(value);
    if (id < INT_MIN || id > INT_MAX) {
        throw AutomationError(kTypeMismatchText);
    }
    return static_cast<int>(id);
}

// A setting's key or value as the library takes it: text, numbers in decimal.
std::wstring settingText(const Variant& value) {
    if (std::holds_alternative<std::monostate>(value)) {
        throw AutomationError(kTypeMismatchText);
    }
    return utf8ToWide(variantText(value));
}

// The LIBFPTR_ constants the ATOL driver reads by name, with the vendor's values.
const std::map<std::string, Variant, std::less<>>& constants() {
    using namespace fptr10;
    static const std::map<std::string, Variant, std::less<>> table = {
        {"LIBFPTR_SETTING_MODEL", wideToUtf8(kSettingModel)},
        {"LIBFPTR_SETTING_PORT", wideToUtf8(kSettingPort)},
        {"LIBFPTR_SETTING_COM_FILE", wideToUtf8(kSettingComFile)},
        {"LIBFPTR_SETTING_BAUDRATE", wideToUtf8(kSettingBaudrate)},
        {"LIBFPTR_MODEL_ATOL_AUTO", std::int64_t{kModelAtolAuto}},
        {"LIBFPTR_PORT_USB", std::int64_t{kPortUsb}},
        {"LIBFPTR_PORT_COM", std::int64_t{kPortCom}},
        {"LIBFPTR_PORT_BR_115200", std::int64_t{kPortBr115200}},
        {"LIBFPTR_PARAM_DATA_TYPE", std::int64_t{kParamDataType}},
        {"LIBFPTR_DT_STATUS", std::int64_t{kDtStatus}},
        {"LIBFPTR_PARAM_SERIAL_NUMBER", std::int64_t{kParamSerialNumber}},
        {"LIBFPTR_PARAM_JSON_DATA", std::int64_t{kParamJsonData}},
    };
    return table;
}

}  // namespace

NativeFptr::NativeFptr(std::shared_ptr<const FptrLibrary> library) : library_(std::move(library)) {
    int result = library_->create(&handle_);
    if (result == 0 && handle_ != nullptr) {
        return;
    }
    // A handle the library gave along with its refusal still says why, then goes.
    std::string description;
    if (handle_ != nullptr) {
        description = describeLastError();
        library_->destroy(&handle_);
    }
    if (description.empty()) {
        description = kCreateFailedText + std::to_string(result);
    }
    throw AutomationError(description);
}

NativeFptr::~NativeFptr() {
    if (handle_ != nullptr) {
        library_->destroy(&handle_);
    }
}

Variant NativeFptr::invoke(const std::string& member, const std::vector<Variant>& args) {
    struct MemberEntry {
        Member call;
        std::size_t arity;
    };
    static const std::map<std::string, MemberEntry, std::less<>> kMembers = {
        {"isOpened", {&NativeFptr::isOpened, 0}},
        {"open", {&NativeFptr::open, 0}},
        {"close", {&NativeFptr::close, 0}},
        {"beep", {&NativeFptr::beep, 0}},
        {"setSingleSetting", {&NativeFptr::setSingleSetting, 2}},
        {"applySingleSettings", {&NativeFptr::applySingleSettings, 0}},
        {"setParam", {&NativeFptr::setParam, 2}},
        {"queryData", {&NativeFptr::queryData, 0}},
        {"getParamString", {&NativeFptr::getParamString, 1}},
        {"processJson", {&NativeFptr::processJson, 0}},
        {"errorCode", {&NativeFptr::errorCode, 0}},
        {"errorDescription", {&NativeFptr::errorDescription, 0}},
        {"version", {&NativeFptr::version, 0}},
    };
    if (auto it = kMembers.find(member); it != kMembers.end()) {
        requireArguments(member, args, it->second.arity);
        return (this->*(it->second.call))(args);
    }
    if (auto it = constants().find(member); it != constants().end()) {
        requireArguments(member, args, 0);
        return it->second;
    }
    throw AutomationError("Неизвестное имя: \"" + member + "\"");
}

std::string NativeFptr::describeLastError() {
    return readWideText([this](wchar_t* buffer, int size) {
        return library_->errorDescription(handle_, buffer, size);
    });
}

Variant NativeFptr::isOpened(const std::vector<Variant>&) {
    return library_->isOpened(handle_) != 0;
}

Variant NativeFptr::open(const std::vector<Variant>&) {
    return std::int64_t{library_->open(handle_)};
}

Variant NativeFptr::close(const std::vector<Variant>&) {
    return std::int64_t{library_->close(handle_)};
}

Variant NativeFptr::beep(const std::vector<Variant>&) {
    return std::int64_t{library_->beep(handle_)};
}

Variant NativeFptr::setSingleSetting(const std::vector<Variant>& args) {
    std::wstring key = settingText(args[0]);
    std::wstring value = settingText(args[1]);
    library_->setSingleSetting(handle_, key.c_str(), value.c_str());
    return std::int64_t{0};
}

Variant NativeFptr::applySingleSettings(const std::vector<Variant>&) {
    return std::int64_t{library_->applySingleSettings(handle_)};
}

// Numbers go to the integer variant of the call, texts to the text variant.
Variant NativeFptr::setParam(const std::vector<Variant>& args) {
    int id = parameterId(args[0]);
    const Variant& value = args[1];
    if (auto* text = std::get_if<std::string>(&value)) {
        library_->setParamStr(handle_, id, utf8ToWide(*text).c_str());
    } else if (auto* flag = std::get_if<bool>(&value)) {
        library_->setParamInt(handle_, id, *flag ? 1U : 0U);
    } else if (auto* number = std::get_if<std::int64_t>(&value);
               number != nullptr && *number >= 0 && *number <= UINT_MAX) {
        library_->setParamInt(handle_, id, static_cast<unsigned int>(*number));
    } else {
        throw AutomationError(kTypeMismatchText);
    }
    return std::int64_t{0};
}

Variant NativeFptr::queryData(const std::vector<Variant>&) {
    return std::int64_t{library_->queryData(handle_)};
}

Variant NativeFptr::getParamString(const std::vector<Variant>& args) {
    int id = parameterId(args[0]);
    return readWideText([this, id](wchar_t* buffer, int size) {
        return library_->getParamStr(handle_, id, buffer, size);
    });
}

Variant NativeFptr::processJson(const std::vector<Variant>&) {
    return std::int64_t{library_->processJson(handle_)};
}

Variant NativeFptr::errorCode(const std::vector<Variant>&) {
    return std::int64_t{library_->errorCode(handle_)};
}

Variant NativeFptr::errorDescription(const std::vector<Variant>&) {
    return describeLastError();
}

Variant NativeFptr::version(const std::vector<Variant>&) {
    const char* text = library_->getVersionString();
    return std::string(text != nullptr ? text : "");
}

AutomationRegistry::Factory nativeFptrFactory(const std::filesystem::path& libraryPath) {
    auto cache = std::make_shared<FptrLibraryCache>(libraryPath);
    return [cache]() -> std::unique_ptr<IAutomationObject> {
        return std::make_unique<NativeFptr>(cache->acquire());
    };
}

}  // namespace th
