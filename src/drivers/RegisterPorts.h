#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/SerialPorts.h"

namespace th {

// The ports a register may answer on, as the backend that serves the register driver sees
// them, and the user's access to the devices behind them. The vendor's driver opens the
// machine's devices; the emulator knows the port names of its bench.
class RegisterPorts {
public:
    using Lister = std::function<std::vector<SerialPortEntry>()>;

    // The machine's own serial ports, with USB registers' devices in /dev.
    RegisterPorts();
    // lister gives the ports to offer; deviceDir is where a USB register's device appears.
    RegisterPorts(Lister lister, std::filesystem::path deviceDir);

    // Read afresh at every call: registers come and go.
    std::vector<SerialPortEntry> list() const;
    // Before a COM connection: why the user may not open the port, when it is a device.
    std::optional<std::string> comAccessProblem(const std::string& port) const;
    // After a failed USB connection: why the user may not open a USB register's device
    // (ttyACM*), when there is one the user may not open.
    std::optional<std::string> usbAccessProblem() const;

private:
    Lister lister_;
    std::filesystem::path deviceDir_;
};

}  // namespace th
