// Rows of checks.db whose data and response columns hold any text at all (a damaged disk,
// another program, an older client): one whole cycle reads them into "received" and
// "completed", sends them to the stand-in service, which acknowledges the completed ones,
// and runs the execution pass on the emulated register. Nothing may escape but the journal's
// own errors, and the exchange must not fail.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

#include "FuzzRig.h"

namespace {

th::fuzz::ExchangeRig& rig() {
    static th::fuzz::ExchangeRig shared("rows");
    return shared;
}

constexpr const char* kInsertRow = "insert into checks values (?, ?, ?, ?, ?, ?)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& exchange = rig();
    exchange.startAfresh();
    FuzzedDataProvider input(data, size);
    const int rows = input.ConsumeIntegralInRange(1, 3);
    for (int n = 0; n < rows; ++n) {
        const bool completed = input.ConsumeBool();
        std::string rowData = input.ConsumeRandomLengthString(4096);
        std::string response = input.ConsumeRandomLengthString(4096);
        exchange.runSql(kInsertRow, {th::fuzz::kSerial, "row-" + std::to_string(n),
                                     input.ConsumeRandomLengthString(16), rowData,
                                     completed ? "completed" : "added", response});
    }
    try {
        exchange.cycle().runExchangeCycle();
    } catch (const th::JournalError&) {
    }
    return 0;
}
