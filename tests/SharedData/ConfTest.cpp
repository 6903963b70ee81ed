// The conf handles and the table of contents: records read in place, copied, created and written.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <memory>
#include <sstream>
#include <vector>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/ConfTOC.h"

namespace {

using conf::ConfTOC;
using conf::kNoOffset;
using conf::ReadWord;

/// An image of little-endian words, built by a test.
struct Words {
    std::vector<std::uint32_t> words;
    std::uint8_t* base() { return reinterpret_cast<std::uint8_t*>(words.data()); }
};

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

TEST(ConfTOC, WritesHeaderOffsetsAndEntriesAndCreatedRecordsCountIdsFrom50000) {
    ConfTOC empty(4, 0, nullptr);
    std::int64_t result = -2;
    EXPECT_TRUE(Written(empty, result).empty());
    EXPECT_EQ(result, 0);

    ConfTOC toc(4, 0, nullptr);
    conf::ConfigurationRoot root;
    conf::ConfList list;
    ASSERT_EQ(root.createIn(toc), 0);
    ASSERT_EQ(list.createIn(toc), 1);
    EXPECT_EQ(root.word(1), conf::kFirstRecordId);
    EXPECT_EQ(list.word(1), 0u);  // a list's word 1 is its length, not an id
    EXPECT_EQ(toc.nextRecordId(), conf::kFirstRecordId + 1);

    const std::vector<std::uint8_t> image = Written(toc, result);
    ASSERT_EQ(result, 64);
    ASSERT_EQ(image.size(), 64u);
    const std::uint32_t header[] = {conf::Layout::ConfigurationRoot.tag, 64, 0, 2, 24, 52};
    for (unsigned w = 0; w < 6; ++w) EXPECT_EQ(ReadWord(&image[4 * w]), header[w]) << "word " << w;
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 24, image.begin() + 52), Entry(toc, 0));
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 52, image.end()), Entry(toc, 1));

    std::ostringstream stream;
    EXPECT_EQ(toc.write(stream), 0);
    EXPECT_EQ(stream.str(), std::string(image.begin(), image.end()));

    // A written table of contents is read back through attachTableImage.
    conf::ConfigurationRoot again;
    EXPECT_TRUE(again.attachTableImage(const_cast<std::uint8_t*>(image.data())));
    EXPECT_EQ(again.record(), image.data() + 24);
}

TEST(ConfTOC, WriteFinishesShortWritesAndReportsAFailedOne) {
    ConfTOC toc(2, 0, nullptr);
    conf::ListObject text;
    ASSERT_EQ(text.createIn(toc, 40), 0);
    std::int64_t result = 0;
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::ShortWrite, 0, 0, 3);
    EXPECT_EQ(Written(toc, result).size(), 16u + 4 + 48);
    EXPECT_EQ(result, 68);
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::Write, EIO, 1);
    Written(toc, result);
    EXPECT_EQ(result, -1);
    CoreSystem::Platform::ClearFaults();
}

