// The shutdown sequence of every family, read back from the board's log, and the control device's
// descriptor (process-wide, so tried in a forked child).
#include "CoreSystem/Hardware/HardwareManager.h"

#include <gtest/gtest.h>

#include "CoreSystem/Platform/Faults.h"
#include "HardwareTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;

const char* const kWatchdogEnabled = "HardwareManager: M2 PMIC Watchdog Enabled";
const char* const kTimerReset = "HardwareManager: M2 PMIC Watchdog Timer Reset";

TEST(HardwareManagerTest, EachFamilysSequenceReachesTheBoardInOrder) {
    const Lines m2Head = {"out32 0xe6053004 0x80008101", "out32 0xe6050004 0x00008101", "out32 0xe6050008 0x00008100",
                          "out32 0xe6053008 0x00000101", "out32 0xe6053008 0x80000101"};
    auto m2 = [&](const std::string& result) {
        Lines events = m2Head;
        events.push_back("i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=11 69 result=" + result);
        events.push_back("i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=13 01 result=" + result);
        events.push_back("out32 0xe6050008 0x00008000");  // bit 8 cleared whatever the chip said
        return events;
    };
    const Lines m2Events = m2("0");
    const std::string shutdownM2 = "HardwareManager: Shutdown M2", hub = "HardwareManager: Resetting H7 & USB hub";
    const struct {
        const char* name;
        DeviceFamily family;
        std::vector<Board::FaultRule> faults;
        Lines events, logged;
    } cases[] = {
        {"M2", kFamilyM2, {}, m2Events, {shutdownM2, hub, kWatchdogEnabled, kTimerReset}},
        {"M2, I2C failing",
         kFamilyM2,
         {{"i2c", EIO, 2}},
         m2("EIO"),
         {shutdownM2, hub, "HardwareManager: M2 PMIC i2c_write failed: reg = 11 data = 69",
          "HardwareManager: M2 PMIC i2c_write failed: reg = 13 data = 1"}},
        {"M2, first register unmappable",
         kFamilyM2,
         {{"mmap", ENXIO, 1}},
         Lines(m2Events.begin() + 1, m2Events.end()),
         {shutdownM2, "HardwareManager: cannot map the register at 0xe6053004, access skipped", hub, kWatchdogEnabled,
          kTimerReset}},
        {"E2", kFamilyE2, {}, {"out32 0xe6055008 0x00000001"}, {"HardwareManager: Shutdown E2"}},
        {"iMX35", kFamilyIMX35, {}, {"out16 0x53fdc000 0x0000"}, {"HardwareManager: Shutdown iMX35"}},
        {"unknown", kFamilyUnknown, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OtpBoard board(c.family);
        for (const std::uint64_t address : {0xE6053004u, 0xE6050004u, 0xE6050008u, 0xE6053008u}) {
            const std::uint32_t preset = 0x00008101;  // bits 0, 8 and 15
            ASSERT_TRUE(Board::WriteMemory(board.host.root(), address, &preset, 4));
        }
        const std::uint32_t e2Preset = 0x00200001, imx35Preset = 0xFFFF;
        ASSERT_TRUE(Board::WriteMemory(board.host.root(), 0xE6055008, &e2Preset, 4));
        ASSERT_TRUE(Board::WriteMemory(board.host.root(), 0x53FDC000, &imx35Preset, 4));
        for (const auto& rule : c.faults) ASSERT_TRUE(Board::AddFault(board.host.root(), rule));

        HardwareManager::Shutdown(c.family);
        EXPECT_EQ(board.events(), c.events);
        EXPECT_EQ(board.logged(), c.logged);
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
        // Kept even when asked with another family: one descriptor per process.
        if (IplControlDescriptor(kFamilyIMX35) != fd) return 4;
        std::vector<std::uint8_t> block(256);
        return IplDevctl(fd, 0x40040548, block.data(), block.size(), nullptr) == 0 ? 0 : 5;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

}  // namespace
