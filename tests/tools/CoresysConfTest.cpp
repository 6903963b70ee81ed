// The "coresys conf" commands: the documented example built, checked and exported, and damaged
// images and descriptions refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/Conf.h"
#include "TestSupport.h"

namespace {

using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Outcome;
using CoreSystemTest::RunCoresys;

const std::string kExample = std::string(CORESYSTEM_SOURCE_DIR) + "/docs/examples/radio.json";

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(CoresysConf, BuildsTheDocumentedExampleChecksItAndExportsARecordGraph) {
    IsolatedHost host;
    const std::string image = host.root() + "/radio.img";
    const Outcome built = RunCoresys({"conf", "build", kExample, "-o", image});
    ASSERT_EQ(built.status, 0) << built.err;
    const std::vector<std::uint8_t> bytes = ReadFile(image);
    EXPECT_EQ(built.out, image + ": " + std::to_string(bytes.size()) + " bytes\n");
    // The file is the example the other tests build in-process, byte for byte.
    EXPECT_EQ(bytes, CoreSystemTest::BuildConfiguration());
    const Outcome checked = RunCoresys({"conf", "check", image});
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.out, "ok\n");

    // Radio's record and its name: two entries, the name's reference now entry index 1.
    std::vector<std::uint8_t> copy = bytes;
    conf::ConfigurationRoot root;
    ASSERT_TRUE(root.attachImage(copy.data()));
    conf::ProgrammingConfiguration p(
        copy.data(), root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    const auto radio =
        p.listElementAt(p.word(conf::ProgrammingConfiguration::kApplications), 0) - copy.data();
    const std::string toc = host.root() + "/radio.toc";
    const Outcome exported =
        RunCoresys({"conf", "export", image, "--record", std::to_string(radio), "-o", toc});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "2\n");
    const std::vector<std::uint8_t> written = ReadFile(toc);
    const std::uint32_t header[] = {conf::Layout::ApplicationInformation.tag, 16 + 8 + 36 + 16, 0, 2, 24, 60};
    ASSERT_EQ(written.size(), header[1]);
    for (unsigned w = 0; w < 6; ++w) EXPECT_EQ(conf::ReadWord(&written[4 * w]), header[w]) << "word " << w;
    EXPECT_EQ(conf::ReadWord(&written[24 + 8]), 1u);
    EXPECT_EQ(std::string(written.begin() + 68, written.begin() + 73), "Radio");

    std::ostringstream hex;
    hex << "0x" << std::hex << radio;
    const Outcome small =
        RunCoresys({"conf", "export", image, "--record", hex.str(), "--capacity", "1", "-o", toc});
    EXPECT_EQ(small.status, 1);
    EXPECT_NE(small.err.find("need more than 1 entries"), std::string::npos) << small.err;
}

TEST(CoresysConf, RefusesDamagedImagesAndDescriptionsItCannotRepresent) {
    IsolatedHost host;
    const std::string image = host.root() + "/image";
    const std::vector<std::uint8_t> good = CoreSystemTest::BuildConfiguration();
    WriteFile(image, std::string(good.begin(), good.begin() + 100));
    const Outcome cut = RunCoresys({"conf", "check", image});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(
        cut.err,
        "coresys: " + image +
            ": culture root (root word 5) at offset 84: 36 bytes do not fit in the image of 100 bytes\n");
    // Noise, and noise behind a valid root: a clean refusal, never a signal.
    std::mt19937 random(7);
    for (int round = 0; round < 8; ++round) {
        std::string noise(good.begin(), good.begin() + 44);
        for (int i = 0; i < 400; ++i) noise.push_back(static_cast<char>(random() % 4 == 0 ? random() : 0));
        WriteFile(image, round % 2 ? noise : noise.substr(44));
        EXPECT_EQ(RunCoresys({"conf", "check", image}).status, 1) << "round " << round;
    }

    const std::string description = host.root() + "/description.json";
    const struct {
        std::string json, error;
    } refused[] = {
        {R"({"cultures": ["en"], "strings": [{"capacity": 4, "texts": ["Hello"]}]})",
         "strings[0].texts[0]: \"Hello\" needs 6 bytes with its NUL, more than the capacity 4"},
        {R"({"variables": [{"name": "V", "type": "double"}]})",
         "variables[0]: unknown type \"double\" (f64 f32 i32 i16 i8)"},
        {R"({"lists": [{"id": 1, "capacity": 1, "elementSize": 4, "definition": "0g"}]})",
         "lists[0].definition: 'g' is not a hex digit"},
        {R"({"applications": [{"name": "A", "reference": 1}]})",
         "applications[0].reference: expected true or false"},
        {R"({"strings": [{"capacity": 4294967296}]})",
         "strings[0].capacity: expected an unsigned 32-bit number"},
        {R"({"culture": []})", "culture: unknown key"},
    };
    for (const auto& c : refused) {
        WriteFile(description, c.json);
        const Outcome outcome = RunCoresys({"conf", "build", description, "-o", image + ".new"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, "coresys: " + description + ": " + c.error + "\n");
        EXPECT_FALSE(std::filesystem::exists(image + ".new"));
    }
}

}  // namespace
