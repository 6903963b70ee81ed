// The hardware-information getters on simulated boards: answers from a valid block by family, the
// boot-record and board-variant fallbacks, resource lists, and silence on other families.
#include "CoreSystem/Hardware/HardwareInfo.h"

#include <gtest/gtest.h>

#include <thread>

#include "HardwareTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;
using Answers = std::map<std::string, std::uint32_t>;  // getters not named answer 0
using Resources = std::vector<ResourceEntry>;

void ExpectAnswers(OtpReader& reader, const Answers& expected) {
    for (const auto& getter : NumberGetters()) {
        const auto found = expected.find(getter.name);
        EXPECT_EQ(getter.get(reader), found == expected.end() ? 0u : found->second) << getter.name;
    }
}

// Families other than M2 and E2 answer 0 from the same blocks and never reach the device.
TEST(HardwareInfoTest, ValidBlocksAnswerByFamily) {
    const std::map<int, std::uint32_t> words = {
        {0, 0x1000}, {1, 0xFFFFFFFF},  {3, 0xFFFFFFFF},  {5, 0x55},        {8, 14},      {9, 3},
        {10, 1},     {11, 0x02580400}, {12, 2},          {13, 3},          {14, 2},      {15, 1},
        {16, 1},     {17, 2},          {18, 5},          {19, 6},          {20, 1},      {21, 4},
        {22, 1},     {23, 1},          {24, 1},          {25, 4},          {27, 2},      {28, 5},
        {29, 1},     {31, 1},          {32, 3},          {33, 0xDEAD},     {34, 0xBEEF}, {35, 35},
        {36, 36},    {37, 37},         {60, 0x33445566}, {61, 0xABCD1122}, {62, 0x62}};
    const Answers both = {{"GetInfo0", 0x1000}, {"GetInfo1", 0x55}, {"GetBoardVariant", 3},
        {"GetDisplayResolution", 0x02580400}, {"GetInfo12", 2}, {"GetInfo15", 1}, {"GetInfo16", 1}, {"GetInfo18", 5},
        {"GetInfo20", 1}, {"GetInfo23", 1}, {"GetInfo27", 2}, {"GetInfo29", 1}, {"GetInfo31", 1},
        {"GetInfo33", 0xDEAD}, {"GetInfo34", 0xBEEF}, {"GetInfo35", 35}, {"GetInfo36", 36}, {"GetInfo37", 37}};
    Answers m2 = both, e2 = both;
    m2.insert({{"GetInfo10", 1}, {"GetInfo14", 2}, {"GetInfo22", 1}, {"GetInfo24", 1}, {"GetInfo25", 4},
               {"GetInfo32", 3}});
    e2.insert({{"GetInfo8E2", 14}, {"GetInfo8", 14}, {"GetInfo14", 3}, {"GetInfo19", 5}, {"GetInfo21", 4}});
    // A resource entry for every 8 bytes below the type-2 block's length: at 16 the third entry
    // starts at the length, at 17 it starts below it.
    const std::vector<std::array<std::uint8_t, 3>> entries = {{1, 0, 0}, {2, 1, 0x11}, {15, 3, 0x12}};
    const Resources two = {{1, 1, 1}, {2, 3, 2}}, three = {{1, 1, 1}, {2, 3, 2}, {15, 4, 0}};
    const std::tuple<DeviceFamily, Answers, std::uint32_t, Resources> cases[] = {
        {kFamilyM2, m2, 16, two}, {kFamilyE2, e2, 17, three}, {kFamilyIMX35, {}, 17, {}}, {kFamilyUnknown, {}, 17, {}}};
    for (const auto& [family, answers, length, resources] : cases) {
        SCOPED_TRACE(family);
        const bool served = IsM2OrE2(family);
        OtpBoard board(family);
        board.store(Board::Bank::Nor, 1, Type1(words));
        board.store(Board::Bank::Nor, 2, Type2(length, entries));
        if (!served) board.storeRecord({kBootRecordMagic, 19, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 1, 0xFFFFFF01});
        ExpectAnswers(board.reader, answers);
        EXPECT_EQ(GetMacAddress(board.reader), served ? 0xABCD112233445566u : 0u);
        EXPECT_EQ(GetMacAddressString(board.reader), served ? "11:22:33:44:55:66" : "00:00:00:00:00:00");
        EXPECT_EQ(GetInfoWord62(1, board.reader), served ? 0x62u : 0u);
        EXPECT_EQ(GetInfoWord62(2, board.reader), 0u);
        // One probe and one read; every later answer came from the cache.
        EXPECT_EQ(board.events(), served ? Lines(2, Command(0x40040548)) : Lines{});
        EXPECT_EQ(GetResourceList(board.reader), resources);
        for (int type = 1; type <= 3; ++type) EXPECT_EQ(HasValidOtpBlock(type, board.reader), served) << type;
        if (!served) {
            EXPECT_EQ(board.reader.writeBlock(1, Type1({})), -1);
            EXPECT_EQ(board.events(), Lines{});
            EXPECT_EQ(board.logged(), Lines{});
        }
    }
}

