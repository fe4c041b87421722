#include <gtest/gtest.h>

#include "BenchFixture.h"
#include "drivers/AtolDriver.h"
#include "emulator/EmulatorBench.h"
#include "emulator/RegisterBackends.h"

namespace th {
namespace {

using test::BenchDir;
using test::benchRegister;

// The driver's contract against the emulator (beeps, serial check, catalogue, documents,
// unplugging) runs for both backends in tests/native; here only the backend's wiring.
TEST(RegisterBackends, TwoBenchRegistersConnectedBySerialBothAnswer) {
    BenchDir dir;
    dir.writeBench({benchRegister("USB-0001", "USB"), benchRegister("COM-0003", "COM3")});
    AutomationRegistry registry;
    installRegisterBackend(registry, "emulator", dir.path());

    AtolDriver usb("USB-0001", registry);
    usb.setComType("USB");
    AtolDriver com("COM-0003", registry);
    com.setComType("COM");
    com.setComPort("COM3");
    usb.connect();
    com.connect();

    Json task = {{"type", "getDeviceInfo"}};
    EXPECT_EQ(textAt(*usb.processJSON(&task), "deviceInfo.serial"), "USB-0001");
    EXPECT_EQ(textAt(*com.processJSON(&task), "deviceInfo.serial"), "COM-0003");
}

TEST(RegisterBackends, AnyOtherDriverLeavesTheProgIdUnserved) {
    BenchDir dir;
    AutomationRegistry registry;
    installRegisterBackend(registry, "", dir.path());
    installRegisterBackend(registry, "Emulator", dir.path());
    EXPECT_FALSE(registry.isRegistered(kFptrProgId));
    EXPECT_THROW(AtolDriver("1", registry), AutomationError);
}

}  // namespace
}  // namespace th
