// Serial devices and the user's access to them, seen by an unprivileged user: the tests run
// as root, hand a pseudo-terminal to a group with a mode, and ask from a child that dropped
// to uid 65534.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/SerialPorts.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

using namespace th;
using namespace th::test;

namespace {

constexpr const char* kNoProblem = "<none>";

std::string problemText(const std::filesystem::path& device) {
    return deviceAccessProblem(device).value_or(kNoProblem);
}

struct AccessCase {
    const char* name;
    const char* group;  // the device's group
    mode_t mode;
    std::vector<std::string> expected;  // pieces of the message; none: no problem
};

class DeviceAccess : public ::testing::TestWithParam<AccessCase> {};

}  // namespace

TEST_P(DeviceAccess, NamesTheDeviceAndTheFixWhenTheUserMayNotOpenIt) {
    if (!canDropPrivileges())
        GTEST_SKIP() << "needs root to hand the device to a group and drop to another user";
    const AccessCase& c = GetParam();
    const auto group = groupId(c.group);
    ASSERT_TRUE(group) << c.group;
    PseudoTerminal device;
    ASSERT_FALSE(device.path().empty());
    ASSERT_TRUE(device.setAccess(*group, c.mode));

    const auto seen = runUnprivileged([&] { return problemText(device.path()); });
    ASSERT_TRUE(seen);
    if (c.expected.empty()) {
        EXPECT_EQ(*seen, kNoProblem);
        return;
    }
    EXPECT_TRUE(seen->starts_with("Нет доступа к порту " + device.path().string() + ": ")) << *seen;
    for (const std::string& piece : c.expected)
        EXPECT_NE(seen->find(piece), std::string::npos) << piece << " in " << *seen;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DeviceAccess,
    ::testing::Values(
        AccessCase{"groupMayUse",
                   "dialout",
                   0660,
                   {"у пользователя nobody нет права чтения и записи устройства",
                    "Добавьте пользователя в группу dialout (sudo usermod -aG dialout nobody)",
                    "войдите снова"}},
        AccessCase{"groupMayOnlyWrite",
                   "tty",
                   0620,
                   {"правилом udev", "GROUP=\"dialout\"", "sudo usermod -aG dialout nobody"}},
        AccessCase{"ownerOnly", "root", 0600, {"правилом udev"}},
        AccessCase{"everyone", "dialout", 0666, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceAccess, AMissingDeviceAsksToConnectTheRegisterAndChooseFromTheList) {
    TempDir dir;
    EXPECT_EQ(problemText(dir.file("ttyUSB7")),
              "Порт " + dir.file("ttyUSB7").string() +
                  " не найден: проверьте, что касса подключена и включена, и выберите порт из "
                  "списка.");
}

TEST(DeviceAccess, OnlyTheDevicesOfThePrefixThatTheUserMayNotOpenAreNamed) {
    if (!canDropPrivileges())
        GTEST_SKIP() << "needs root to hand devices to a group and drop to another user";
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    PseudoTerminal refused, open;
    ASSERT_TRUE(refused.setAccess(*groupId("dialout"), 0660));
    ASSERT_TRUE(open.setAccess(*groupId("dialout"), 0666));
    std::filesystem::create_symlink(refused.path(), dir.file("ttyACM1"));
    std::filesystem::create_symlink(open.path(), dir.file("ttyACM0"));
    std::filesystem::create_symlink(refused.path(), dir.file("ttyUSB0"));

    const auto seen = runUnprivileged([&] {
        std::string names;
        for (const auto& device : unopenableDevices(dir.path(), "ttyACM"))
            names += device.filename().string() + ";";
        return names;
    });
    ASSERT_TRUE(seen);
    EXPECT_EQ(*seen, "ttyACM1;");
    EXPECT_TRUE(unopenableDevices(dir.path(), "ttyACM").empty()) << "root may open them all";
    EXPECT_TRUE(unopenableDevices(dir.file("absent"), "ttyACM").empty());
}

TEST(SerialPorts, DevicePathsAreTheOnesTheSystemOpens) {
    const std::pair<const char*, bool> cases[] = {{"/dev/ttyS0", true},
                                                  {"/dev/ttyACM0", true},
                                                  {"COM3", false},
                                                  {"", false},
                                                  {"ttyUSB0", false}};
    for (auto [port, device] : cases)
        EXPECT_EQ(isDevicePath(port), device) << port;
}

TEST(SerialPorts, TheMachinesPortsAreDevicesSortedByName) {
    const std::vector<SerialPortEntry> ports = systemSerialPorts();
    for (const SerialPortEntry& port : ports)
        EXPECT_TRUE(port.name.starts_with("/dev/")) << port.name;
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
}
