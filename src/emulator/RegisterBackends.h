#pragma once

#include <filesystem>
#include <string>

#include "drivers/Automation.h"

namespace th {

// Serves "AddIn.Fptr10" according to settings.ini's system/RegisterDriver:
// "emulator" installs the register emulator over the bench files in dataDir (every object
// it creates shares one bench); a path of a library (such as /opt/.../libfptr10.so, or
// lib/libfptr10-emulator.so) installs the vendor's native driver loaded from it; any other
// value leaves the ProgID unserved, so creating the driver fails as when the vendor's
// driver is not installed. The emulator also offers its bench's port names (such as "COM3")
// as the ports to choose from; otherwise the machine's serial ports are offered.
void installRegisterBackend(AutomationRegistry& registry, const std::string& registerDriver,
                            const std::filesystem::path& dataDir);

}  // namespace th
