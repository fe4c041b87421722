#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "drivers/Automation.h"
#include "drivers/native/FptrLibrary.h"

namespace th {

// "AddIn.Fptr10" over the vendor's native library: the members and LIBFPTR_ constants the
// ATOL driver calls, each mapped to the library's C function or the vendor's value. One
// driver handle per object, created with it and destroyed with it. Results pass through as
// the library gives them (processJson gives -1 on failure, errorCode and errorDescription
// tell why), so the ATOL driver sees what it sees on any other "AddIn.Fptr10".
class NativeFptr : public IAutomationObject {
public:
    // Raises AutomationError when the library refuses to create a handle.
    explicit NativeFptr(std::shared_ptr<const FptrLibrary> library);
    ~NativeFptr() override;
    NativeFptr(const NativeFptr&) = delete;
    NativeFptr& operator=(const NativeFptr&) = delete;

    Variant invoke(const std::string& member, const std::vector<Variant>& args = {}) override;

private:
    using Member = Variant (NativeFptr::*)(const std::vector<Variant>&);

    Variant isOpened(const std::vector<Variant>&);
    Variant open(const std::vector<Variant>&);
    Variant close(const std::vector<Variant>&);
    Variant beep(const std::vector<Variant>&);
    Variant setSingleSetting(const std::vector<Variant>& args);
    Variant applySingleSettings(const std::vector<Variant>&);
    Variant setParam(const std::vector<Variant>& args);
    Variant queryData(const std::vector<Variant>&);
    Variant getParamString(const std::vector<Variant>& args);
    Variant processJson(const std::vector<Variant>&);
    Variant errorCode(const std::vector<Variant>&);
    Variant errorDescription(const std::vector<Variant>&);
    Variant version(const std::vector<Variant>&);

    std::string describeLastError();

    std::shared_ptr<const FptrLibrary> library_;  // outlives the handle
    libfptr_handle handle_ = nullptr;
};

// Creates objects for "AddIn.Fptr10" from the library at libraryPath, loading it when the
// first object is created.
AutomationRegistry::Factory nativeFptrFactory(const std::filesystem::path& libraryPath);

}  // namespace th
