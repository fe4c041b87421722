#include "drivers/RegisterPorts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>

namespace th {

namespace {

// A USB register shows up as a modem-class device.
constexpr const char* kUsbRegisterDevicePrefix = "ttyACM";

// The fix named when neither the device's group nor anything else already gives access.
const std::string kRuleFix = std::string("Установите пакет tillhaven с правилом udev ") +
                             kRegisterUdevRule + " (SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"" +
                             kRegisterUsbVendor +
                             "\", TAG+=\"uaccess\"), затем подключите кассу заново.";

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<int> numberIn(const std::filesystem::path& file) {
    try {
        return std::stoi(firstLine(file));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string threeDigits(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

bool mayReadAndWrite(const std::filesystem::path& node) {
    return ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0 || errno == ENOENT;
}

}  // namespace

RegisterPorts::RegisterPorts()
    : RegisterPorts(systemSerialPorts, "/dev", {"/sys/bus/usb/devices", "/dev/bus/usb"}) {}

RegisterPorts::RegisterPorts(Lister lister, std::filesystem::path deviceDir, UsbDeviceTree usb)
    : lister_(std::move(lister)), deviceDir_(std::move(deviceDir)), usb_(std::move(usb)) {}

std::vector<SerialPortEntry> RegisterPorts::list() const {
    return lister_();
}

std::optional<std::string> RegisterPorts::comAccessProblem(const std::string& port) const {
    if (!isDevicePath(port))
        return std::nullopt;
    return deviceAccessProblem(port);
}

std::optional<std::string> RegisterPorts::usbAccessProblem() const {
    for (const std::filesystem::path& node : vendorUsbNodes())
        if (!mayReadAndWrite(node))
            return deviceAccessProblem(node, kRuleFix);
    const auto refused = unopenableDevices(deviceDir_, kUsbRegisterDevicePrefix);
    if (refused.empty())
        return std::nullopt;
    return deviceAccessProblem(refused.front(), kRuleFix);
}

// The vendor's USB devices that are plugged in, by their nodes, sorted.
std::vector<std::filesystem::path> RegisterPorts::vendorUsbNodes() const {
    std::vector<std::filesystem::path> nodes;
    if (usb_.sysfs.empty())
        return nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(usb_.sysfs, error)) {
        if (firstLine(entry.path() / "idVendor") != kRegisterUsbVendor)
            continue;
        const std::optional<int> bus = numberIn(entry.path() / "busnum");
        const std::optional<int> device = numberIn(entry.path() / "devnum");
        if (bus && device)
            nodes.push_back(usb_.nodes / threeDigits(*bus) / threeDigits(*device));
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

}  // namespace th
