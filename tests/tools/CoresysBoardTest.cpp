// "coresys board", "otp", "hwinfo", in32 and out32 against a board in an isolated host, read back
// through the framework's device calls and the board's log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "CoreSystem/Hardware/HardwareInfo.h"
#include "CoreSystem/Platform/Device.h"
#include "Hardware/HardwareTestSupport.h"
#include "ToolsTestSupport.h"

namespace {

namespace Platform = CoreSystem::Platform;
using namespace HardwareTest;
using namespace ToolsTest;

Outcome Board(std::vector<std::string> args) {
    args.insert(args.begin(), "board");
    return RunCoresys(args);
}

Outcome RunForFamily(const std::string& family, const std::vector<std::string>& args,
                     Environment environment = {}) {
    environment.emplace_back("DEVICEFAMILY", family);
    return RunCoresys(args, environment);
}

std::string WriteFile(const IsolatedHost& host, const std::string& name, const OtpBlock& bytes) {
    const std::string path = host.root() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
}

TEST(CoresysBoard, ProgramsWhatTheDeviceCallsSeeAndRunsHwinfoOtpAndShutdownThroughTheFramework) {
    IsolatedHost host;
    ExpectRefused(Board({"log"}), 1,
                  "coresys: no board under " + host.root() + " (create one with 'coresys board init')\n");
    ASSERT_EQ(Board({"init", "--write-target", "legacy"}).status, 0);

    OtpBlock block(256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(255 - i);
    const std::string file = WriteFile(host, "block.bin", block);
    ASSERT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "3", file}).status, 0);
    std::ofstream(file, std::ios::binary | std::ios::app) << 'x';
    EXPECT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "3", file}).status, 1);  // 257 bytes

    int control = Platform::OpenDevice("/dev/iplctl", O_RDWR);
    OtpBlock read(256);
    EXPECT_EQ(Platform::devctl(control, 0x4004054A, read.data(), read.size(), nullptr), EOK);
    EXPECT_EQ(read, block);
    EXPECT_EQ(Board({"otp", "read", "--bank", "nor", "--type", "3"}).out, std::string(block.begin(), block.end()));
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
                                                {"mem", "read", "0x100000000", "4"}, {"fail", "open", "EIO"},
                                                {"fail", "i2c", "ENOSUCH"}}) {
        EXPECT_EQ(Board(bad).status, 2) << bad[1];
    }

    ASSERT_EQ(Board({"log", "--clear"}).status, 0);
    ASSERT_EQ(Board({"out32", "0x53f80018", "0x00000010"}).status, 0);
    // The target's pipeline through the programs named in32 and out32, first on PATH.
    const std::string script = "PATH='" + kTools + "coresys" +
                               "':$PATH; out32 0x53f80018 `in32 0x53f80018 | "
                               "awk '{ print ($1 == \"0x00000010\") ? \"0x00000012\" : \"0xdeadbeef\" }'`";
    EXPECT_EQ(RunProgram("/bin/sh", {"-c", script}).status, 0);
    EXPECT_EQ(Board({"in32", "0x53f80018"}).out, "0x00000012\n");
    ExpectRefused(RunProgram(kTools + "coresys/out32", {"0x53f80018"}), 1, "out32: usage: out32 ADDRESS VALUE\n");

    ASSERT_EQ(Board({"fail", "devctl-0x40040548", "EIO", "--count", "2"}).status, 0);
    EXPECT_EQ(Board({"fail"}).out, "devctl-0x40040548 EIO 2\n");
    control = Platform::OpenDevice("/dev/iplctl", O_RDWR);
    for (const int expected : {EIO, EIO, EOK}) {
        EXPECT_EQ(Platform::devctl(control, 0x40040548, read.data(), read.size(), nullptr), expected);
    }
    close(control);
    EXPECT_EQ(Board({"log"}).out,
              "out32 0x53f80018 0x00000010\nout32 0x53f80018 0x00000012\n"
              "devctl /dev/iplctl 0x40040548 result=EIO\ndevctl /dev/iplctl 0x40040548 result=EIO\n"
              "devctl /dev/iplctl 0x40040548 result=0\n");

    // A new board: hwinfo, OTP through the framework and the shutdown sequences.
    CreateBoard(host);
    const OtpBlock type1 = Type1({{9, 2}, {11, 0x02580400}, {15, 2}, {60, 0x33445566}, {61, 0xABCD1122}, {62, 0x62}});
    ASSERT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "1", WriteFile(host, "1", type1)}).status, 0);
    const std::string type2 = WriteFile(host, "2", Type2(8, {{3, 1, 1}}));
    ASSERT_EQ(Board({"otp", "write", "--bank", "nor", "--type", "2", type2}).status, 0);
    const Outcome json = RunForFamily("M2", {"hwinfo", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto info = nlohmann::json::parse(json.out);
    std::set<std::string> found, keys = {"DeviceFamily", "GetMacAddress", "GetMacAddressString",
                                         "GetInfoWord62", "HasValidOtpBlock", "GetResourceList"};
    for (const auto& getter : CoreSystem::NumberGetters()) keys.insert(getter.name);
    for (const auto& item : info.items()) found.insert(item.key());
    EXPECT_EQ(found, keys);
    const nlohmann::json expected = {
        {"DeviceFamily", 2}, {"GetBoardVariant", 2}, {"GetInfo15", 2}, {"GetInfo16", 0},
        {"GetDisplayResolution", 0x02580400}, {"GetMacAddress", 0xABCD112233445566u},
        {"GetMacAddressString", "11:22:33:44:55:66"}, {"GetInfoWord62", {{"1", 0x62}, {"2", 0}, {"3", 0}}},
        {"HasValidOtpBlock", {{"1", true}, {"2", true}, {"3", true}}},
        {"GetResourceList", {{{"unit", 3}, {"kind", 3}, {"mode", 2}}}}};
    for (const auto& item : expected.items()) EXPECT_EQ(info[item.key()], item.value()) << item.key();
    for (const std::string& line : BoardLog(host)) EXPECT_EQ(line.find("0x8004"), std::string::npos) << line;

    const Outcome text = RunForFamily("M2", {"hwinfo"});
    EXPECT_NE(text.out.find("GetDisplayResolution   1024 x 600\nGetInfo12"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("GetMacAddressString    11:22:33:44:55:66\n"), std::string::npos) << text.out;

    // OTP through the framework on erased banks: a broken block is refused before anything reaches the board.
    CreateBoard(host);
    OtpBlock good = Type1({{9, 1}}), broken = good;
    broken[3] ^= 1;
    ExpectRefused(RunForFamily("E2", {"otp", "write", "--type", "1", WriteFile(host, "broken", broken)}), 1,
                  "coresys: write refused: ");
    EXPECT_EQ(BoardLog(host), Lines{});
    EXPECT_EQ(RunForFamily("E2", {"otp", "write", "--type", "1", WriteFile(host, "block", good)}).status, 0);
    const Outcome readBack = RunForFamily("E2", {"otp", "read", "--type", "1"}, {{"CORESYSTEM_SLOG", "stderr"}});
    EXPECT_EQ(readBack.out, std::string(good.begin(), good.end()));
    EXPECT_EQ(readBack.err, "12345 6 Call from Check OTP Location\n12345 6 OTP read from new NOR BANK\n");
    EXPECT_EQ(RunForFamily("E2", {"otp", "read", "--type", "1", "--bank", "legacy"}).status, 1);
    EXPECT_EQ(Board({"checksum", WriteFile(host, "digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'})}).out,
              "0x942f51fb\n");

    Board::ClearLog(host.root());
    EXPECT_EQ(RunForFamily("E2", {"board", "shutdown"}).status, 0);
    EXPECT_EQ(BoardLog(host), Lines{"out32 0xe6055008 0x00000000"});  // the sequences: tests/Hardware
    // iMX35 through in32/out32 with a hostile autoload base: a blank, a quote and a command.
    const std::string base = host.root() + "/it's a b;touch " + host.root() + "/pwned;/";
    std::filesystem::create_directories(base + "app");
    std::ofstream(base + "app/bootToLoader.awk") << "{ print \"0x0000abcd\" }\n";
    Board::ClearLog(host.root());
    const Outcome imx35 = RunForFamily("iMX35", {"board", "shutdown-to-loader"},
                                       {{"AUTOLOADPATH", base}, {"PATH", kTools + "coresys:" + std::getenv("PATH")}});
    EXPECT_EQ(imx35.status, 0) << imx35.err;
    EXPECT_EQ(BoardLog(host), (Lines{"out32 0x53f80018 0x0000abcd", "out16 0x53fdc000 0x0000"}));
    EXPECT_FALSE(std::filesystem::exists(host.root() + "/pwned"));
    ExpectRefused(RunForFamily("e2", {"board", "shutdown"}), 1, "coresys: DEVICEFAMILY names no family");
}

}  // namespace
