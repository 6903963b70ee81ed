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
using CoreSystemTest::BoardLog;
using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Outcome;

Outcome Coresys(const std::vector<std::string>& args, const std::string& family,
                CoreSystemTest::Environment environment = {}) {
    environment.emplace_back("DEVICEFAMILY", family);
    return CoreSystemTest::Program(CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys", args,
                                   environment)
        .finish();
}

std::string WriteFile(const IsolatedHost& host, const std::string& name, const OtpBlock& bytes) {
    const std::string path = host.root() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(CoresysHardware, HwinfoAnswersEveryGetterOfTheProgrammedBoard) {
    IsolatedHost host;
    ASSERT_EQ(Coresys({"board", "init"}, "").status, 0);
    const OtpBlock type1 =
        Type1({{9, 2}, {11, 0x02580400}, {15, 2}, {60, 0x33445566}, {61, 0xABCD1122}, {62, 0x62}});
    for (const auto& [type, block] :
         std::vector<std::pair<std::string, OtpBlock>>{{"1", type1}, {"2", Type2(8, {{3, 1, 1}})}}) {
        ASSERT_EQ(
            Coresys({"board", "otp", "write", "--bank", "nor", "--type", type, WriteFile(host, "b", block)},
                    "")
                .status,
            0);
    }
    const Outcome json = Coresys({"hwinfo", "--json"}, "M2");
    ASSERT_EQ(json.status, 0) << json.err;
    const auto info = nlohmann::json::parse(json.out);
    std::set<std::string> keys = {"DeviceFamily",  "GetMacAddress",    "GetMacAddressString",
                                  "GetInfoWord62", "HasValidOtpBlock", "GetResourceList"},
                          found;
    for (const auto& getter : CoreSystem::NumberGetters()) keys.insert(getter.name);
    for (const auto& item : info.items()) found.insert(item.key());
    EXPECT_EQ(found, keys);
    const nlohmann::json expected = {{"DeviceFamily", 2},
                                     {"GetBoardVariant", 2},
                                     {"GetInfo15", 2},
                                     {"GetInfo16", 0},
                                     {"GetDisplayResolution", 0x02580400},
                                     {"GetMacAddress", 0xABCD112233445566u},
                                     {"GetMacAddressString", "11:22:33:44:55:66"},
                                     {"GetInfoWord62", {{"1", 0x62}, {"2", 0}, {"3", 0}}},
                                     {"HasValidOtpBlock", {{"1", true}, {"2", true}, {"3", true}}},
                                     {"GetResourceList", {{{"unit", 3}, {"kind", 3}, {"mode", 2}}}}};
    for (const auto& item : expected.items()) EXPECT_EQ(info[item.key()], item.value()) << item.key();
    for (const std::string& line : BoardLog(host)) EXPECT_EQ(line.find("0x8004"), std::string::npos) << line;

    const Outcome text = Coresys({"hwinfo"}, "M2");
    EXPECT_NE(text.out.find("GetDisplayResolution   1024 x 600\nGetInfo12"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("GetMacAddressString    11:22:33:44:55:66\n"), std::string::npos) << text.out;
}

TEST(CoresysHardware, OtpCommandsGoThroughTheFrameworkAndBoardCommandsRunItsPieces) {
    IsolatedHost host;
    ASSERT_EQ(Coresys({"board", "init"}, "").status, 0);
    OtpBlock block = Type1({{9, 1}}), broken = block;
    broken[3] ^= 1;
    const Outcome refused = Coresys({"otp", "write", "--type", "1", WriteFile(host, "broken", broken)}, "E2");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("coresys: write refused: ", 0), 0u) << refused.err;
    EXPECT_EQ(BoardLog(host), Lines{});
    EXPECT_EQ(Coresys({"otp", "write", "--type", "1", WriteFile(host, "block", block)}, "E2").status, 0);
    const Outcome read = Coresys({"otp", "read", "--type", "1"}, "E2", {{"CORESYSTEM_SLOG", "stderr"}});
    EXPECT_EQ(read.out, std::string(block.begin(), block.end()));
    EXPECT_EQ(read.err, "12345 6 Call from Check OTP Location\n12345 6 OTP read from new NOR BANK\n");
    EXPECT_EQ(Coresys({"otp", "read", "--type", "1", "--bank", "legacy"}, "E2").status, 1);

    const std::string digits = WriteFile(host, "digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(Coresys({"board", "checksum", digits}, "").out, "0x942f51fb\n");
    Board::ClearLog(host.root());
    EXPECT_EQ(Coresys({"board", "shutdown"}, "E2").status, 0);
    EXPECT_EQ(BoardLog(host), Lines{"out32 0xe6055008 0x00000000"});
    const Outcome unknown = Coresys({"board", "shutdown"}, "e2");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err.rfind("coresys: DEVICEFAMILY names no family", 0), 0u) << unknown.err;
}

}  // namespace
