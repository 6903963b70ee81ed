// Conf records and the table of contents, the image builder's refusals and the image check. Images
// read back through the handles: the "coresys conf" tests; any input and offset: the fuzzer.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/ConfTOC.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageCheck.h"
#include "TestSupport.h"

namespace {

using conf::ConfTOC;
using conf::kNoOffset;
using conf::ReadWord;
using conf::WriteWord;

std::vector<std::uint8_t> Entry(const ConfTOC& toc, std::uint32_t i) {
    return {toc.entry(i), toc.entry(i) + toc.entrySize(i)};
}

/// What `toc.write(fd)` puts in a file, read back.
std::vector<std::uint8_t> Written(ConfTOC& toc, std::int64_t& result) {
    const int fd = memfd_create("toc", 0);
    result = toc.write(fd);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return bytes;
}

TEST(ConfTOC, CreatesRecordsWritesThemWholeAndRefusesEntriesBeyondItsCapacity) {
    ConfTOC empty(4, 0, nullptr);
    std::int64_t result = -2;
    EXPECT_TRUE(Written(empty, result).empty());
    EXPECT_EQ(result, 0);

    ConfTOC toc(3, 0, nullptr);
    conf::ConfigurationRoot root;
    conf::ListObject text;
    ASSERT_EQ(root.createIn(toc), 0);
    ASSERT_EQ(text.createIn(toc, 5), 1);
    EXPECT_EQ(root.word(1), conf::kFirstRecordId);
    EXPECT_EQ(text.word(1), 5u);  // a list's word 1 is its length, not an id
    EXPECT_EQ(toc.nextRecordId(), conf::kFirstRecordId + 1);

    const std::vector<std::uint8_t> image = Written(toc, result);  // its header: the "coresys conf" tests
    ASSERT_EQ(result, 16 + 2 * 4 + 28 + 16);  // the list rounded up to words
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 52, image.end()), Entry(toc, 1));
    std::ostringstream stream;
    EXPECT_EQ(toc.write(stream), 0);
    EXPECT_EQ(stream.str(), std::string(image.begin(), image.end()));
    conf::ConfigurationRoot again;  // read back in place
    EXPECT_TRUE(again.attachTableImage(const_cast<std::uint8_t*>(image.data())));
    EXPECT_EQ(again.record(), image.data() + 24);
    // Short writes are finished; a failed one is reported.
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::ShortWrite, 0, 0, 3);
    EXPECT_EQ(Written(toc, result), image);
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::Write, EIO, 1);
    Written(toc, result);
    EXPECT_EQ(result, -1);
    CoreSystem::Platform::ClearFaults();

    // A full table refuses an entry and leaves its buffer to the caller.
    EXPECT_EQ(toc.add(new std::uint8_t[8](), 8), 2);
    const std::unique_ptr<std::uint8_t[]> refused(new std::uint8_t[8]());
    testing::internal::CaptureStderr();
    EXPECT_EQ(toc.add(refused.get(), 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ConfTOC::add(): cannot add more than preallocated size\n");
    EXPECT_EQ(toc.headerWord(3), 3u);
}

TEST(ConfCopy, StandsOneNullRecordInForUnregisteredClassesAndKeepsNoneReferences) {
    // A reserved string at 16 that refers twice (words 5 and 6) to a variable at 48, and at 64 a
    // table of two offsets (L = 8).
    std::vector<std::uint32_t> words(20, 0);  // little-endian words
    auto* const base = reinterpret_cast<std::uint8_t*>(words.data());
    words[4] = conf::Layout::ReservedString.tag;
    words[4 + 5] = words[4 + 6] = 48;
    words[12] = conf::Layout::Variable.tag;
    words[16] = conf::kListTag;
    words[17] = 8;
    words[18] = words[19] = 16;
    conf::ReservedString prototype;
    const ConfTOC::Prototype prototypes[] = {{conf::Layout::ReservedString.tag, &prototype}, {0, nullptr}};

    ConfTOC toc(8, 0, prototypes);
    conf::ReservedString first(base, base + 16);
    EXPECT_EQ(first.copyTo(toc), 0);
    ASSERT_EQ(toc.count(), 2u);  // the copy and one NullRecord for both references
    EXPECT_EQ(ReadWord(toc.entry(1)), conf::kNullRecordTag);
    EXPECT_EQ(ReadWord(toc.entry(1) + 4), conf::kFirstRecordId);
    EXPECT_EQ(toc.entrySize(1), conf::kNullRecordBytes);
    EXPECT_EQ(ReadWord(toc.entry(0) + 20), 1u);
    EXPECT_EQ(ReadWord(toc.entry(0) + 24), 1u);
    EXPECT_EQ(conf::ConfList(base, base + 64).copyTo(toc), 2);  // whole, offsets not followed
    EXPECT_EQ(toc.count(), 3u);
    EXPECT_EQ(Entry(toc, 2), std::vector<std::uint8_t>(base + 64, base + 80));

    // No room for the NullRecord: the references hold -1 and nothing leaks.
    ConfTOC full(1, 0, prototypes);
    testing::internal::CaptureStderr();
    EXPECT_EQ(first.copyTo(full), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadWord(full.entry(0) + 20), kNoOffset);
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

TEST(ImageCheck, RefusesDamagedImagesWithTheFirstFaultAndFollowsRecordGraphsThroughCycles) {
    const std::vector<std::uint8_t> good = CoreSystemTest::BuildConfiguration();
    EXPECT_EQ(conf::CheckImage(good.data(), 12)->message, "image at offset 0: shorter than its 16 header bytes");
    const conf::Offset cr = RootWord(good, conf::ConfigurationRoot::kCultureRoot);
    const conf::Offset rd = ReadWord(&good[cr + 16]);
    const conf::Offset slots = ReadWord(&good[cr + 8]);
    const conf::Offset slot0 = ReadWord(&good[slots + 8]);
    const struct {
        conf::Offset at;  ///< the word damaged
        std::uint32_t value;
        std::string message;
    } cases[] = {
        {16, 0x12345678, "root record at offset 16: tag 0x12345678 instead of 0x4602B398"},
        {slots + 4, 7 * 4, "culture string list (culture root word 2) at offset " + std::to_string(slots) +
                               ": 7 text slots, fewer than 2 cultures x 4 strings"},
        {rd + 8, 2, "culture runtime data (culture root word 4) at offset " + std::to_string(rd) +
                        ": current culture 2 is not below the 2 cultures"},
        // A slot whose text would run over the next slot's header, and a slot that is the slot table.
        {slot0 + 4, 28, "text of slot 0 (string 0, culture 0) at offset " + std::to_string(slot0 + 8) +
                            ": overlaps the record at offset " + std::to_string(slot0 + 24)},
        {slots + 8, slots, "text slot 0 (string 0, culture 0) at offset " + std::to_string(slots) +
                               ": overlaps the record at offset " + std::to_string(slots)},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> image = good;
        WriteWord(&image[c.at], c.value);
        const auto fault = conf::CheckImage(image.data(), image.size());
        ASSERT_TRUE(fault) << c.message;
        EXPECT_EQ(fault->message, c.message);
    }
    // Every shorter image fails, and the check never reads past the size it is given.
    for (std::size_t size = 0; size < good.size(); ++size) {
        std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<long>(size));
        EXPECT_TRUE(conf::CheckImage(cut.data(), cut.size())) << "size " << size;
    }

    // The record graph follows what a copy follows, and ends on cycles.
    std::vector<std::uint8_t> image = good;
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
