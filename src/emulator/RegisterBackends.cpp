#include "emulator/RegisterBackends.h"

#include <memory>

#include "drivers/native/NativeFptr.h"
#include "emulator/FptrEmulator.h"

namespace th {

namespace {

constexpr const char* kEmulatorBackend = "emulator";

// A path names the vendor's library (or one with its interface): anything with a slash,
// or a bare library file name the loader looks up itself.
bool namesLibrary(const std::string& registerDriver) {
    return registerDriver.find('/') != std::string::npos || registerDriver.ends_with(".so") ||
           registerDriver.find(".so.") != std::string::npos;
}

}  // namespace

void installRegisterBackend(AutomationRegistry& registry, const std::string& registerDriver,
                            const std::filesystem::path& dataDir) {
    if (registerDriver == kEmulatorBackend) {
        auto bench = std::make_shared<TEmulatorBench>(dataDir);
        registry.registerProgId(kFptrProgId,
                                [bench] { return std::make_unique<TFptrEmulator>(bench); });
    } else if (namesLibrary(registerDriver)) {
        // The library is loaded when the first driver is created, so a missing or broken
        // one fails that creation with the loader's description, as a missing vendor
        // component does.
        registry.registerProgId(kFptrProgId, nativeFptrFactory(registerDriver));
    }
}

}  // namespace th
