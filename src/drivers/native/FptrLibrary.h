#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "drivers/native/Fptr10Interface.h"

namespace th {

// The vendor's driver library loaded with dlopen, every function the ATOL driver needs
// looked up at once. The library stays loaded while an object holds it.
class FptrLibrary {
public:
    // Raises AutomationError with dlerror()'s description when the library cannot be
    // loaded or lacks one of the functions.
    static std::shared_ptr<const FptrLibrary> load(const std::filesystem::path& path);

    ~FptrLibrary();
    FptrLibrary(const FptrLibrary&) = delete;
    FptrLibrary& operator=(const FptrLibrary&) = delete;

    decltype(&libfptr_get_version_string) getVersionString = nullptr;
    decltype(&libfptr_create) create = nullptr;
    decltype(&libfptr_destroy) destroy = nullptr;
    decltype(&libfptr_set_single_setting) setSingleSetting = nullptr;
    decltype(&libfptr_apply_single_settings) applySingleSettings = nullptr;
    decltype(&libfptr_open) open = nullptr;
    decltype(&libfptr_close) close = nullptr;
    decltype(&libfptr_is_opened) isOpened = nullptr;
    decltype(&libfptr_error_code) errorCode = nullptr;
    decltype(&libfptr_error_description) errorDescription = nullptr;
    decltype(&libfptr_set_param_int) setParamInt = nullptr;
    decltype(&libfptr_set_param_str) setParamStr = nullptr;
    decltype(&libfptr_get_param_str) getParamStr = nullptr;
    decltype(&libfptr_query_data) queryData = nullptr;
    decltype(&libfptr_process_json) processJson = nullptr;
    decltype(&libfptr_beep) beep = nullptr;

private:
    explicit FptrLibrary(void* handle) : handle_(handle) {}
    void resolveAll();
    void* handle_;
};

// One library per path for the objects alive at a time: it is loaded by the first object
// that needs it and unloaded after the last one is gone.
class FptrLibraryCache {
public:
    explicit FptrLibraryCache(std::filesystem::path path) : path_(std::move(path)) {}
    std::shared_ptr<const FptrLibrary> acquire();

private:
    std::filesystem::path path_;
    std::mutex mutex_;
    std::weak_ptr<const FptrLibrary> loaded_;
};

}  // namespace th
