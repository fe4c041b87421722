#include "drivers/Cashboxdrv.h"

#include <utility>

namespace th {

// The wizard creates its driver with "0" so that any register it finds is accepted; only
// that exact text switches the serial check off.
TCashboxdrv::TCashboxdrv(std::string serial) : FSerial(std::move(serial)) {
    FTestMode = FSerial == "0";
}

}  // namespace th
