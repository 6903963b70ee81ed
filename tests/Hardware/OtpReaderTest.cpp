// The block checksum, block validity, and the OTP reader on a simulated board: probes, banks, the
// cache, the final "no data" state, writes and the boot record.
#include "CoreSystem/Hardware/OtpReader.h"

#include <gtest/gtest.h>

#include "HardwareTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;

constexpr unsigned kReadNor1 = 0x40040548, kReadNor2 = 0x40040549, kReadLegacy1 = 0x40040547,
                   kReadLegacy2 = 0x40040543, kWrite1 = 0x80040546;
const std::string kProbe = "Call from Check OTP Location", kNor = "OTP read from new NOR BANK",
                  kLegacy = "OTP read from Legacy OTP Bank", kEmpty = "OTP Block is empty";

TEST(BlockChecksumTest, CheckValuesAndValidityPerType) {
    EXPECT_EQ(BlockChecksum("123456789", 9), 0x942F51FBu);
    EXPECT_EQ(BlockChecksum(nullptr, 0), 0x6826EB82u);
    std::uint8_t everyByte[256];  // every byte value once
    for (int i = 0; i < 256; ++i) everyByte[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(BlockChecksum(everyByte, 256), 0x47F39C27u);

    const OtpBlock type1 = Type1({{0, 7}});
    OtpBlock flipped = type1, tooLong = Type2(248, {});
    flipped[100] ^= 1;
    PutWord(tooLong, 0, 249);
    PutWord(tooLong, 249, BlockChecksum(tooLong.data(), 249));
    const std::tuple<int, OtpBlock, bool> cases[] = {
        {1, type1, true},
        {1, flipped, false},
        {1, OtpBlock(type1.begin(), type1.end() - 1), false},
        {2, Type2(13, {{1, 2, 3}}), true},  // checksum word not 4-byte aligned
        {2, Type2(248, {}), true},
        {2, tooLong, false},
        {2, OtpBlock(256, 0), false},  // L = 0: the stored 0 is not the empty range's checksum
        {3, flipped, true},
        {3, OtpBlock(255, 0), false},
        {4, type1, false}};
    for (const auto& [type, block, valid] : cases) {
        for (const DeviceFamily family : {kFamilyM2, kFamilyE2, kFamilyIMX35, kFamilyUnknown}) {
            EXPECT_EQ(IsOtpBlockValid(family, type, block), valid && IsM2OrE2(family))
                << type << " " << family;
        }
    }
}

TEST(OtpReaderTest, M2WithoutAValidNorBlockReadsTheLegacyBankAndCaches) {
    OtpBoard board(kFamilyM2);
    const OtpBlock legacy1 = Type1({{9, 2}}), legacy2 = Type2(8, {{1, 1, 1}});
    board.store(Board::Bank::Legacy, 1, legacy1);
    board.store(Board::Bank::Legacy, 2, legacy2);
    EXPECT_EQ(board.reader.readBlock(1), legacy1);
    EXPECT_EQ(board.logged(), (Lines{kProbe, kLegacy}));
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadLegacy1)}));

    // A hit reaches no device and logs nothing; a miss probes again.
    EXPECT_EQ(board.reader.readBlock(1), legacy1);
    EXPECT_EQ(board.logged(), Lines{});
    EXPECT_EQ(board.events(), Lines{});
    EXPECT_EQ(board.reader.readBlock(2), legacy2);
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadLegacy2)}));

    // A failed read is not remembered.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x40040545", EIO, 1}));
    EXPECT_TRUE(board.reader.readBlock(3).empty());
    EXPECT_EQ(board.reader.readBlock(3), OtpBlock(256, 0xFF));
}

TEST(OtpReaderTest, ValidNorBlockIsCachedByTheProbeAndOtherBanksDoNotReplaceIt) {
    OtpBoard board(kFamilyM2);
    const OtpBlock nor1 = Type1({{9, 1}}), nor2 = Type2(16, {{1, 2, 0}});
    board.store(Board::Bank::Nor, 1, nor1);
    board.store(Board::Bank::Nor, 2, nor2);
    EXPECT_EQ(board.reader.readBlock(2), nor2);
    EXPECT_EQ(board.logged(), (Lines{kProbe, kNor}));
    EXPECT_EQ(board.reader.readBlock(1), nor1);  // stored by the probe
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadNor2)}));

    // An explicit read of the erased legacy bank answers its caller only.
    EXPECT_EQ(board.reader.readBlock(2, kOtpBankLegacy), OtpBlock(256, 0xFF));
    EXPECT_EQ(board.reader.readBlock(2), nor2);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy2)}));
}

