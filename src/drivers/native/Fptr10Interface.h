#pragma once

// The C interface of ATOL's native register driver library for Linux (libfptr10.so of the
// "Драйвер ККТ v.10"): the functions the ATOL driver needs and the values of the LIBFPTR_
// constants it reads. Source: the vendor's public header libfptr10.h shipped with the
// driver's SDK. Every signature and value below is taken from that header:
//  - the LIBFPTR_SETTING_ identifiers are wide-string macros there (#define ... L"Model");
//  - enum libfptr_model, libfptr_port, libfptr_baudrate and libfptr_kkt_data_type give
//    their values explicitly or count from an explicit 0;
//  - enum libfptr_param starts at LIBFPTR_PARAM_FIRST = 65536 and counts on one by one in
//    the header's order: LIBFPTR_PARAM_SERIAL_NUMBER is its 24th member, LIBFPTR_PARAM_DATA_TYPE
//    its 52nd and LIBFPTR_PARAM_JSON_DATA its 110th.
// Strings cross the interface as wchar_t (UTF-32 on Linux). A function that fills a wide
// buffer returns the buffer size it needs, the terminating zero included.
// This is the one place of the program that holds these facts.

#include <cstdint>
#include <string_view>

extern "C" {

using libfptr_handle = void*;

const char* libfptr_get_version_string();
int libfptr_create(libfptr_handle* handle);
void libfptr_destroy(libfptr_handle* handle);
void libfptr_set_single_setting(libfptr_handle handle, const wchar_t* key, const wchar_t* value);
int libfptr_apply_single_settings(libfptr_handle handle);
int libfptr_open(libfptr_handle handle);
int libfptr_close(libfptr_handle handle);
int libfptr_is_opened(libfptr_handle handle);
int libfptr_error_code(libfptr_handle handle);
int libfptr_error_description(libfptr_handle handle, wchar_t* value, int size);
void libfptr_set_param_int(libfptr_handle handle, int param_id, unsigned int value);
void libfptr_set_param_str(libfptr_handle handle, int param_id, const wchar_t* value);
int libfptr_get_param_str(libfptr_handle handle, int param_id, wchar_t* value, int size);
int libfptr_query_data(libfptr_handle handle);
int libfptr_process_json(libfptr_handle handle);
int libfptr_beep(libfptr_handle handle);

}  // extern "C"

namespace th::fptr10 {

// Settings: identified by text.
inline constexpr const wchar_t* kSettingModel = L"Model";
inline constexpr const wchar_t* kSettingPort = L"Port";
inline constexpr const wchar_t* kSettingComFile = L"ComFile";
inline constexpr const wchar_t* kSettingBaudrate = L"BaudRate";

// Setting values.
inline constexpr int kModelAtolAuto = 500;
inline constexpr int kPortCom = 0;
inline constexpr int kPortUsb = 1;
inline constexpr int kPortBr115200 = 115200;

// Parameters.
inline constexpr int kParamFirst = 65536;
inline constexpr int kParamSerialNumber = kParamFirst + 23;  // 65559
inline constexpr int kParamDataType = kParamFirst + 51;      // 65587
inline constexpr int kParamJsonData = kParamFirst + 109;     // 65645

// Data types of libfptr_query_data.
inline constexpr int kDtStatus = 0;

// Result of a failed call.
inline constexpr int kFailed = -1;

// The exported names, as dlsym finds them.
namespace symbol {
inline constexpr const char* getVersionString = "libfptr_get_version_string";
inline constexpr const char* create = "libfptr_create";
inline constexpr const char* destroy = "libfptr_destroy";
inline constexpr const char* setSingleSetting = "libfptr_set_single_setting";
inline constexpr const char* applySingleSettings = "libfptr_apply_single_settings";
inline constexpr const char* open = "libfptr_open";
inline constexpr const char* close = "libfptr_close";
inline constexpr const char* isOpened = "libfptr_is_opened";
inline constexpr const char* errorCode = "libfptr_error_code";
inline constexpr const char* errorDescription = "libfptr_error_description";
inline constexpr const char* setParamInt = "libfptr_set_param_int";
inline constexpr const char* setParamStr = "libfptr_set_param_str";
inline constexpr const char* getParamStr = "libfptr_get_param_str";
inline constexpr const char* queryData = "libfptr_query_data";
inline constexpr const char* processJson = "libfptr_process_json";
inline constexpr const char* beep = "libfptr_beep";
}  // namespace symbol

}  // namespace th::fptr10
