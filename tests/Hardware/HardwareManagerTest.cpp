// The shutdown sequence of every family, read back from the board's log, and the control device's
// descriptor (process-wide, so tried in a forked child).
#include "CoreSystem/Hardware/HardwareManager.h"

#include <gtest/gtest.h>

#include "CoreSystem/Platform/Faults.h"
#include "HardwareTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;

TEST(HardwareManagerTest, EachFamilysSequenceReachesTheBoardInOrder) {
    auto m2Events = [](const std::string& result) {
        return Lines{"out32 0xe6053004 0x80008101", "out32 0xe6050004 0x00008101", "out32 0xe6050008 0x00008100",
                     "out32 0xe6053008 0x00000101", "out32 0xe6053008 0x80000101",
                     "i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=11 69 result=" + result,
                     "i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=13 01 result=" + result,
                     "out32 0xe6050008 0x00008000"};  // bit 8 cleared whatever the chip said
    };
    Lines unmapped = m2Events("0");
    unmapped.erase(unmapped.begin());
    const std::string m2 = "HardwareManager: Shutdown M2", hub = "HardwareManager: Resetting H7 & USB hub",
                      enabled = "HardwareManager: M2 PMIC Watchdog Enabled",
                      reset = "HardwareManager: M2 PMIC Watchdog Timer Reset";
    const std::tuple<DeviceFamily, std::vector<Board::FaultRule>, Lines, Lines> cases[] = {
        {kFamilyM2, {}, m2Events("0"), {m2, hub, enabled, reset}},
        {kFamilyM2,
         {{"i2c", EIO, 2}},
         m2Events("EIO"),
         {m2, hub, "HardwareManager: M2 PMIC i2c_write failed: reg = 11 data = 69",
          "HardwareManager: M2 PMIC i2c_write failed: reg = 13 data = 1"}},
        {kFamilyM2,
         {{"mmap", ENXIO, 1}},
         unmapped,
         {m2, "HardwareManager: cannot map the register at 0xe6053004, access skipped", hub, enabled, reset}},
        {kFamilyE2, {}, {"out32 0xe6055008 0x00000001"}, {"HardwareManager: Shutdown E2"}},
        {kFamilyIMX35, {}, {"out16 0x53fdc000 0x0000"}, {"HardwareManager: Shutdown iMX35"}},
        {kFamilyUnknown, {}, {}, {}},
    };
    for (const auto& [family, faults, events, logged] : cases) {
        OtpBoard board(family);
        board.presetRegisters();
        for (const auto& rule : faults) ASSERT_TRUE(Board::AddFault(board.host.root(), rule));
        HardwareManager::Shutdown(family);
        EXPECT_EQ(board.events(), events) << family;
        EXPECT_EQ(board.logged(), logged) << family;
    }
}

TEST(HardwareManagerTest, ControlDeviceOpensOnM2AndE2OnlyAndRetriesAFailedOpen) {
    CoreSystemTest::IsolatedHost host;
    CoreSystemTest::CreateBoard(host);
    CoreSystemTest::Child child = CoreSystemTest::Spawn([] {
        Platform::FailNext(Platform::Call::Open, EACCES);
        if (IplControlDescriptor(kFamilyIMX35) != -1 || IplControlDescriptor(kFamilyUnknown) != -1) return 1;
        if (IplControlDescriptor(kFamilyM2) != -1) return 2;  // the pending failure was still there
        const int fd = IplControlDescriptor(kFamilyE2);
        if (fd < 0 || IplControlDescriptor(kFamilyM2) != fd) return 3;
        std::vector<std::uint8_t> block(256);
        return IplDevctl(fd, 0x40040548, block.data(), block.size(), nullptr) == 0 ? 0 : 4;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

}  // namespace
