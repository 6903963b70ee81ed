// "coresys conf" and "strings": the documented example built, checked, exported, loaded, dumped and
// its strings changed; damaged images and descriptions refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CoreSystem/SharedData/Conf.h"
#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

TEST(CoresysConf, BuildsChecksExportsAndLoadsTheDocumentedExampleAndRefusesDamagedOnes) {
    IsolatedHost host;
    const std::string image = host.root() + "/radio.img";
    const Outcome built = RunCoresys({"conf", "build", kExample, "-o", image});
    ASSERT_EQ(built.status, 0) << built.err;
    const std::string bytes = ReadFile(image);
    EXPECT_EQ(built.out, image + ": " + std::to_string(bytes.size()) + " bytes\n");
    // The file is the example the other tests build in-process, byte for byte.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), BuildConfiguration());
    EXPECT_EQ(RunCoresys({"conf", "check", image}).out, "ok\n");

    // Radio's record and its name: two entries, the name's reference now entry index 1.
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    conf::ConfigurationRoot root;
    ASSERT_TRUE(root.attachImage(copy.data()));
    conf::ProgrammingConfiguration p(
        copy.data(), root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    const auto radio = p.listElementAt(p.word(conf::ProgrammingConfiguration::kApplications), 0) - copy.data();
    const std::string toc = host.root() + "/radio.toc";
    const Outcome exported = RunCoresys({"conf", "export", image, "--record", std::to_string(radio), "-o", toc});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "2\n");
    const std::string written = ReadFile(toc);
    const std::uint32_t header[] = {conf::Layout::ApplicationInformation.tag, 16 + 8 + 36 + 16, 0, 2, 24, 60};
    ASSERT_EQ(written.size(), header[1]);
    for (unsigned w = 0; w < 6; ++w) EXPECT_EQ(conf::ReadWord(&written[4 * w]), header[w]) << "word " << w;
    EXPECT_EQ(conf::ReadWord(&written[24 + 8]), 1u);
    EXPECT_EQ(written.substr(68, 5), "Radio");
    std::ostringstream hex;
    hex << "0x" << std::hex << radio;
    ExpectRefused(RunCoresys({"conf", "export", image, "--record", hex.str(), "--capacity", "1", "-o", toc}), 1,
                  "need more than 1 entries");

    // Damaged images and descriptions it cannot represent are refused.
    const std::string cutImage = host.root() + "/image";
    std::ofstream(cutImage, std::ios::binary).write(bytes.data(), 100);
    const std::string why = "culture root (root word 5) at offset 84: 36 bytes do not fit in the image of 100 bytes";
    ExpectRefused(RunCoresys({"conf", "check", cutImage}), 1, "coresys: " + cutImage + ": " + why + "\n");
    ExpectRefused(RunCoresys({"conf", "load", cutImage}), 1, "not a usable configuration image: " + why);
    EXPECT_EQ(SharedObjects(host), std::vector<std::string>{}) << "a refused image was placed";

    const std::string description = host.root() + "/description.json";
    const std::pair<std::string, std::string> cases[] = {  // the description and the error it gets
        {R"({"cultures": ["en"], "strings": [{"capacity": 4, "texts": ["Hello"]}]})",
         "strings[0].texts[0]: \"Hello\" needs 6 bytes with its NUL, more than the capacity 4"},
        {R"({"variables": [{"name": "V", "type": "double"}]})",
         "variables[0]: unknown type \"double\" (f64 f32 i32 i16 i8)"},
        {R"({"lists": [{"id": 1, "capacity": 1, "elementSize": 4, "definition": "0g"}]})",
         "lists[0].definition: 'g' is not a hex digit"},
        {R"({"applications": [{"name": "A", "reference": 1}]})", "applications[0].reference: expected true or false"},
        {R"({"strings": [{"capacity": 4294967296}]})", "strings[0].capacity: expected an unsigned 32-bit number"},
        {R"({"culture": []})", "culture: unknown key"},
    };
    for (const auto& [text, error] : cases) {
        std::ofstream(description) << text;
        ExpectRefused(RunCoresys({"conf", "build", description, "-o", cutImage + ".new"}), 1,
                      "coresys: " + description + ": " + error + "\n");
        EXPECT_FALSE(std::filesystem::exists(cutImage + ".new"));
    }

    EXPECT_NE(RunCoresys({"conf", "dump"}).err.find("no configuration image is loaded"), std::string::npos);
    ASSERT_EQ(RunCoresys({"conf", "load", image}).status, 0);
    EXPECT_EQ(RunCoresys({"conf", "load", image}).status, 1);  // already loaded, no --replace
    EXPECT_TRUE(std::filesystem::exists(host.root() + "/tmp/configurationloaded"));
    const Outcome dumped = RunCoresys({"conf", "dump", "--json"});
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
    EXPECT_EQ(RunCoresys({"strings", "set", "1", "Lautstärke!", "--culture", "1"}).out, "string 1: counter 2\n");
    EXPECT_EQ(RunCoresys({"strings", "set", "1", "Lautstärke!"}).out, "string 1: unchanged, counter 2\n");
    EXPECT_EQ(RunCoresys({"strings", "compose", "2", " / ", "3", "1"}).out, "string 1: counter 4\n");
    const Outcome got = RunCoresys({"strings", "get", "1", "--json"});
    EXPECT_EQ(json::parse(got.out), (json{{"id", 1}, {"culture", 1}, {"counter", 4}, {"text", "Aus / An"}}));
    EXPECT_EQ(RunCoresys({"strings", "get", "4"}).status, 1);  // beyond the four strings
}

}  // namespace
