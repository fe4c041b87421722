// The register emulator behind the vendor's C interface: a shared library with the same
// exported functions as the vendor's libfptr10.so, so RegisterDriver can name it like the
// real driver. The interface speaks the vendor's values; the emulator speaks its own, so
// every setting, parameter and data type is translated here on the way in. Results, error
// codes and descriptions pass out unchanged, so the ATOL driver sees exactly what it sees
// with RegisterDriver=emulator.
//
// The bench files are read from $TILLHAVEN_EMULATOR_DIR, or else from the program's data
// directory, where RegisterDriver=emulator reads them.

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "drivers/native/Fptr10Interface.h"
#include "drivers/native/WideText.h"
#include "emulator/FptrEmulator.h"
#include "platform/DataDir.h"

namespace th {
namespace {

constexpr const char* kDataDirVariable = "TILLHAVEN_EMULATOR_DIR";

// What stands behind one handle. A call the shim itself could not make (an argument the
// emulator refused) reports its own failure until the next call.
struct EmulatorHandle {
    explicit EmulatorHandle(std::shared_ptr<EmulatorBench> bench) : emulator(std::move(bench)) {}
    FptrEmulator emulator;
    std::optional<std::pair<int, std::string>> shimFailure;
};

EmulatorHandle* from(libfptr_handle handle) {
    return static_cast<EmulatorHandle*>(handle);
}

std::filesystem::path benchDirectory() {
    if (const char* dir = std::getenv(kDataDirVariable); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return dataDirectory();
}

std::optional<std::int64_t> parseNumber(const std::string& text) {
    try {
        return variantInt(text);
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

// A vendor's setting value as the emulator's: a known number translated, anything else
// handed on as the text it was.
Variant settingValue(const std::string& text,
                     std::initializer_list<std::pair<int, std::int64_t>> known) {
    if (auto number = parseNumber(text)) {
        for (const auto& [vendor, own] : known) {
            if (*number == vendor) {
                return own;
            }
        }
    }
    return text;
}

// The emulator's setting and value for a vendor's; nullopt for a setting it has no use for.
std::optional<std::pair<std::int64_t, Variant>> translateSetting(const std::wstring& key,
                                                                 const std::string& value) {
    if (key == fptr10::kSettingModel) {
        return std::pair{fptr::kSettingModel,
                         settingValue(value, {{fptr10::kModelAtolAuto, fptr::kModelAtolAuto}})};
    }
    if (key == fptr10::kSettingPort) {
        return std::pair{fptr::kSettingPort,
                         settingValue(value, {{fptr10::kPortUsb, fptr::kPortUsb},
                                              {fptr10::kPortCom, fptr::kPortCom}})};
    }
    if (key == fptr10::kSettingBaudrate) {
        return std::pair{fptr::kSettingBaudrate,
                         settingValue(value, {{fptr10::kPortBr115200, fptr::kPortBr115200}})};
    }
    if (key == fptr10::kSettingComFile) {
        return std::pair{fptr::kSettingComFile, Variant{value}};
    }
    return std::nullopt;
}

// The emulator's parameter for a vendor's; nullopt for one it does not know.
std::optional<std::int64_t> translateParam(int vendorId) {
    switch (vendorId) {
        case fptr10::kParamDataType:
            return fptr::kParamDataType;
        case fptr10::kParamSerialNumber:
            return fptr::kParamSerialNumber;
        case fptr10::kParamJsonData:
            return fptr::kParamJsonData;
        default:
            return std::nullopt;
    }
}

// A data type the emulator does not serve stays one it does not serve.
std::int64_t translateDataType(unsigned int vendorType) {
    return vendorType == fptr10::kDtStatus ? fptr::kDtStatus : std::int64_t{-1};
}

// Runs one emulator call; whatever escapes it becomes the handle's failure and -1.
template <typename Call>
int guarded(libfptr_handle handle, Call call) {
    EmulatorHandle* target = from(handle);
    if (target == nullptr) {
        return fptr10::kFailed;
    }
    target->shimFailure.reset();
    try {
        return call(*target);
    } catch (const std::exception& e) {
        auto code = fptr::ErrorCode::invalidParam;
        target->shimFailure.emplace(static_cast<int>(code),
                                    std::string(fptr::errorText(code)) + " (" + e.what() + ")");
        return fptr10::kFailed;
    }
}

// For the calls that only read: nothing may cross the C boundary as an exception.
template <typename Read>
int readSafely(int fallback, Read read) {
    try {
        return read();
    } catch (const std::exception&) {
        return fallback;
    }
}

int resultOf(const Variant& value) {
    return static_cast<int>(variantInt(value));
}

int callMember(libfptr_handle handle, const char* member) {
    return guarded(handle, [member](EmulatorHandle& target) {
        return resultOf(target.emulator.invoke(member));
    });
}

// Copies text into the caller's buffer as far as it fits, always terminated; returns the
// size the whole text needs.
int copyOut(const std::string& text, wchar_t* buffer, int size) {
    std::wstring wide = utf8ToWide(text);
    if (buffer != nullptr && size > 0) {
        std::size_t count = std::min(wide.size(), static_cast<std::size_t>(size) - 1);
        std::wmemcpy(buffer, wide.data(), count);
        buffer[count] = L'\0';
    }
    return static_cast<int>(wide.size()) + 1;
}

std::string textOf(const wchar_t* text) {
    return text == nullptr ? std::string() : wideToUtf8(text);
}

}  // namespace
}  // namespace th

using namespace th;

#define TH_EXPORT extern "C" __attribute__((visibility("default")))

TH_EXPORT const char* libfptr_get_version_string() {
    // The emulator's own version; asking it touches no bench file.
    static const std::string version = []() -> std::string {
        try {
            FptrEmulator probe(std::make_shared<EmulatorBench>(std::filesystem::path()));
            return variantText(probe.invoke("version"));
        } catch (const std::exception&) {
            return {};
        }
    }();
    return version.c_str();
}

TH_EXPORT int libfptr_create(libfptr_handle* handle) {
    if (handle == nullptr) {
        return fptr10::kFailed;
    }
    *handle = nullptr;
    try {
        auto bench = std::make_shared<EmulatorBench>(benchDirectory());
        *handle = new EmulatorHandle(std::move(bench));
        return 0;
    } catch (const std::exception&) {
        return fptr10::kFailed;
    }
}

TH_EXPORT void libfptr_destroy(libfptr_handle* handle) {
    if (handle != nullptr) {
        delete from(*handle);
        *handle = nullptr;
    }
}

TH_EXPORT void libfptr_set_single_setting(libfptr_handle handle, const wchar_t* key,
                                          const wchar_t* value) {
    guarded(handle, [&](EmulatorHandle& target) {
        if (auto setting = translateSetting(key ? key : L"", textOf(value))) {
            target.emulator.invoke("setSingleSetting", {setting->first, setting->second});
        }
        return 0;
    });
}

TH_EXPORT int libfptr_apply_single_settings(libfptr_handle handle) {
    return callMember(handle, "applySingleSettings");
}

TH_EXPORT int libfptr_open(libfptr_handle handle) {
    return callMember(handle, "open");
}

TH_EXPORT int libfptr_close(libfptr_handle handle) {
    return callMember(handle, "close");
}

TH_EXPORT int libfptr_is_opened(libfptr_handle handle) {
    EmulatorHandle* target = from(handle);
    return readSafely(0, [&] {
        return target != nullptr && variantBool(target->emulator.invoke("isOpened")) ? 1 : 0;
    });
}

TH_EXPORT int libfptr_error_code(libfptr_handle handle) {
    EmulatorHandle* target = from(handle);
    if (target == nullptr) {
        return fptr10::kFailed;
    }
    if (target->shimFailure) {
        return target->shimFailure->first;
    }
    return readSafely(fptr10::kFailed,
                      [&] { return resultOf(target->emulator.invoke("errorCode")); });
}

TH_EXPORT int libfptr_error_description(libfptr_handle handle, wchar_t* value, int size) {
    EmulatorHandle* target = from(handle);
    if (target == nullptr) {
        return copyOut("", value, size);
    }
    if (target->shimFailure) {
        return copyOut(target->shimFailure->second, value, size);
    }
    return readSafely(copyOut("", value, size), [&] {
        return copyOut(variantText(target->emulator.invoke("errorDescription")), value, size);
    });
}

TH_EXPORT void libfptr_set_param_int(libfptr_handle handle, int param_id, unsigned int value) {
    guarded(handle, [&](EmulatorHandle& target) {
        if (auto id = translateParam(param_id)) {
            Variant own =
                *id == fptr::kParamDataType ? translateDataType(value) : std::int64_t{value};
            target.emulator.invoke("setParam", {*id, own});
        }
        return 0;
    });
}

TH_EXPORT void libfptr_set_param_str(libfptr_handle handle, int param_id, const wchar_t* value) {
    guarded(handle, [&](EmulatorHandle& target) {
        if (auto id = translateParam(param_id)) {
            target.emulator.invoke("setParam", {*id, textOf(value)});
        }
        return 0;
    });
}

TH_EXPORT int libfptr_get_param_str(libfptr_handle handle, int param_id, wchar_t* value, int size) {
    EmulatorHandle* target = from(handle);
    auto id = translateParam(param_id);
    if (target == nullptr || !id) {
        return copyOut("", value, size);
    }
    return readSafely(copyOut("", value, size), [&] {
        return copyOut(variantText(target->emulator.invoke("getParamString", {*id})), value, size);
    });
}

TH_EXPORT int libfptr_query_data(libfptr_handle handle) {
    return callMember(handle, "queryData");
}

TH_EXPORT int libfptr_process_json(libfptr_handle handle) {
    return callMember(handle, "processJson");
}

TH_EXPORT int libfptr_beep(libfptr_handle handle) {
    return callMember(handle, "beep");
}
