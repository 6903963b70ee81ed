// "coresys board" and the in32/out32 programs, run as built programs against a board in an
// isolated host; what they program is read back through the device calls the framework uses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <fstream>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Device.h"
#include "TestSupport.h"

namespace {

namespace Platform = CoreSystem::Platform;
using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Outcome;
using Lines = std::vector<std::string>;

const std::string kTools = CoreSystemTest::BuildDirectory() + "/tools/coresys";

Outcome Board(const std::vector<std::string>& args) {
    std::vector<std::string> all{"board"};
    all.insert(all.end(), args.begin(), args.end());
    return CoreSystemTest::RunProgram(kTools + "/coresys", all);
}

TEST(CoresysBoard, ProgramsOtpAndMemoryThatTheDeviceCallsReadBack) {
    IsolatedHost host;
    Outcome none = Board({"log"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "coresys: no board under " + host.root() + " (create one with 'coresys board init')\n");
    ASSERT_EQ(Board({"init", "--write-target", "legacy"}).status, 0);

    std::string block(256, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(255 - i);
    const std::string file = host.root() + "/block.bin";
    std::ofstream(file, std::ios::binary) << block;
    ASSERT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "3", file}).status, 0);
    std::ofstream(file, std::ios::binary | std::ios::app) << 'x';
    EXPECT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "3", file}).status, 1);  // 257 bytes

    const int control = Platform::OpenDevice("/dev/iplctl", O_RDWR);
    std::string read(256, '\0');
    EXPECT_EQ(Platform::devctl(control, 0x4004054A, read.data(), read.size(), nullptr), EOK);
    EXPECT_EQ(read, block);
    EXPECT_EQ(Board({"otp", "read", "--bank", "nor", "--type", "3"}).out, block);
    // The device's write command lands on the board's write target, the legacy bank here.
    EXPECT_EQ(Platform::devctl(control, 0x80040544, read.data(), read.size(), nullptr), EOK);
    close(control);
    const std::string hex = Board({"otp", "read", "--bank", "legacy", "--type", "3", "--hex"}).out;
    EXPECT_EQ(hex.substr(0, 48), "ff fe fd fc fb fa f9 f8 f7 f6 f5 f4 f3 f2 f1 f0\n");
    EXPECT_EQ(hex.size(), 16u * 48u);

    // The boot record programmed by hand, seen through a device memory mapping.
    ASSERT_EQ(Board({"mem", "write", "0xe63c0000", "55aa3412", "13 00 00 00"}).status, 0);
    EXPECT_EQ(Board({"mem", "read", "0xe63c0000", "6"}).out, "55 aa 34 12 13 00\n");
    auto* record = static_cast<const std::uint32_t*>(
        Platform::mmap_device_memory(nullptr, 80, PROT_READ | PROT_NOCACHE, 0, 0xE63C0000));
    ASSERT_NE(record, MAP_FAILED);
    EXPECT_EQ(record[0], 0x1234AA55u);
    EXPECT_EQ(record[1], 0x13u);
    Platform::munmap_device_memory(const_cast<std::uint32_t*>(record), 80);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"mem", "write", "0xe63c0000", "5"},
                                                {"mem", "read", "0x100000000", "4"},
                                                {"fail", "open", "EIO"},
                                                {"fail", "i2c", "ENOSUCH"}}) {
        EXPECT_EQ(Board(bad).status, 2) << bad[1];
    }
}

TEST(CoresysBoard, RegisterCommandsFailuresAndLogWorkFromTheShell) {
    IsolatedHost host;
    ASSERT_EQ(Board({"init"}).status, 0);
    ASSERT_EQ(Board({"out32", "0x53f80018", "0x00000010"}).status, 0);
    // The target's pipeline through the programs named in32 and out32, first on PATH.
    const std::string script = "PATH='" + kTools +
                               "':$PATH; out32 0x53f80018 `in32 0x53f80018 | "
                               "awk '{ print ($1 == \"0x00000010\") ? \"0x00000012\" : \"0xdeadbeef\" }'`";
    EXPECT_EQ(CoreSystemTest::RunProgram("/bin/sh", {"-c", script}).status, 0);
    EXPECT_EQ(Board({"in32", "0x53f80018"}).out, "0x00000012\n");
    Outcome bad = CoreSystemTest::RunProgram(kTools + "/out32", {"0x53f80018"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "out32: usage: out32 ADDRESS VALUE\n");

    ASSERT_EQ(Board({"fail", "devctl-0x40040548", "EIO", "--count", "2"}).status, 0);
    EXPECT_EQ(Board({"fail"}).out, "devctl-0x40040548 EIO 2\n");
    const int control = Platform::OpenDevice("/dev/iplctl", O_RDWR);
    std::vector<std::uint8_t> buffer(256);
    for (const int expected : {EIO, EIO, EOK}) {
        EXPECT_EQ(Platform::devctl(control, 0x40040548, buffer.data(), buffer.size(), nullptr), expected);
    }
    close(control);
    EXPECT_EQ(Board({"log"}).out,
              "out32 0x53f80018 0x00000010\nout32 0x53f80018 0x00000012\n"
              "devctl /dev/iplctl 0x40040548 result=EIO\ndevctl /dev/iplctl 0x40040548 result=EIO\n"
              "devctl /dev/iplctl 0x40040548 result=0\n");
    ASSERT_EQ(Board({"log", "--clear"}).status, 0);
    EXPECT_EQ(Board({"log"}).out, "");
}

}  // namespace
