// "coresys board shutdown-to-loader" run as the built program: the boot command block of an M2
// board, and the iMX35 shell pipeline through the board's in32/out32 with an autoload base that
// would run shell code if it reached the shell unquoted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Hardware/HardwareTestSupport.h"

namespace {

using namespace HardwareTest;
using CoreSystemTest::Outcome;

Outcome ShutdownToLoader(const std::string& family, CoreSystemTest::Environment environment = {}) {
    environment.emplace_back("DEVICEFAMILY", family);
    return CoreSystemTest::Program(CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys",
                                   {"board", "shutdown-to-loader"}, environment)
        .finish();
}

TEST(CoresysLoader, EachFamilyLeavesItsSequenceOnTheBoard) {
    CoreSystemTest::IsolatedHost host;
    CoreSystemTest::CreateBoard(host);
    EXPECT_EQ(ShutdownToLoader("M2").status, 0);
    std::uint32_t words[20] = {};
    ASSERT_TRUE(Board::ReadMemory(host.root(), CoreSystem::kBootRecordAddress, words, sizeof words));
    EXPECT_EQ(words[0], 0x1234AA55u);
    EXPECT_EQ(words[19], CoreSystem::BlockChecksum(words, 76));
    const Lines m2 = CoreSystemTest::BoardLog(host);
    ASSERT_EQ(m2.size(), 12u);
    EXPECT_EQ(m2.back(), "out32 0xe6020004 0xa5a5a588");

    // A hostile base: a blank, a quote and a command after a semicolon.
    const std::string base = host.root() + "/it's a b;touch " + host.root() + "/pwned;/";
    std::filesystem::create_directories(base + "app");
    std::ofstream(base + "app/bootToLoader.awk") << "{ print \"0x0000abcd\" }\n";
    Board::ClearLog(host.root());
    const std::string tools = CoreSystemTest::BuildDirectory() + "/tools/coresys";
    const Outcome imx35 = ShutdownToLoader("iMX35", {{"AUTOLOADPATH", base}, {"PATH", tools + ":" + std::getenv("PATH")}});
    EXPECT_EQ(imx35.status, 0) << imx35.err;
    EXPECT_EQ(CoreSystemTest::BoardLog(host), (Lines{"out32 0x53f80018 0x0000abcd", "out16 0x53fdc000 0x0000"}));
    EXPECT_FALSE(std::filesystem::exists(host.root() + "/pwned"));

    const Outcome unknown = ShutdownToLoader("m2");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err.rfind("coresys: DEVICEFAMILY names no family", 0), 0u) << unknown.err;
}

}  // namespace
