#include "platform/Errors.h"

#include <cxxabi.h>

#include <memory>
#include <typeinfo>

namespace th {

std::string errorTypeName(const std::exception& e) {
    if (auto* own = dynamic_cast<const Error*>(&e)) {
        return own->typeName();
    }
    int status = 0;
    const char* mangled = typeid(e).name();
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? demangled.get() : mangled;
}

std::string describeStartupError(const std::exception& e) {
    return errorTypeName(e) + " ошибка : " + e.what();
}

}  // namespace th
