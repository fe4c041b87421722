#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace th {

// A serial port a register may answer on: the name the driver opens and, where the system
// knows it, a description for people (a USB device's product name, an adapter's maker).
struct SerialPortEntry {
    std::string name;
    std::string description;

    bool operator==(const SerialPortEntry&) const = default;
};

// The machine's serial devices by their paths (/dev/ttyS0, /dev/ttyUSB0, /dev/ttyACM0),
// sorted by name. Built-in ports count only when a UART answers behind them.
std::vector<SerialPortEntry> systemSerialPorts();

// Whether a port name is a device file the system opens, rather than a name only a stand-in
// register knows (such as the emulator's "COM3").
bool isDevicePath(const std::string& port);

// Why the user may not use a device for a register: nullopt when the process may read and
// write it, otherwise one message that names the device and what to do about it: joining
// the device's group when that group may use it, else ruleFix when given (the rule that
// gives access to this kind of device), else a udev rule for the dialout group.
std::optional<std::string> deviceAccessProblem(const std::filesystem::path& device,
                                               const std::string& ruleFix = {});

// The devices in dir whose names start with prefix that the process may not read and
// write, sorted by name.
std::vector<std::filesystem::path> unopenableDevices(const std::filesystem::path& dir,
                                                     const std::string& prefix);

}  // namespace th
