// A stand-in for the vendor's libfptr10.so that the native backend's tests load with dlopen.
// It writes the vendor's values out literally, apart from the program's header, so a wrong
// value there shows as a refused connection here.
//
// Built twice: complete, and with FPTR10_STUB_INCOMPLETE only the first few functions, as a
// library of another version or another vendor would be.
//
// Complete, it acts as a register:
//  - open succeeds only with Model=500 and Port=1 (USB) applied;
//  - queryData with data type 0 (status) gives the serial "STUB-0001";
//  - processJson answers {"echo":<task>}; a task containing "fail" fails with code 501 and
//    a Cyrillic description, a task containing "lost" with code 4;
//  - with $FPTR10_STUB_CREATE_ERROR set, create fails with that text as the description;
//  - with $FPTR10_STUB_CLAIMED_SIZE set, every text read claims to need that many characters.

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

namespace {

constexpr int kParamSerialNumber = 65559;
constexpr int kParamDataType = 65587;
constexpr int kParamJsonData = 65645;

struct Stub {
    std::map<std::wstring, std::wstring> pending;
    std::map<std::wstring, std::wstring> applied;
    std::map<int, std::wstring> input;
    std::map<int, std::wstring> output;
    bool opened = false;
    int errorCode = 0;
    std::wstring errorDescription = L"Ошибок нет";
};

Stub* stub(void* handle) {
    return static_cast<Stub*>(handle);
}

int fail(Stub* s, int code, const std::wstring& description) {
    s->errorCode = code;
    s->errorDescription = description;
    return -1;
}

[[maybe_unused]] int succeed(Stub* s) {
    s->errorCode = 0;
    s->errorDescription = L"Ошибок нет";
    return 0;
}

[[maybe_unused]] int copyOut(const std::wstring& text, wchar_t* buffer, int size) {
    int needed = static_cast<int>(text.size()) + 1;
    if (const char* claimed = std::getenv("FPTR10_STUB_CLAIMED_SIZE")) {
        needed = std::atoi(claimed);
    }
    if (buffer != nullptr && size > 0) {
        std::size_t count = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        std::wmemcpy(buffer, text.data(), count);
        buffer[count] = L'\0';
    }
    return needed;
}

// UTF-8 to UTF-32, for the well-formed texts the tests hand over.
std::wstring widen(const char* text) {
    std::wstring wide;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        int extra = *p >= 0xF0 ? 3 : *p >= 0xE0 ? 2 : *p >= 0xC0 ? 1 : 0;
        wchar_t c = extra == 0 ? *p : *p & (0x3F >> extra);
        ++p;
        for (int i = 0; i < extra && *p != 0; ++i, ++p) {
            c = (c << 6) | (*p & 0x3F);
        }
        wide += c;
    }
    return wide;
}

}  // namespace

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

STUB_EXPORT const char* libfptr_get_version_string() {
    return "10.0.0.0-stub";
}

STUB_EXPORT int libfptr_create(void** handle) {
    Stub* s = new Stub;
    *handle = s;
    if (const char* refusal = std::getenv("FPTR10_STUB_CREATE_ERROR")) {
        return fail(s, 14, widen(refusal));
    }
    return 0;
}

STUB_EXPORT void libfptr_destroy(void** handle) {
    delete stub(*handle);
    *handle = nullptr;
}

#ifndef FPTR10_STUB_INCOMPLETE

STUB_EXPORT int libfptr_error_description(void* handle, wchar_t* value, int size) {
    return copyOut(stub(handle)->errorDescription, value, size);
}

STUB_EXPORT void libfptr_set_single_setting(void* handle, const wchar_t* key,
                                            const wchar_t* value) {
    stub(handle)->pending[key] = value;
}

STUB_EXPORT int libfptr_apply_single_settings(void* handle) {
    Stub* s = stub(handle);
    for (const auto& [key, value] : s->pending) {
        s->applied[key] = value;
    }
    s->pending.clear();
    return succeed(s);
}

STUB_EXPORT int libfptr_open(void* handle) {
    Stub* s = stub(handle);
    if (s->applied[L"Model"] != L"500" || s->applied[L"Port"] != L"1") {
        return fail(s, 2, L"Нет связи");
    }
    s->opened = true;
    return succeed(s);
}

STUB_EXPORT int libfptr_close(void* handle) {
    stub(handle)->opened = false;
    return succeed(stub(handle));
}

STUB_EXPORT int libfptr_is_opened(void* handle) {
    return stub(handle)->opened ? 1 : 0;
}

STUB_EXPORT int libfptr_error_code(void* handle) {
    return stub(handle)->errorCode;
}

STUB_EXPORT void libfptr_set_param_int(void* handle, int param_id, unsigned int value) {
    stub(handle)->input[param_id] = std::to_wstring(value);
}

STUB_EXPORT void libfptr_set_param_str(void* handle, int param_id, const wchar_t* value) {
    stub(handle)->input[param_id] = value;
}

STUB_EXPORT int libfptr_get_param_str(void* handle, int param_id, wchar_t* value, int size) {
    return copyOut(stub(handle)->output[param_id], value, size);
}

STUB_EXPORT int libfptr_query_data(void* handle) {
    Stub* s = stub(handle);
    bool status = s->input.count(kParamDataType) != 0 && s->input[kParamDataType] == L"0";
    s->input.clear();
    s->output.clear();
    if (!status) {
        return fail(s, 5, L"Неподдерживаемый тип запроса");
    }
    s->output[kParamSerialNumber] = L"STUB-0001";
    return succeed(s);
}

STUB_EXPORT int libfptr_process_json(void* handle) {
    Stub* s = stub(handle);
    std::wstring task = s->input[kParamJsonData];
    s->input.clear();
    s->output.clear();
    if (task.find(L"fail") != std::wstring::npos) {
        return fail(s, 501, L"Ошибка парсинга запроса «fail»");
    }
    if (task.find(L"lost") != std::wstring::npos) {
        return fail(s, 4, L"Порт недоступен");
    }
    s->output[kParamJsonData] = L"{\"echo\":" + task + L"}";
    return succeed(s);
}

STUB_EXPORT int libfptr_beep(void* handle) {
    return succeed(stub(handle));
}

#endif  // FPTR10_STUB_INCOMPLETE
