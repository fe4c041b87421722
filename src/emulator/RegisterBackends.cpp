#include "emulator/RegisterBackends.h"

#include <memory>

#include "emulator/FptrEmulator.h"

namespace th {

namespace {

constexpr const char* kEmulatorBackend = "emulator";

}  // namespace

void installRegisterBackend(AutomationRegistry& registry, const std::string& registerDriver,
                            const std::filesystem::path& dataDir) {
    if (registerDriver == kEmulatorBackend) {
        auto bench = std::make_shared<TEmulatorBench>(dataDir);
        registry.registerProgId(kFptrProgId,
                                [bench] { return std::make_unique<TFptrEmulator>(bench); });
    }
    // A backend over the vendor's native library is to be registered here, beside this one.
}

}  // namespace th