TEST(OtpReaderTest, E2WithoutValidDataSticksOnlyAfterAReadThatSucceeded) {
    OtpBoard board(kFamilyE2);
    // A device error on the first probe is not taken for an empty bank.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x40040548", EIO, 1}));
    EXPECT_TRUE(board.reader.readBlock(1).empty());
    EXPECT_EQ(board.reader.location(), kOtpLocationUnknown);
    // The bank answers with no valid block: from then on automatic reads stop at once.
    EXPECT_TRUE(board.reader.readBlock(1).empty());
    EXPECT_EQ(board.logged(), (Lines{kProbe, kProbe}));
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1, "EIO"), Command(kReadNor1)}));
    board.store(Board::Bank::Nor, 1, Type1({}));
    EXPECT_TRUE(board.reader.readBlock(2).empty());
    EXPECT_EQ(board.reader.checkLocation(), kOtpLocationNone);
    EXPECT_EQ(board.events(), Lines{});

    // Reads naming a bank still reach the device; the legacy bank is M2's only.
    EXPECT_EQ(board.reader.readBlock(1, kOtpBankNor), Type1({}));
    EXPECT_TRUE(board.reader.readBlock(1, kOtpBankLegacy).empty());
    EXPECT_TRUE(board.reader.readBlock(1).empty());
    EXPECT_EQ(board.logged(), (Lines{kEmpty, kNor, kLegacy, kEmpty}));
    EXPECT_EQ(board.events(), Lines{Command(kReadNor1)});
}

TEST(OtpReaderTest, WritesAreRefusedSkippedOrSentWithTheDevicesResult) {
    OtpBoard board(kFamilyM2);
    const OtpBlock held = Type1({{9, 1}}), next = Type1({{9, 2}});
    board.store(Board::Bank::Legacy, 1, held);
    ASSERT_EQ(board.reader.readBlock(1), held);
    board.events();
    OtpBlock badChecksum = held;
    badChecksum[0] ^= 1;
    for (const auto& [type, data] : std::vector<std::pair<int, OtpBlock>>{
             {1, OtpBlock(300, 0)}, {1, {}}, {1, badChecksum}, {4, {1}}, {2, OtpBlock(256, 0)}}) {
        EXPECT_EQ(board.reader.writeBlock(type, data), -1);
    }
    EXPECT_EQ(board.events(), Lines{});

    // A failed write returns the device's error, leaves the location and drops the cached copy.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x80040546", EIO, 1}));
    board.logged();
    EXPECT_EQ(board.reader.writeBlock(1, next), EIO);
    EXPECT_EQ(board.reader.location(), kOtpLocationLegacy);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy1), Command(kReadNor1), Command(kWrite1, "EIO")}));
    EXPECT_EQ(board.reader.readBlock(1), held);
    EXPECT_EQ(board.logged(), (Lines{kLegacy, kNor, kProbe, kLegacy}));

    // A write that succeeds returns 0; the next probe finds the new NOR block.
    EXPECT_EQ(board.reader.writeBlock(1, next), 0);
    EXPECT_EQ(board.reader.readBlock(1), next);
    EXPECT_EQ(board.reader.location(), kOtpLocationNor);
    // Both banks holding the data: nothing is written, the NOR copy stays cached.
    board.store(Board::Bank::Legacy, 1, next);
    board.events();
    EXPECT_EQ(board.reader.writeBlock(1, next), 0);
    EXPECT_EQ(board.reader.readBlock(1), next);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy1), Command(kReadNor1)}));
    // Shorter data is padded with zeros.
    EXPECT_EQ(board.reader.writeBlock(3, {1, 2, 3}), 0);
    OtpBlock padded(256, 0);
    padded[0] = 1, padded[1] = 2, padded[2] = 3;
    EXPECT_EQ(*Board::ReadOtp(board.host.root(), Board::Bank::Nor, 3), padded);
}

TEST(OtpReaderTest, BootRecordIsAcceptedOnlyWhenWhole) {
    const std::vector<std::uint32_t> good = {kBootRecordMagic, 19, 1, 0, 0x11, 0, 0x22};
    // A count far beyond the record whose byte count wraps to 0, with the empty range's checksum.
    std::vector<std::uint32_t> wrapping(20, 0);
    wrapping[0] = kBootRecordMagic, wrapping[1] = 0x40000000, wrapping[19] = 0x6826EB82;
    const std::tuple<DeviceFamily, std::vector<std::uint32_t>, bool, bool> cases[] = {
        {kFamilyM2, good, true, true},       {kFamilyM2, {kBootRecordMagic, 3, 5}, true, true},
        {kFamilyM2, good, false, false},     {kFamilyM2, {kBootRecordMagic, 20}, true, false},
        {kFamilyM2, wrapping, false, false}, {kFamilyM2, {0x1234AA56, 19}, true, false},
        {kFamilyE2, good, true, false}};
    for (const auto& [family, words, sign, accepted] : cases) {
        OtpBoard board(family);
        board.storeRecord(words, sign);
        EXPECT_EQ(board.reader.bootRecord() != nullptr, accepted) << words[1] << (sign ? " signed" : "");
    }
    // Refused, then checked again on the next call, then held.
    OtpBoard board(kFamilyM2);
    EXPECT_EQ(board.reader.bootRecord(), nullptr);
    board.storeRecord(good);
    const std::uint32_t* record = board.reader.bootRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record[6], 0x22u);
    EXPECT_EQ(board.reader.bootRecord(), record);
}

}  // namespace