TEST(ConfTOC, RefusesEntriesBeyondItsCapacityAndLeavesTheBufferToTheCaller) {
    ConfTOC toc(1, 0, nullptr);
    EXPECT_EQ(toc.add(new std::uint8_t[8](), 8), 0);
    const std::unique_ptr<std::uint8_t[]> refused(new std::uint8_t[8]());
    testing::internal::CaptureStderr();
    EXPECT_EQ(toc.add(refused.get(), 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ConfTOC::add(): cannot add more than preallocated size\n");
    EXPECT_EQ(toc.headerWord(3), 1u);
}

/// Two reserved strings at 16 and 48 and a variable at 80; the first refers twice to the
/// variable (words 5 and 6), the second to nothing.
Words ReservedStrings() {
    Words image{std::vector<std::uint32_t>(32, 0)};
    image.words[4] = conf::Layout::ReservedString.tag;
    image.words[4 + 5] = image.words[4 + 6] = 80;
    image.words[12] = conf::Layout::ReservedString.tag;
    image.words[12 + 5] = image.words[12 + 6] = kNoOffset;
    image.words[20] = conf::Layout::Variable.tag;
    return image;
}

TEST(ConfCopy, StandsOneNullRecordInForUnregisteredClassesAndKeepsNoneReferences) {
    Words image = ReservedStrings();
    conf::ReservedString prototype;
    const ConfTOC::Prototype prototypes[] = {{conf::Layout::ReservedString.tag, &prototype}, {0, nullptr}};

    ConfTOC toc(8, 0, prototypes);
    conf::ReservedString first(image.base(), image.base() + 16);
    EXPECT_EQ(first.copyTo(toc), 0);
    ASSERT_EQ(toc.count(), 2u);  // the copy and one NullRecord for both references
    EXPECT_EQ(ReadWord(toc.entry(1)), conf::kNullRecordTag);
    EXPECT_EQ(ReadWord(toc.entry(1) + 4), conf::kFirstRecordId);
    EXPECT_EQ(toc.entrySize(1), conf::kNullRecordBytes);
    EXPECT_EQ(ReadWord(toc.entry(0) + 20), 1u);
    EXPECT_EQ(ReadWord(toc.entry(0) + 24), 1u);

    ConfTOC single(8, 0, prototypes);
    conf::ReservedString second(image.base(), image.base() + 48);
    EXPECT_EQ(second.copyTo(single), 0);
    ASSERT_EQ(single.count(), 1u);
    EXPECT_EQ(Entry(single, 0), std::vector<std::uint8_t>(image.base() + 48, image.base() + 80));

    // No room for the NullRecord: the references hold -1 and nothing leaks.
    ConfTOC full(1, 0, prototypes);
    testing::internal::CaptureStderr();
    EXPECT_EQ(first.copyTo(full), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadWord(full.entry(0) + 20), kNoOffset);
}

TEST(ConfCopy, AReferenceCycleEndsWhenTheTableIsFull) {
    Words image{std::vector<std::uint32_t>(14, 0)};
    for (unsigned at : {16u, 36u}) {
        image.words[at / 4] = conf::Layout::ApplicationAction.tag;
        image.words[at / 4 + 2] = at == 16 ? 36 : 16;
        image.words[at / 4 + 3] = kNoOffset;
    }
    conf::ApplicationAction prototype;
    const ConfTOC::Prototype prototypes[] = {{conf::Layout::ApplicationAction.tag, &prototype}, {0, nullptr}};
    ConfTOC toc(3, 0, prototypes);
    conf::ApplicationAction action(image.base(), image.base() + 16);
    testing::internal::CaptureStderr();
    EXPECT_EQ(action.copyTo(toc), 0);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    ASSERT_EQ(toc.count(), 3u);
    EXPECT_EQ(ReadWord(toc.entry(0) + 8), 1u);
    EXPECT_EQ(ReadWord(toc.entry(1) + 8), 2u);
    EXPECT_EQ(ReadWord(toc.entry(2) + 8), kNoOffset);  // the fourth copy was refused
}

TEST(ConfCopy, ListRecordsAreCopiedWholeRoundedUpToWords) {
    ConfTOC toc(8, 0, nullptr);
    conf::ListObject object;
    ASSERT_EQ(object.createIn(toc, 5), 0);
    EXPECT_EQ(toc.entrySize(0), 16u);
    EXPECT_EQ(ReadWord(toc.entry(0) + 4), 5u);

    // L = 5 (a text) and L = 8 (a table of two offsets, not followed): 16 bytes each.
    Words image{{0, 0, 0, 0, conf::kListTag, 5, 0x69646152, 0xEEEEEE6F, conf::kListTag, 8, 16, 16}};
    conf::ListObject text(image.base(), image.base() + 16);
    conf::ConfList table(image.base(), image.base() + 32);
    EXPECT_EQ(text.copyTo(toc), 1);
    EXPECT_EQ(table.copyTo(toc), 2);
    EXPECT_EQ(toc.count(), 3u);
    const std::uint8_t copiedText[16] = {0x8F, 0x8E, 0xEF, 0xEA, 5,   0, 0, 0,
                                         'R',  'a',  'd',  'i',  'o', 0, 0, 0};
    EXPECT_EQ(Entry(toc, 1), std::vector<std::uint8_t>(copiedText, copiedText + 16));
    EXPECT_EQ(Entry(toc, 2), std::vector<std::uint8_t>(image.base() + 32, image.base() + 48));
}

TEST(ConfHandle, AttachesByTagAndReadsListsAndTextsWithinTheirBounds) {
    // 16: root; 44: "Radio" (L = 6); 60: empty list; 68: list claiming 100 bytes; 76: a 28-byte
    // record that is not a list.
    Words image{std::vector<std::uint32_t>(26, 0)};
    image.words[4] = conf::Layout::ConfigurationRoot.tag;
    image.words[11] = conf::kListTag;
    image.words[12] = 6;
    std::memcpy(&image.words[13], "Radio", 6);
    image.words[15] = conf::kListTag;
    image.words[17] = conf::kListTag;
    image.words[18] = 100;
    image.words[19] = image.words[20] = 0x41414141;
    const std::size_t size = image.words.size() * 4;

    conf::ProgrammingConfiguration wrong;
    EXPECT_FALSE(wrong.attachImage(image.base()));
    EXPECT_EQ(wrong.record(), nullptr);
    EXPECT_EQ(wrong.word(1), kNoOffset);
    conf::ConfigurationRoot root;
    ASSERT_TRUE(root.attachImage(image.base()));
    EXPECT_EQ(root.record(), image.base() + 16);

    EXPECT_EQ(root.listCount(60), 0u);
    EXPECT_EQ(root.listCount(0x80000000u), 0u);
    EXPECT_EQ(root.listCount(68), 25u);
    EXPECT_EQ(root.resolve(kNoOffset), nullptr);
    EXPECT_EQ(root.listData(kNoOffset), nullptr);
    EXPECT_EQ(root.listData(44), image.base() + 52);

    struct Case {
        conf::Offset offset;
        std::string text;
    };
    for (const Case& c :
         {Case{44, "Radio"}, Case{60, ""}, Case{kNoOffset, ""}, Case{16, ""},
          Case{68, std::string(8, 'A') + std::string(20, '\0')}, Case{static_cast<conf::Offset>(size), ""}}) {
        EXPECT_EQ(conf::Conf::textAt(root, c.offset, size), c.text) << "offset " << c.offset;
    }
}

}  // namespace
