// The loaded configuration image through coresys: the documented example loaded and dumped, its
// strings read and written, and a damaged image refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "TestSupport.h"

namespace {

using CoreSystemTest::Outcome;
using nlohmann::json;
const auto Coresys = CoreSystemTest::RunCoresys;

TEST(CoresysStrings, LoadsDumpsAndChangesTheExample) {
    CoreSystemTest::IsolatedHost host;
    const std::string image = host.root() + "/radio.img";
    const std::string example = std::string(CORESYSTEM_SOURCE_DIR) + "/docs/examples/radio.json";
    ASSERT_EQ(Coresys({"conf", "build", example, "-o", image}).status, 0);
    EXPECT_NE(Coresys({"conf", "dump"}).err.find("no configuration image is loaded"), std::string::npos);

    // A damaged image is refused with the check's message and nothing is placed.
    const std::string damaged = host.root() + "/damaged.img";
    std::filesystem::copy_file(image, damaged);
    std::filesystem::resize_file(damaged, 100);
    const Outcome refused = Coresys({"conf", "load", damaged});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("not a usable configuration image: "), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + host.word() + ".BINARY_CONFIGURATION"));

    ASSERT_EQ(Coresys({"conf", "load", image}).status, 0);
    EXPECT_EQ(Coresys({"conf", "load", image}).status, 1);  // already loaded, no --replace
    EXPECT_TRUE(std::filesystem::exists(host.root() + "/tmp/configurationloaded"));

    const Outcome dumped = Coresys({"conf", "dump", "--json"});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    const json d = json::parse(dumped.out);
    EXPECT_EQ(d.at("cultures"), 2);
    EXPECT_EQ(d.at("strings").at(1), (json{{"id", 1}, {"counter", 1}, {"eventCode", 701}, {"capacities", {24, 24}},
                                           {"texts", {"Volume", "Lautstärke"}}}));
    EXPECT_TRUE(d.at("strings").at(2).at("eventCode").is_null());
    EXPECT_EQ(d.at("reservedStrings"), (json{{{"stringId", 1}, {"eventCode", 701}}, {{"stringId", 2}, {"eventCode", 0}}}));
    EXPECT_EQ(d.at("lists"), (json{{{"id", 7}, {"capacity", 3}, {"elementSize", 10}, {"storage", 0}}}));
    EXPECT_EQ(d.at("applications").at(0).at("events"), (json{{{"local", 0}, {"id", 801}}}));

    // Writes through the image client (their events are tested with the client itself).
    EXPECT_EQ(Coresys({"strings", "set", "1", "Lautstärke!", "--culture", "1"}).out, "string 1: counter 2\n");
    EXPECT_EQ(Coresys({"strings", "set", "1", "Lautstärke!"}).out, "string 1: unchanged, counter 2\n");
    EXPECT_EQ(Coresys({"strings", "compose", "2", " / ", "3", "1"}).out, "string 1: counter 4\n");
    const Outcome got = Coresys({"strings", "get", "1", "--json"});
    EXPECT_EQ(json::parse(got.out), (json{{"id", 1}, {"culture", 1}, {"counter", 4}, {"text", "Aus / An"}}));
    EXPECT_EQ(Coresys({"strings", "get", "4"}).status, 1);  // beyond the four strings
}

}  // namespace
