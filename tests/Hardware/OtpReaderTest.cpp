// The block checksum, block validity, and the OTP reader on a simulated board: probes, banks, the
// cache, the final "no data" state, writes and the boot record, with their log lines and device
// commands.
#include "CoreSystem/Hardware/OtpReader.h"

#include <gtest/gtest.h>

#include <random>

#include "HardwareTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;

constexpr unsigned kReadNor1 = 0x40040548, kReadNor2 = 0x40040549, kReadLegacy1 = 0x40040547,
                   kReadLegacy2 = 0x40040543, kWrite1 = 0x80040546;
const char* const kProbe = "Call from Check OTP Location";
const char* const kNor = "OTP read from new NOR BANK";
const char* const kLegacy = "OTP read from Legacy OTP Bank";

/// The same checksum computed bit by bit, the start value taken from the seed's bytes read first.
std::uint32_t BitwiseChecksum(std::vector<std::uint8_t> bytes) {
    bytes.insert(bytes.begin(), {0xED, 0xB8, 0x83, 0x20});
    std::uint32_t crc = 0;
    for (const std::uint8_t byte : bytes) {
        crc ^= std::uint32_t{byte} << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TEST(BlockChecksumTest, CheckValuesAndAgreementWithABitwiseCrc) {
    EXPECT_EQ(BlockChecksum("123456789", 9), 0x942F51FBu);
    EXPECT_EQ(BlockChecksum("abc", 3), 0xC67B880Cu);
    EXPECT_EQ(BlockChecksum(nullptr, 0), 0x6826EB82u);
    std::mt19937 random(15);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint8_t> bytes(random() % 600);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        ASSERT_EQ(BlockChecksum(bytes.data(), bytes.size()), BitwiseChecksum(bytes)) << bytes.size() << " bytes";
    }
}

TEST(BlockChecksumTest, ValidityPerTypeAndFamily) {
    const OtpBlock type1 = Type1({{0, 7}, {62, 9}});
    OtpBlock flipped = type1;
    flipped[100] ^= 1;
    OtpBlock unaligned = Type2(13, {{1, 2, 3}});  // the checksum word at byte offset 13
    OtpBlock longest = Type2(248, {});
    OtpBlock tooLong = Type2(248, {});
    PutWord(tooLong, 0, 249);
    PutWord(tooLong, 249, BlockChecksum(tooLong.data(), 249));
    const struct {
        int type;
        OtpBlock block;
        bool valid;
    } cases[] = {
        {1, type1, true},
        {1, flipped, false},
        {1, OtpBlock(type1.begin(), type1.end() - 1), false},
        {2, unaligned, true},
        {2, longest, true},
        {2, tooLong, false},
        {2, OtpBlock(256, 0), false},  // L = 0: the stored 0 is not the empty range's checksum
        {3, flipped, true},
        {3, OtpBlock(255, 0), false},
        {4, type1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(IsOtpBlockValid(kFamilyM2, c.type, c.block), c.valid);
        EXPECT_EQ(IsOtpBlockValid(kFamilyE2, c.type, c.block), c.valid);
        EXPECT_FALSE(IsOtpBlockValid(kFamilyIMX35, c.type, c.block));
        EXPECT_FALSE(IsOtpBlockValid(kFamilyUnknown, c.type, c.block));
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
    EXPECT_EQ(board.reader.location(), kOtpLocationLegacy);

    // A hit reaches no device and logs nothing; a miss probes again.
    EXPECT_EQ(board.reader.readBlock(1), legacy1);
    EXPECT_EQ(board.logged(), Lines{});
    EXPECT_EQ(board.events(), Lines{});
    EXPECT_EQ(board.reader.readBlock(2), legacy2);
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadLegacy2)}));

    // A failed read is not remembered; a negative bank or an unknown type reads nothing.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x40040545", EIO, 1}));
    board.logged();
    EXPECT_TRUE(board.reader.readBlock(3).empty());
    EXPECT_EQ(board.reader.readBlock(3), OtpBlock(256, 0xFF));
    EXPECT_TRUE(board.reader.readBlock(1, -1).empty());
    EXPECT_TRUE(board.reader.readBlock(7, kOtpBankNor).empty());
    EXPECT_EQ(board.logged(), (Lines{kProbe, kLegacy, kProbe, kLegacy, kNor}));
}

