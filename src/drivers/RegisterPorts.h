#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/SerialPorts.h"

namespace th {

// Where the system shows USB devices: one directory per device with its idVendor, busnum
// and devnum (sysfs), and the device nodes as <nodes>/<bus>/<device>, three digits each.
struct UsbDeviceTree {
    std::filesystem::path sysfs;
    std::filesystem::path nodes;
};

// The register vendor's USB id, as the system writes it in idVendor.
inline constexpr const char* kRegisterUsbVendor = "2912";
// The udev rule the package installs: the user at the seat may open the vendor's USB
// devices and their modem ports.
inline constexpr const char* kRegisterUdevRule = "70-tillhaven-atol.rules";

// The ports a register may answer on, as the backend that serves the register driver sees
// them, and the user's access to the devices behind them. The vendor's driver opens the
// machine's devices; the emulator knows the port names of its bench.
class RegisterPorts {
public:
    using Lister = std::function<std::vector<SerialPortEntry>()>;

    // The machine's own serial ports and USB devices.
    RegisterPorts();
    // lister gives the ports to offer; deviceDir is where a USB register's modem port
    // appears; usb is where its USB device does (none when its paths are empty).
    RegisterPorts(Lister lister, std::filesystem::path deviceDir, UsbDeviceTree usb = {});

    // Read afresh at every call: registers come and go.
    std::vector<SerialPortEntry> list() const;
    // Before a COM connection: why the user may not open the port, when it is a device.
    std::optional<std::string> comAccessProblem(const std::string& port) const;
    // After a failed USB connection: why the user may not open a USB register, when one of
    // its devices is there and refused: the vendor's USB device itself (which the vendor's
    // driver opens) or its modem port (ttyACM*).
    std::optional<std::string> usbAccessProblem() const;

private:
    std::vector<std::filesystem::path> vendorUsbNodes() const;

    Lister lister_;
    std::filesystem::path deviceDir_;
    UsbDeviceTree usb_;
};

}  // namespace th
