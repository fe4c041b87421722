#include "drivers/native/FptrLibrary.h"

#include <dlfcn.h>

#include "drivers/Automation.h"

namespace th {

namespace {

std::string lastLoaderError(const char* fallback) {
    const char* text = ::dlerror();
    return text != nullptr ? text : fallback;
}

template <typename Function>
void resolve(void* handle, const char* name, Function& function) {
    ::dlerror();  // a stale message must not be taken for this lookup's
    void* address = ::dlsym(handle, name);
    if (address == nullptr) {
        throw AutomationError(lastLoaderError(name));
    }
    function = reinterpret_cast<Function>(address);
}

}  // namespace

std::shared_ptr<const FptrLibrary> FptrLibrary::load(const std::filesystem::path& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw AutomationError(lastLoaderError(path.c_str()));
    }
    std::shared_ptr<FptrLibrary> library(new FptrLibrary(handle));
    library->resolveAll();  // on failure the library is closed again by its destructor
    return library;
}

FptrLibrary::~FptrLibrary() {
    ::dlclose(handle_);
}

void FptrLibrary::resolveAll() {
    namespace name = fptr10::symbol;
    resolve(handle_, name::getVersionString, getVersionString);
    resolve(handle_, name::create, create);
    resolve(handle_, name::destroy, destroy);
    resolve(handle_, name::setSingleSetting, setSingleSetting);
    resolve(handle_, name::applySingleSettings, applySingleSettings);
    resolve(handle_, name::open, open);
    resolve(handle_, name::close, close);
    resolve(handle_, name::isOpened, isOpened);
    resolve(handle_, name::errorCode, errorCode);
    resolve(handle_, name::errorDescription, errorDescription);
    resolve(handle_, name::setParamInt, setParamInt);
    resolve(handle_, name::setParamStr, setParamStr);
    resolve(handle_, name::getParamStr, getParamStr);
    resolve(handle_, name::queryData, queryData);
    resolve(handle_, name::processJson, processJson);
    resolve(handle_, name::beep, beep);
}

std::shared_ptr<const FptrLibrary> FptrLibraryCache::acquire() {
    std::lock_guard lock(mutex_);
    if (auto library = loaded_.lock()) {
        return library;
    }
    auto library = FptrLibrary::load(path_);
    loaded_ = library;
    return library;
}

}  // namespace th
