#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "drivers/RegisterPorts.h"
#include "platform/Errors.h"

namespace th {

// What stands in for the component object model: objects called late-bound, member by
// member, by name, with variant arguments.

// A variant argument or result: empty, integer, text, Boolean.
using Variant = std::variant<std::monostate, std::int64_t, std::string, bool>;

// Raised by a failing call or an unknown member; the message is the object's description.
TH_DECLARE_ERROR(AutomationError, Error);

std::string variantText(const Variant& v);  // text of an integer, text or Boolean; "" for empty
std::int64_t variantInt(const Variant& v);  // integer value; text parsed; raises AutomationError
bool variantBool(const Variant& v);         // Boolean; integer != 0; raises on text/empty

class IAutomationObject {
public:
    virtual ~IAutomationObject() = default;
    // Calls a member by name. A member without arguments that is read (a property or a
    // constant) is invoked the same way. The name is resolved at every call; an unknown
    // name raises AutomationError.
    virtual Variant invoke(const std::string& member, const std::vector<Variant>& args = {}) = 0;
};

// Creates automation objects by ProgID. Backends register a factory for a ProgID; the
// driver only ever asks the registry, so a backend can be added without touching it. The
// backend also says which ports its registers answer on (the machine's own by default).
class AutomationRegistry {
public:
    using Factory = std::function<std::unique_ptr<IAutomationObject>()>;

    void registerProgId(const std::string& progId, Factory factory);
    void unregisterProgId(const std::string& progId);
    bool isRegistered(const std::string& progId) const;

    // Raises AutomationError "<system description>, ProgID: \"<progId>\"" when nothing
    // serves the ProgID or the factory fails.
    std::unique_ptr<IAutomationObject> create(const std::string& progId) const;

    void setPorts(std::shared_ptr<const RegisterPorts> ports);
    std::shared_ptr<const RegisterPorts> ports() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Factory> factories_;
    std::shared_ptr<const RegisterPorts> ports_ = std::make_shared<const RegisterPorts>();
};

// ProgID of the vendor's register driver.
inline constexpr const char* kFptrProgId = "AddIn.Fptr10";

}  // namespace th
