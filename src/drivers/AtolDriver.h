#pragma once

#include <memory>

#include "drivers/Automation.h"
#include "drivers/CashboxDriver.h"

namespace th {

// The driver for ATOL registers over the vendor's automation object "AddIn.Fptr10".
class AtolDriver : public CashboxDriver {
public:
    // Creates the automation object through the registry; raises AutomationError
    // "<description>, ProgID: \"AddIn.Fptr10\"" when nothing serves it.
    AtolDriver(const std::string& serial, const AutomationRegistry& registry);

    void connect() override;
    void disconnect() override;
    std::string getVersion() override;
    bool checkConnection() override;
    bool checkConnected() override;
    void onclose() override;
    std::optional<Json> processJSON(const Json* data) override;

private:
    [[noreturn]] void throwCannotConnect() const;

    std::unique_ptr<IAutomationObject> fptr;
    std::shared_ptr<const RegisterPorts> ports_;
};

// Name of the one driver the windows offer.
inline constexpr const char* kAtolDriverName = "Атол";

}  // namespace th
