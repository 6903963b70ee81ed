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
    // The sequence and the block themselves are checked in tests/Application.
    EXPECT_EQ(ShutdownToLoader("M2").status, 0);
    EXPECT_EQ(CoreSystemTest::BoardLog(host).size(), 12u);

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
