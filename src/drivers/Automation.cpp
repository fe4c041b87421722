#include "drivers/Automation.h"

#include <charconv>
#include <utility>

namespace th {

namespace {

// The descriptions the object model gives for these failures.
constexpr const char* kUnknownClassText = "Недопустимая строка с указанием класса";
constexpr const char* kNoObjectText = "Такой интерфейс не поддерживается";
constexpr const char* kUnexpectedText = "Непредвиденная ошибка";
constexpr const char* kTypeMismatchText = "Несоответствие типа";

std::string withProgId(const std::string& description, const std::string& progId) {
    return description + ", ProgID: \"" + progId + "\"";
}

std::int64_t parseInteger(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || stop != end) {
        throw AutomationError(kTypeMismatchText);
    }
    return value;
}

}  // namespace

std::string variantText(const Variant& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) {
        return std::to_string(*i);
    }
    if (auto* s = std::get_if<std::string>(&v)) {
        return *s;
    }
    if (auto* b = std::get_if<bool>(&v)) {
        return *b ? "True" : "False";
    }
    return {};
}

std::int64_t variantInt(const Variant& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) {
        return *i;
    }
    if (auto* s = std::get_if<std::string>(&v)) {
        return parseInteger(*s);
    }
    if (auto* b = std::get_if<bool>(&v)) {
        return *b ? 1 : 0;
    }
    // An empty result where a number is expected means the object gave nothing usable.
    throw AutomationError(kTypeMismatchText);
}

bool variantBool(const Variant& v) {
    if (auto* b = std::get_if<bool>(&v)) {
        return *b;
    }
    if (auto* i = std::get_if<std::int64_t>(&v)) {
        return *i != 0;
    }
    throw AutomationError(kTypeMismatchText);
}

void AutomationRegistry::registerProgId(const std::string& progId, Factory factory) {
    std::lock_guard lock(mutex_);
    if (factory) {
        factories_[progId] = std::move(factory);
    } else {
        factories_.erase(progId);
    }
}

void AutomationRegistry::unregisterProgId(const std::string& progId) {
    std::lock_guard lock(mutex_);
    factories_.erase(progId);
}

bool AutomationRegistry::isRegistered(const std::string& progId) const {
    std::lock_guard lock(mutex_);
    return factories_.count(progId) != 0;
}

std::unique_ptr<IAutomationObject> AutomationRegistry::create(const std::string& progId) const {
    Factory factory;
    {
        std::lock_guard lock(mutex_);
        auto it = factories_.find(progId);
        if (it == factories_.end()) {
            throw AutomationError(withProgId(kUnknownClassText, progId));
        }
        factory = it->second;
    }
    // The factory runs outside the lock: a backend may load a library or consult the
    // registry itself while it builds its object.
    std::unique_ptr<IAutomationObject> object;
    try {
        object = factory();
    } catch (const std::exception& e) {
        throw AutomationError(withProgId(e.what(), progId));
    } catch (...) {
        throw AutomationError(withProgId(kUnexpectedText, progId));
    }
    if (!object) {
        throw AutomationError(withProgId(kNoObjectText, progId));
    }
    return object;
}

void AutomationRegistry::setPorts(std::shared_ptr<const RegisterPorts> ports) {
    std::lock_guard lock(mutex_);
    ports_ = std::move(ports);
}

std::shared_ptr<const RegisterPorts> AutomationRegistry::ports() const {
    std::lock_guard lock(mutex_);
    return ports_;
}

}  // namespace th
