// Shutdown to loader: register sequences and the boot command block read back from the board, the
// CAN notice, and the iMX35 command text (its run through the shell is in tests/tools).
#include "CoreSystem/Application/ShutdownToLoader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Storage/StorageLayout.h"
#include "Hardware/HardwareTestSupport.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;
using Words = std::array<std::uint32_t, 20>;

/// A board of `family` with preset registers and a pattern in the boot record memory, so that the
/// untouched words show.
std::unique_ptr<OtpBoard> PresetBoard(DeviceFamily family, const Words& pattern) {
    auto board = std::make_unique<OtpBoard>(family);
    board->presetRegisters();
    EXPECT_TRUE(Board::WriteMemory(board->host.root(), kBootRecordAddress, pattern.data(), sizeof pattern));
    return board;
}

const Lines kSequence = {"out32 0xe6053004 0x80008101", "out32 0xe6050004 0x00008101", "out32 0xe6050008 0x00008100",
                        "out32 0xe6053008 0x00000101", "out32 0xe6053008 0x80000101", "out32 0xe6051008 0x00008101",
                        "out32 0xe6150120 0x00000003", "out32 0xe6150140 0x00000102", "out32 0xe6160054 0xa55a0002",
                        "out32 0xe6020008 0xa5a53fff", "out32 0xe6020000 0x5a5affff", "out32 0xe6020004 0xa5a5a588"};
const std::string kHub = "HardwareManager: Resetting H7 & USB hub", kM2 = "HardwareManager: ShutdownToLoader M2";

TEST(ShutdownToLoader, RegisterSequenceAndBootCommandBlockOfEachFamily) {
    Words pattern{};
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = 0x11111111u * static_cast<std::uint32_t>(i);
    auto skipped = [](const char* address) {
        return std::string("HardwareManager: cannot map the register at ") + address + ", access skipped";
    };
    struct Case {
        DeviceFamily family;
        int skipMappings, failMappings;  // the mappings after `skip` ones fail
        Lines events, logged;
        bool blockWritten;
    };
    const Case cases[] = {
        {kFamilyM2, 0, 0, kSequence, {kHub, kM2}, true},
        {kFamilyE2, 0, 0, kSequence, {kHub, kM2}, true},  // E2 logs the M2 line too
        // The first register and the block cannot be mapped: both are skipped, the rest goes on.
        {kFamilyM2, 0, 1, Lines(kSequence.begin() + 1, kSequence.end()), {skipped("0xe6053004"), kHub, kM2}, true},
        {kFamilyE2, 5, 1, kSequence, {kHub, kM2, "HardwareManager: cannot map the boot command block, not written"},
         false},
        {kFamilyUnknown, 0, 0, {}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "family " << c.family << ", mappings failing after " << c.skipMappings);
        auto board = PresetBoard(c.family, pattern);
        if (c.failMappings) Platform::FailNext(Platform::Call::MapDevice, ENXIO, c.skipMappings, c.failMappings);
        HardwareManager::ShutdownToLoader(c.family);
        Platform::ClearFaults();
        EXPECT_EQ(board->events(), c.events);
        EXPECT_EQ(board->logged(), c.logged);
        Words expected = pattern;
        if (c.blockWritten) {
            expected[0] = 0x1234AA55, expected[1] = 19, expected[2] = 1;
            expected[19] = BlockChecksum(expected.data(), 76);  // the checksum itself: tests/Hardware
        }
        Words block{};
        EXPECT_TRUE(Board::ReadMemory(board->host.root(), kBootRecordAddress, block.data(), sizeof block));
        EXPECT_EQ(block, expected);
    }
}

TEST(ShutdownToLoader, CanApplicationIsToldOnlyWhenItsDirectoryExists) {
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "installed" : "not installed");
        auto board = PresetBoard(kFamilyM2, {});
        ASSERT_EQ(NMTest::createRegistryInChild(8), 0);
        std::string name = kCanApplication;
        if (installed) std::filesystem::create_directories(AutoloadAccessPath(AppPath(name)));
        CoreSystemTest::Child child = CoreSystemTest::Spawn([installed] {
            NM::NMClient can(true);
            if (installed) CHILD_CHECK(can.openReceiveChannel(can.getChannelIndex(kCanApplicationAction)) >= 0);
            HardwareManager::ShutdownToLoader(kFamilyM2);
            if (!installed) {
                // Nothing was claimed: the next endpoint gets the first slot.
                CHILD_CHECK(can.getChannelIndex("probe") == 0);
                return 0;
            }
            char frame[16];
            int index = -1, size = -1;
            CHILD_CHECK(CoreSystemTest::Eventually([&] { return (size = can.recvMsg(&index, frame, sizeof frame)) > 0; },
                                                   std::chrono::seconds(5)));
            CHILD_CHECK(index == 0 && std::string(frame, static_cast<std::size_t>(size)) == std::string("\5\0\0\0\0\0\0\0", 8));
            return 0;
        });
        EXPECT_EQ(CoreSystemTest::Wait(child), 0);
        EXPECT_EQ(board->events(), kSequence);  // the sequence runs either way
    }
}

TEST(ShutdownToLoader, Imx35CommandKeepsAnyScriptPathOutOfTheShell) {
    const std::string command = "out32 0x53f80018 `in32 0x53f80018 | awk -f ";
    EXPECT_EQ(LoaderShutdownCommand("/data/v1.2_x+y-z/app/bootToLoader.awk"),
              command + "/data/v1.2_x+y-z/app/bootToLoader.awk`");
    EXPECT_EQ(LoaderShutdownCommand("/my dir/it's;`reboot`$(x)/app/bootToLoader.awk"),
              command + "'/my dir/it'\\''s;`reboot`$(x)/app/bootToLoader.awk'`");

    CoreSystemTest::IsolatedHost host;
    ASSERT_EQ(setenv("AUTOLOADPATH", "/my dir/", 1), 0);
    EXPECT_EQ(LoaderScriptPath(), "/my dir/app/bootToLoader.awk");  // as given, also on this host
    unsetenv("AUTOLOADPATH");
    EXPECT_EQ(LoaderScriptPath(), Platform::DevicePath("/fs/etfs/app/bootToLoader.awk"));
}

}  // namespace
