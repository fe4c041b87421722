#include "drivers/RegisterPorts.h"

namespace th {

namespace {

// A USB register shows up as a modem-class device.
constexpr const char* kUsbRegisterDevicePrefix = "ttyACM";

}  // namespace

RegisterPorts::RegisterPorts() : RegisterPorts(systemSerialPorts, "/dev") {}

RegisterPorts::RegisterPorts(Lister lister, std::filesystem::path deviceDir)
    : lister_(std::move(lister)), deviceDir_(std::move(deviceDir)) {}

std::vector<SerialPortEntry> RegisterPorts::list() const {
    return lister_();
}

std::optional<std::string> RegisterPorts::comAccessProblem(const std::string& port) const {
    if (!isDevicePath(port))
        return std::nullopt;
    return deviceAccessProblem(port);
}

std::optional<std::string> RegisterPorts::usbAccessProblem() const {
    const auto refused = unopenableDevices(deviceDir_, kUsbRegisterDevicePrefix);
    if (refused.empty())
        return std::nullopt;
    return deviceAccessProblem(refused.front());
}

}  // namespace th
