// Images from the builder, read back through the handles (value tables, reserved strings, list
// definitions, culture strings and application tables are read back by the tests that use them),
// and the check refusing damaged ones.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageCheck.h"
#include "CultureTestSupport.h"
#include "TestSupport.h"

namespace {

using conf::ReadWord;
using conf::WriteWord;

TEST(ImageBuilder, ImageReadsBackThroughTheHandles) {
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration();
    std::uint8_t* base = image.data();
    ASSERT_FALSE(conf::CheckImage(base, image.size())) << conf::CheckImage(base, image.size())->message;
    EXPECT_EQ(ReadWord(base), conf::kImageMagic);
    EXPECT_EQ(ReadWord(base + 4), image.size());

    EXPECT_EQ(CultureTest::CultureRoot(image).word(conf::ConfCultureRootClass::kCultureCount), 2u);
    EXPECT_EQ(ReadWord(CultureTest::RuntimeData(image) + 8), 1u);  // the current culture
    const std::uint8_t* slot = CultureTest::Slot(image, 1, 1);      // capacity 24, the text, zeros
    EXPECT_EQ(ReadWord(slot + 4), 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(slot + 8)), "Lautstärke");
}

TEST(ImageBuilder, RefusesWhatItCannotRepresentNamingTheEntry) {
    struct Case {
        std::function<void(conf::ImageDescription&)> change;
        std::string message;
    };
    const Case cases[] = {
        {[](auto& d) { d.strings[0].texts[1] = std::string(16, 'x'); },
         "strings[0].texts[1]: \"xxxxxxxxxxxxxxxx\" needs 17 bytes with its NUL, more than the capacity 16"},
        {[](auto& d) { d.strings[2].texts.push_back("third"); },
         "strings[2].texts: culture index 2 is out of range (2 cultures)"},
        {[](auto& d) { d.currentCulture = 2; }, "currentCulture: 2 is not below the 2 cultures"},
        {[](auto& d) { d.variables[1].type = "u32"; },
         "variables[1]: unknown type \"u32\" (f64 f32 i32 i16 i8)"},
        {[](auto& d) { d.applications[0].variables[0].id = 3; },
         "applications[0].variables[0]: variable 3 is not in the description (2 variables)"},
        {[](auto& d) { d.reservedStrings[1].stringId = 4; },
         "reservedStrings[1]: string 4 is not in the description (4 strings)"},
    };
    for (const Case& c : cases) {
        conf::ImageDescription description = CoreSystemTest::ExampleConfiguration();
        c.change(description);
        std::vector<std::uint8_t> image;
        std::string error;
        EXPECT_FALSE(conf::BuildImage(description, image, error));
        EXPECT_EQ(error, c.message);
    }
}

/// The offset of the record that word `index` of the root refers to.
conf::Offset RootWord(const std::vector<std::uint8_t>& image, unsigned index) {
    return ReadWord(&image[conf::kRootOffset + 4 * index]);
}

TEST(ImageCheck, RefusesDamagedImagesWithTheFirstFault) {
    const std::vector<std::uint8_t> good = CoreSystemTest::BuildConfiguration();
    const conf::Offset cr = RootWord(good, conf::ConfigurationRoot::kCultureRoot);
    const conf::Offset p = RootWord(good, conf::ConfigurationRoot::kProgrammingConfiguration);
    const conf::Offset rd = ReadWord(&good[cr + 16]);
    const conf::Offset slots = ReadWord(&good[cr + 8]);
    const conf::Offset slot0 = ReadWord(&good[slots + 8]);
    struct Case {
        std::function<void(std::vector<std::uint8_t>&)> damage;
        std::string message;
    };
    const auto put = [](conf::Offset at, std::uint32_t value) {
        return [=](std::vector<std::uint8_t>& image) { WriteWord(&image[at], value); };
    };
    const Case cases[] = {
        {[](auto& image) { image.resize(12); }, "image at offset 0: shorter than its 16 header bytes"},
        {[](auto& image) { image.resize(40); },
         "root record at offset 16: 28 bytes do not fit in the image of 40 bytes"},
        {put(16, 0x12345678), "root record at offset 16: tag 0x12345678 instead of 0x4602B398"},
        {put(16 + 20, 0x7FFFFFF0),
         "culture root (root word 5) at offset 2147483632: 36 bytes do not fit in the image of " +
             std::to_string(good.size()) + " bytes"},
        {put(16 + 12, p + 2), "programming configuration (root word 3) at offset " + std::to_string(p + 2) +
                                  ": not on a 4-byte boundary"},
        {put(p, conf::Layout::Variable.tag), "programming configuration (root word 3) at offset " +
                                                 std::to_string(p) +
                                                 ": tag 0x10277429 instead of 0xE30A1195"},
        {put(slots + 4, 0x40000000),
         "culture string list (culture root word 2) at offset " + std::to_string(slots) +
             ": a payload of 1073741824 bytes runs past the end of the image of " +
             std::to_string(good.size()) + " bytes"},
        {put(slots + 4, 7 * 4), "culture string list (culture root word 2) at offset " +
                                    std::to_string(slots) +
                                    ": 7 text slots, fewer than 2 cultures x 4 strings"},
        {put(rd + 8, 2), "culture runtime data (culture root word 4) at offset " + std::to_string(rd) +
                             ": current culture 2 is not below the 2 cultures"},
        // A slot whose text would run over the next slot's header, and a slot that is the slot table.
        {put(slot0 + 4, 28), "text of slot 0 (string 0, culture 0) at offset " + std::to_string(slot0 + 8) +
                                 ": overlaps the record at offset " + std::to_string(slot0 + 24)},
        {put(slots + 8, slots), "text slot 0 (string 0, culture 0) at offset " + std::to_string(slots) +
                                    ": overlaps the record at offset " + std::to_string(slots)},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> image = good;
        c.damage(image);
        const auto fault = conf::CheckImage(image.data(), image.size());
        ASSERT_TRUE(fault) << c.message;
        EXPECT_EQ(fault->message, c.message);
    }
    // Every shorter image fails, and the check never reads past the size it is given.
    for (std::size_t size = 0; size < good.size(); ++size) {
        std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<long>(size));
        EXPECT_TRUE(conf::CheckImage(cut.data(), cut.size())) << "size " << size;
    }
}

TEST(ImageCheck, RecordGraphFollowsWhatCopyToFollowsAndEndsOnCycles) {
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration();
    conf::ProgrammingConfiguration config(image.data(), image.data() + RootWord(image, 3));
    conf::ApplicationInformation radio(image.data(), config.listElementAt(config.word(2), 0));
    const conf::Offset actions = radio.word(conf::ApplicationInformation::kActions);
    const conf::Offset a = ReadWord(&image[actions + 8]), b = ReadWord(&image[actions + 12]);
    WriteWord(&image[a + 8], a);  // a refers to itself and to b, b back to a
    WriteWord(&image[a + 12], b);
    WriteWord(&image[b + 8], a);
    EXPECT_FALSE(conf::CheckRecordGraph(image.data(), image.size(), a));
    WriteWord(&image[b + 12], 0x7FFFFFF0);
    const auto fault = conf::CheckRecordGraph(image.data(), image.size(), a);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->message, "word 3 of the record at offset " + std::to_string(b) +
                                  " at offset 2147483632: 4 bytes do not fit in the image of " +
                                  std::to_string(image.size()) + " bytes");
}

}  // namespace