TEST(OtpReaderTest, ValidNorBlockIsCachedByTheProbeAndOtherBanksDoNotReplaceIt) {
    OtpBoard board(kFamilyM2);
    const OtpBlock nor1 = Type1({{9, 1}}), nor2 = Type2(16, {{1, 2, 0}, {3, 0, 1}});
    board.store(Board::Bank::Nor, 1, nor1);
    board.store(Board::Bank::Nor, 2, nor2);

    EXPECT_EQ(board.reader.readBlock(2), nor2);
    EXPECT_EQ(board.logged(), (Lines{kProbe, kNor}));
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadNor2)}));
    EXPECT_EQ(board.reader.readBlock(1), nor1);  // stored by the probe
    EXPECT_EQ(board.events(), Lines{});

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
    EXPECT_EQ(board.logged(), Lines{kProbe});

    // The bank answers with no valid block: from now on automatic reads stop at once.
    EXPECT_TRUE(board.reader.readBlock(1).empty());
    EXPECT_EQ(board.logged(), Lines{kProbe});
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1, "EIO"), Command(kReadNor1)}));
    board.store(Board::Bank::Nor, 1, Type1({}));
    EXPECT_TRUE(board.reader.readBlock(2).empty());
    EXPECT_EQ(board.reader.checkLocation(), kOtpLocationNone);
    EXPECT_EQ(board.logged(), Lines{"OTP Block is empty"});
    EXPECT_EQ(board.events(), Lines{});

    // Reads naming a bank still reach the device; the legacy bank is M2's only.
    EXPECT_EQ(board.reader.readBlock(1, kOtpBankNor), Type1({}));
    EXPECT_TRUE(board.reader.readBlock(1, kOtpBankLegacy).empty());
    EXPECT_TRUE(board.reader.readBlock(1).empty());
    EXPECT_EQ(board.logged(), (Lines{kNor, kLegacy, "OTP Block is empty"}));
    EXPECT_EQ(board.events(), Lines{Command(kReadNor1)});
}

TEST(OtpReaderTest, WritesAreRefusedSkippedOrSentWithTheDevicesResult) {
    OtpBoard board(kFamilyM2);
    const OtpBlock held = Type1({{9, 1}});
    board.store(Board::Bank::Legacy, 1, held);
    ASSERT_EQ(board.reader.readBlock(1), held);
    board.events();

    // Refused before any device command.
    OtpBlock badChecksum = held;
    badChecksum[0] ^= 1;
    for (const auto& [type, data] : std::vector<std::pair<int, OtpBlock>>{
             {1, OtpBlock(300, 0)}, {1, {}}, {1, badChecksum}, {4, {1}}, {2, OtpBlock(256, 0)}}) {
        EXPECT_EQ(board.reader.writeBlock(type, data), -1);
    }
    EXPECT_EQ(board.events(), Lines{});

    // A failed write returns the device's error, leaves the location and drops the cached copy.
    const OtpBlock next = Type1({{9, 2}});
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x80040546", EIO, 1}));
    board.logged();
    EXPECT_EQ(board.reader.writeBlock(1, next), EIO);
    EXPECT_EQ(board.reader.location(), kOtpLocationLegacy);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy1), Command(kReadNor1), Command(kWrite1, "EIO")}));
    EXPECT_EQ(board.reader.readBlock(1), held);
    EXPECT_EQ(board.logged(), (Lines{kLegacy, kNor, kProbe, kLegacy}));

    // A write that succeeds returns 0; the next probe finds the new NOR block.
    EXPECT_EQ(board.reader.writeBlock(1, next), 0);
    EXPECT_EQ(board.reader.location(), kOtpLocationLegacy);
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
    const struct {
        const char* name;
        DeviceFamily family;
        std::vector<std::uint32_t> words;
        bool sign, accepted;
    } cases[] = {
        {"valid", kFamilyM2, good, true, true},
        {"fewer words covered", kFamilyM2, {kBootRecordMagic, 3, 5}, true, true},
        {"checksum wrong", kFamilyM2, good, false, false},
        {"20 words covered", kFamilyM2, {kBootRecordMagic, 20}, true, false},
        {"magic wrong", kFamilyM2, {0x1234AA56, 19}, true, false},
        {"not M2", kFamilyE2, good, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OtpBoard board(c.family);
        board.storeRecord(c.words, c.sign);
        const std::uint32_t* record = board.reader.bootRecord();
        ASSERT_EQ(record != nullptr, c.accepted);
        if (record) {
            EXPECT_EQ(record[1], c.words[1]);
        }
    }
    // Refused, then checked again on the next call.
    OtpBoard board(kFamilyM2);
    EXPECT_EQ(board.reader.bootRecord(), nullptr);
    board.storeRecord(good);
    const std::uint32_t* record = board.reader.bootRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record[6], 0x22u);
    EXPECT_EQ(board.reader.bootRecord(), record);
}

}  // namespace
