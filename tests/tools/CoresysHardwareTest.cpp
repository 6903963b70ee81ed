// "coresys otp", "coresys hwinfo" and "coresys board checksum|shutdown", run as the built program
// against a board programmed with "coresys board" in an isolated host.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>

#include "CoreSystem/Hardware/HardwareInfo.h"
#include "Hardware/HardwareTestSupport.h"

namespace {

using namespace HardwareTest;
using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Outcome;
using CoreSystemTest::BoardLog;

const std::string kCoresys = CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";

Outcome Coresys(const std::vector<std::string>& args, const std::string& family,
                const CoreSystemTest::Environment& more = {}) {
    CoreSystemTest::Environment environment = more;
    environment.emplace_back("DEVICEFAMILY", family);
    return CoreSystemTest::Program(kCoresys, args, environment).finish();
}

std::string WriteFile(const IsolatedHost& host, const std::string& name, const OtpBlock& bytes) {
    const std::string path = host.root() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(CoresysHardware, HwinfoAnswersEveryGetterOfTheProgrammedBoard) {
    IsolatedHost host;
    ASSERT_EQ(Coresys({"board", "init"}, "").status, 0);
    const OtpBlock type1 = Type1({{9, 2}, {11, 1024u | 600u << 16}, {15, 2}, {60, 0x33445566}, {61, 0xABCD1122}, {62, 0x62}});
    for (const auto& [type, block] : std::vector<std::pair<std::string, OtpBlock>>{{"1", type1}, {"2", Type2(8, {{3, 1, 1}})}}) {
        ASSERT_EQ(Coresys({"board", "otp", "write", "--bank", "nor", "--type", type, WriteFile(host, "b", block)}, "").status, 0);
    }

    const Outcome json = Coresys({"hwinfo", "--json"}, "M2");
    ASSERT_EQ(json.status, 0) << json.err;
    const auto info = nlohmann::json::parse(json.out);
    // Every number agrees with the getters asked in this process; the structured ones as documented.
    const int control = CoreSystem::Platform::OpenDevice("/dev/iplctl", O_RDWR);
    CoreSystem::OtpReader reader(CoreSystem::kFamilyM2, [control](int dcmd, void* data, std::size_t bytes) {
        return CoreSystem::IplDevctl(control, dcmd, data, bytes, nullptr);
    });
    std::set<std::string> keys = {"DeviceFamily", "GetMacAddress", "GetMacAddressString", "GetInfoWord62",
                                  "HasValidOtpBlock", "GetResourceList"};
    for (const auto& getter : CoreSystem::NumberGetters()) {
        keys.insert(getter.name);
        EXPECT_EQ(info.at(getter.name), getter.get(reader)) << getter.name;
    }
    close(control);
    std::set<std::string> found;
    for (const auto& item : info.items()) found.insert(item.key());
    EXPECT_EQ(found, keys);
    EXPECT_EQ(info["DeviceFamily"], 2);
    EXPECT_EQ(info["GetBoardVariant"], 2);
    EXPECT_EQ(info["GetInfo15"], 2);
    EXPECT_EQ(info["GetMacAddress"], 0xABCD112233445566u);
    EXPECT_EQ(info["GetMacAddressString"], "11:22:33:44:55:66");
    EXPECT_EQ(info["GetInfoWord62"], nlohmann::json({{"1", 0x62}, {"2", 0}, {"3", 0}}));
    EXPECT_EQ(info["HasValidOtpBlock"], nlohmann::json({{"1", true}, {"2", true}, {"3", true}}));
    EXPECT_EQ(info["GetResourceList"], nlohmann::json::parse(R"([{"unit": 3, "kind": 3, "mode": 2}])"));
    for (const std::string& line : BoardLog(host)) EXPECT_EQ(line.find("0x8004"), std::string::npos) << line;

    const Outcome text = Coresys({"hwinfo"}, "M2");
    EXPECT_NE(text.out.find("GetDisplayResolution   1024 x 600\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("GetMacAddressString    11:22:33:44:55:66\n"), std::string::npos) << text.out;

    // Another family answers 0 everywhere without reaching the device.
    Board::ClearLog(host.root());
    const auto imx35 = nlohmann::json::parse(Coresys({"hwinfo", "--json"}, "iMX35").out);
    for (const auto& getter : CoreSystem::NumberGetters()) EXPECT_EQ(imx35.at(getter.name), 0) << getter.name;
    EXPECT_EQ(imx35["GetMacAddressString"], "00:00:00:00:00:00");
    EXPECT_TRUE(imx35["GetResourceList"].empty());
    EXPECT_EQ(BoardLog(host), Lines{});
}

TEST(CoresysHardware, OtpCommandsGoThroughTheFrameworkAndChecksumPrintsTheBlockChecksum) {
    IsolatedHost host;
    ASSERT_EQ(Coresys({"board", "init"}, "").status, 0);
    OtpBlock block = Type1({{9, 1}});
    OtpBlock broken = block;
    broken[3] ^= 1;
    const Outcome refused = Coresys({"otp", "write", "--type", "1", WriteFile(host, "broken", broken)}, "E2");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("coresys: write refused: ", 0), 0u) << refused.err;
    EXPECT_EQ(BoardLog(host), Lines{});
    EXPECT_EQ(Coresys({"otp", "write", "--type", "1", WriteFile(host, "block", block)}, "E2").status, 0);

    const Outcome read = Coresys({"otp", "read", "--type", "1"}, "E2", {{"CORESYSTEM_SLOG", "stderr"}});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, std::string(block.begin(), block.end()));
    EXPECT_EQ(read.err, "12345 6 Call from Check OTP Location\n12345 6 OTP read from new NOR BANK\n");
    EXPECT_EQ(Coresys({"otp", "read", "--type", "1", "--bank", "legacy"}, "E2").status, 1);
    EXPECT_EQ(Coresys({"otp", "read", "--type", "1"}, "iMX35").err,
              "coresys: no OTP data: boards of the iMX35 family have no OTP data (DEVICEFAMILY must be M2 or E2)\n");

    const std::string digits = WriteFile(host, "digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(Coresys({"board", "checksum", digits}, "").out, "0x942f51fb\n");
    EXPECT_EQ(Coresys({"board", "checksum", host.root() + "/missing"}, "").status, 1);
}

TEST(CoresysHardware, BoardShutdownRunsTheSequenceOfTheFamily) {
    IsolatedHost host;
    ASSERT_EQ(Coresys({"board", "init"}, "").status, 0);
    EXPECT_EQ(Coresys({"board", "shutdown"}, "E2").status, 0);
    EXPECT_EQ(BoardLog(host), Lines{"out32 0xe6055008 0x00000000"});
    const Outcome unknown = Coresys({"board", "shutdown"}, "e2");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err.rfind("coresys: DEVICEFAMILY names no family", 0), 0u) << unknown.err;
}

}  // namespace
