// A "tasks" answer as a broken or hostile service might send it, handled over a real
// journal with an emulated register: acknowledgements, documents stored, commands run at
// once. The answer's own refusal (a list that is not an array) is expected; anything else
// escaping is a finding.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "FuzzRig.h"
#include "dispatcher/Messages.h"

namespace {

constexpr int kRunsBetweenCleanUps = 2000;

th::fuzz::ExchangeRig& rig() {
    static th::fuzz::ExchangeRig shared("tasks");
    return shared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int runs = 0;
    auto& exchange = rig();
    if (++runs % kRunsBetweenCleanUps == 0)
        exchange.startAfresh();
    // Read as the client reads an answer: document by document.
    const auto read =
        th::readAnswerText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!read)
        return 0;
    const th::Json* answer = &read->answer;
    try {
        exchange.cycle().processResponseData(exchange.client(), *answer);
    } catch (const th::DispatcherAnswerError&) {
        // Refused as the service's fault: the cycle reconnects and tries again later.
    }
    // What the next request would carry must still be sendable.
    (void)th::dumpDispatcher(exchange.results().take().entries);
    exchange.dialogs().clear();
    return 0;
}
