#include "emulator/RegisterBackends.h"

#include <memory>
#include <set>

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

// The bench's COM port names, each with the register behind it. A bench that cannot be read
// offers none; connecting says why.
std::vector<SerialPortEntry> benchPorts(EmulatorBench& bench) {
    std::vector<SerialPortEntry> ports;
    std::set<std::string> seen;
    try {
        for (const RegisterConfig& r : bench.session().registers()) {
            if (r.port == "USB" || !seen.insert(r.port).second)
                continue;
            ports.push_back({r.port, "эмулятор: " + r.model + ", " + r.serial});
        }
    } catch (const std::exception&) {
        return {};
    }
    return ports;
}

}  // namespace

void installRegisterBackend(AutomationRegistry& registry, const std::string& registerDriver,
                            const std::filesystem::path& dataDir) {
    if (registerDriver == kEmulatorBackend) {
        auto bench = std::make_shared<EmulatorBench>(dataDir);
        registry.registerProgId(kFptrProgId,
                                [bench] { return std::make_unique<FptrEmulator>(bench); });
        // The emulator's registers stand on no device of this machine.
        registry.setPorts(
            std::make_shared<const RegisterPorts>([bench] { return benchPorts(*bench); }, ""));
    } else if (namesLibrary(registerDriver)) {
        // The library is loaded when the first driver is created, so a missing or broken
        // one fails that creation with the loader's description, as a missing vendor
        // component does.
        registry.registerProgId(kFptrProgId, nativeFptrFactory(registerDriver));
    }
}

}  // namespace th
