#include "drivers/CashboxDriver.h"

#include <utility>

namespace th {

// The wizard creates its driver with "0" so that any register it finds is accepted; only
// that exact text switches the serial check off.
CashboxDriver::CashboxDriver(std::string serial) : serial_(std::move(serial)) {
    testMode_ = serial_ == "0";
}

Json runRegisterTask(CashboxDriver& driver, const char* type) {
    const Json task = {{"type", type}};
    std::optional<Json> answer = driver.processJSON(&task);
    if (!answer)
        throw DriverError(kNoRegisterContact);
    return std::move(*answer);
}

}  // namespace th