TEST(HardwareInfoTest, WithoutAValidBlockM2FallsBackOnTheBootRecordAndTheVariant) {
    const Answers defaults = {{"GetInfo10", 1}, {"GetDisplayResolution", 800u | 480u << 16}, {"GetInfo12", 1},
        {"GetInfo13", 1}, {"GetInfo14", 1}, {"GetInfo18", 1}, {"GetInfo19", 1}, {"GetInfo23", 1}, {"GetInfo24", 1}};
    Answers variant1 = defaults, variant2 = defaults;
    variant1.insert({{"GetBoardVariant", 1}, {"GetInfo15", 2}, {"GetInfo16", 1}, {"GetInfo17", 1}, {"GetInfo20", 1},
        {"GetInfo21", 1}});
    variant2.insert({{"GetBoardVariant", 2}, {"GetInfo15", 1}, {"GetInfo21", 2}, {"GetInfo22", 1}, {"GetInfo25", 1},
        {"GetInfo26", 1}, {"GetInfo28", 1}});
    const Resources resources1 = {{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {0, 2, 1}, {0, 3, 1}, {1, 3, 1},
                                  {2, 3, 1}, {3, 3, 1}, {4, 3, 1}, {0, 3, 2}, {0, 4, 2}, {1, 4, 2}};
    const Resources resources2 = {{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {3, 1, 1}, {4, 1, 1},
                                  {5, 1, 1}, {6, 1, 1}, {0, 2, 1}, {0, 3, 1}};
    const Answers fromRecord = {{"GetInfo0", 0x66}, {"GetInfo1", 0x77}, {"GetInfo8M2", 2}, {"GetInfo8", 2}};
    // Word 13 of the boot record (0: no record) gives the variant by its first programmed byte.
    const std::tuple<DeviceFamily, std::uint32_t, Answers, Resources> cases[] = {
        {kFamilyM2, 0xFFFFFF01, variant1, resources1}, {kFamilyM2, 0xFFFF02FF, variant2, resources2},
        {kFamilyM2, 0x04FFFFFF, {}, {}}, {kFamilyM2, 0, {}, {}},
        {kFamilyE2, 0xFFFFFF01, {{"GetInfo14", 3}, {"GetInfo19", 5}}, {}}};
    for (const auto& [family, word13, answers, resources] : cases) {
        SCOPED_TRACE(word13);
        OtpBoard board(family);
        board.store(Board::Bank::Nor, 2, Type2(8, {{9, 1, 1}}));  // valid, but M2 reads the legacy bank
        if (word13 != 0)
            board.storeRecord({kBootRecordMagic, 19, 0, 0, ~0u, ~0u, 0x66, 0x77, 0, 0, 0, 0, 0xFFFFFF02, word13});
        Answers expected = answers;
        if (family == kFamilyM2 && word13 != 0) expected.insert(fromRecord.begin(), fromRecord.end());
        ExpectAnswers(board.reader, expected);
        EXPECT_EQ(GetResourceList(board.reader), resources);
        EXPECT_EQ(GetMacAddressString(board.reader), "06:00:00:00:00:00");
    }
}

TEST(HardwareInfoTest, GettersShareOneReaderAcrossThreads) {
    OtpBoard board(kFamilyM2);
    board.store(Board::Bank::Legacy, 1, Type1({{60, 0x33445566}, {61, 0x1122}}));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) wrong += GetMacAddressString(board.reader) != "11:22:33:44:55:66";
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(board.events().size(), 2u);  // one probe, one legacy read
}

}  // namespace
