// The hardware layer on simulated boards: the block checksum and validity, the OTP reader (probes,
// banks, the cache, the final "no data" state, writes, the boot record), the hardware-information
// getters by family with their fallbacks, and the shutdown sequences of every family with the CAN
// notice and the iMX35 command text (their run through the shell is in tests/tools).
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "CoreSystem/Application/ShutdownToLoader.h"
#include "CoreSystem/Hardware/HardwareInfo.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Storage/StorageLayout.h"
#include "HardwareTestSupport.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CoreSystem;
using namespace HardwareTest;

constexpr unsigned kReadNor1 = 0x40040548, kReadNor2 = 0x40040549, kReadLegacy1 = 0x40040547,
                   kReadLegacy2 = 0x40040543, kReadLegacy3 = 0x40040545, kWrite1 = 0x80040546;
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
        {1, type1, true}, {1, flipped, false}, {1, OtpBlock(type1.begin(), type1.end() - 1), false},
        {2, Type2(13, {{1, 2, 3}}), true},  // checksum word not 4-byte aligned
        {2, Type2(248, {}), true}, {2, tooLong, false},
        {2, OtpBlock(256, 0), false},  // L = 0: the stored 0 is not the empty range's checksum
        {3, flipped, true}, {3, OtpBlock(255, 0), false}, {4, type1, false}};
    for (const auto& [type, block, valid] : cases)
        for (const DeviceFamily family : {kFamilyM2, kFamilyE2, kFamilyIMX35, kFamilyUnknown})
            EXPECT_EQ(IsOtpBlockValid(family, type, block), valid && IsM2OrE2(family)) << type << " " << family;
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

TEST(OtpReaderTest, M2ReadsTheBankTheProbeFindsCachesItsBlocksAndWritesWithTheDevicesResult) {
    OtpBoard board(kFamilyM2);
    const OtpBlock held = Type1({{9, 1}}), next = Type1({{9, 2}}), nor2 = Type2(16, {{1, 2, 0}});
    board.store(Board::Bank::Legacy, 1, held);
    // Without a valid NOR block M2 reads the legacy bank. A hit reaches no device and logs nothing.
    EXPECT_EQ(board.reader.readBlock(1), held);
    EXPECT_EQ(board.logged(), (Lines{kProbe, kLegacy}));
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadLegacy1)}));
    EXPECT_EQ(board.reader.readBlock(1), held);
    EXPECT_EQ(board.logged(), Lines{});
    EXPECT_EQ(board.events(), Lines{});
    // A miss probes again; a failed read is not remembered.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x40040545", EIO, 1}));
    EXPECT_TRUE(board.reader.readBlock(3).empty());
    EXPECT_EQ(board.reader.readBlock(3), OtpBlock(256, 0xFF));
    EXPECT_EQ(board.events(), (Lines{Command(kReadNor1), Command(kReadLegacy3, "EIO"), Command(kReadNor1),
                                     Command(kReadLegacy3)}));

    OtpBlock badChecksum = held;
    badChecksum[0] ^= 1;
    for (const auto& [type, data] : std::vector<std::pair<int, OtpBlock>>{
             {1, OtpBlock(300, 0)}, {1, {}}, {1, badChecksum}, {4, {1}}, {2, OtpBlock(256, 0)}})
        EXPECT_EQ(board.reader.writeBlock(type, data), -1);
    EXPECT_EQ(board.events(), Lines{});

    // A failed write returns the device's error, leaves the location and drops the cached copy.
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x80040546", EIO, 1}));
    board.logged();
    EXPECT_EQ(board.reader.writeBlock(1, next), EIO);
    EXPECT_EQ(board.reader.location(), kOtpLocationLegacy);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy1), Command(kReadNor1), Command(kWrite1, "EIO")}));
    EXPECT_EQ(board.reader.readBlock(1), held);
    EXPECT_EQ(board.logged(), (Lines{kLegacy, kNor, kProbe, kLegacy}));

    // A write that succeeds returns 0; the next probe finds the new NOR block and keeps it. An
    // explicit read of the erased legacy bank answers its caller only.
    board.store(Board::Bank::Nor, 2, nor2);
    board.events();
    EXPECT_EQ(board.reader.writeBlock(1, next), 0);
    EXPECT_EQ(board.reader.readBlock(2), nor2);
    EXPECT_EQ(board.reader.readBlock(1), next);  // stored by the probe
    EXPECT_EQ(board.reader.location(), kOtpLocationNor);
    EXPECT_EQ(board.reader.readBlock(2, kOtpBankLegacy), OtpBlock(256, 0xFF));
    EXPECT_EQ(board.reader.readBlock(2), nor2);
    EXPECT_EQ(board.events(), (Lines{Command(kReadLegacy1), Command(kReadNor1), Command(kWrite1), Command(kReadNor1),
                                     Command(kReadNor2), Command(kReadLegacy2)}));
    EXPECT_EQ(board.logged(), (Lines{kLegacy, kNor, kProbe, kNor, kLegacy}));
    // Both banks holding the data: nothing is written, the NOR copy stays cached.
    board.store(Board::Bank::Legacy, 1, next);
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
        SCOPED_TRACE(testing::Message() << words[1] << (sign ? " signed" : ""));
        OtpBoard board(family);
        EXPECT_EQ(board.reader.bootRecord(), nullptr);  // refused, then checked again on the next call
        board.storeRecord(words, sign);
        const std::uint32_t* record = board.reader.bootRecord();
        EXPECT_EQ(record != nullptr, accepted);
        EXPECT_TRUE(!record || (record[2] == words[2] && board.reader.bootRecord() == record)) << "not read or held";
    }
}

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
        {0, 0x1000}, {1, 0xFFFFFFFF}, {3, 0xFFFFFFFF}, {5, 0x55}, {8, 14}, {9, 3}, {10, 1}, {11, 0x02580400}, {12, 2},
        {13, 3}, {14, 2}, {15, 1}, {16, 1}, {17, 2}, {18, 5}, {19, 6}, {20, 1}, {21, 4}, {22, 1}, {23, 1}, {24, 1},
        {25, 4}, {27, 2}, {28, 5}, {29, 1}, {31, 1}, {32, 3}, {33, 0xDEAD}, {34, 0xBEEF}, {35, 35}, {36, 36}, {37, 37},
        {60, 0x33445566}, {61, 0xABCD1122}, {62, 0x62}};
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
        // First calls from several threads at once share the reader: one probe and one read in all.
        const std::string mac = served ? "11:22:33:44:55:66" : "00:00:00:00:00:00";
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 20; ++i) wrong += GetMacAddressString(board.reader) != mac;
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(wrong, 0);
        ExpectAnswers(board.reader, answers);
        EXPECT_EQ(GetMacAddress(board.reader), served ? 0xABCD112233445566u : 0u);
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

const Lines kSequence = {"out32 0xe6053004 0x80008101", "out32 0xe6050004 0x00008101", "out32 0xe6050008 0x00008100",
                        "out32 0xe6053008 0x00000101", "out32 0xe6053008 0x80000101", "out32 0xe6051008 0x00008101",
                        "out32 0xe6150120 0x00000003", "out32 0xe6150140 0x00000102", "out32 0xe6160054 0xa55a0002",
                        "out32 0xe6020008 0xa5a53fff", "out32 0xe6020000 0x5a5affff", "out32 0xe6020004 0xa5a5a588"};

// Each family's shutdown and shutdown-to-loader sequences reach the board in order (read-modify-writes
// show on preset registers); what cannot be mapped is skipped. The loader's boot command block is
// written over a pattern, so that the untouched words show.
TEST(HardwareManagerTest, ShutdownAndShutdownToLoaderOfEachFamily) {
    auto m2Events = [](const std::string& result) {
        return Lines{"out32 0xe6053004 0x80008101", "out32 0xe6050004 0x00008101", "out32 0xe6050008 0x00008100",
                     "out32 0xe6053008 0x00000101", "out32 0xe6053008 0x80000101",
                     "i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=11 69 result=" + result,
                     "i2c /dev/i2c6 addr=0x5a fmt=2 stop=1 data=13 01 result=" + result,
                     "out32 0xe6050008 0x00008000"};  // bit 8 cleared whatever the chip said
    };
    Lines unmapped = m2Events("0");
    unmapped.erase(unmapped.begin());
    const std::string m2 = "HardwareManager: Shutdown M2", hub = "HardwareManager: Resetting H7 & USB hub",
                      enabled = "HardwareManager: M2 PMIC Watchdog Enabled",
                      reset = "HardwareManager: M2 PMIC Watchdog Timer Reset",
                      skipped = "HardwareManager: cannot map the register at 0xe6053004, access skipped",
                      loaderM2 = "HardwareManager: ShutdownToLoader M2";
    struct Case {
        bool toLoader;
        DeviceFamily family;
        std::vector<Board::FaultRule> faults;
        int skipMappings, failMappings;  // the mappings after `skip` ones fail
        Lines events, logged;
        bool blockWritten;
    };
    const Case cases[] = {
        {false, kFamilyM2, {}, 0, 0, m2Events("0"), {m2, hub, enabled, reset}, false},
        {false, kFamilyM2, {{"i2c", EIO, 2}}, 0, 0, m2Events("EIO"),
         {m2, hub, "HardwareManager: M2 PMIC i2c_write failed: reg = 11 data = 69",
          "HardwareManager: M2 PMIC i2c_write failed: reg = 13 data = 1"}, false},
        {false, kFamilyM2, {{"mmap", ENXIO, 1}}, 0, 0, unmapped, {m2, skipped, hub, enabled, reset}, false},
        {false, kFamilyE2, {}, 0, 0, {"out32 0xe6055008 0x00000001"}, {"HardwareManager: Shutdown E2"}, false},
        {false, kFamilyIMX35, {}, 0, 0, {"out16 0x53fdc000 0x0000"}, {"HardwareManager: Shutdown iMX35"}, false},
        {false, kFamilyUnknown, {}, 0, 0, {}, {}, false},
        {true, kFamilyM2, {}, 0, 0, kSequence, {hub, loaderM2}, true},
        {true, kFamilyE2, {}, 0, 0, kSequence, {hub, loaderM2}, true},  // E2 logs the M2 line too
        // The first register and the block cannot be mapped: both are skipped, the rest goes on.
        {true, kFamilyM2, {}, 0, 1, Lines(kSequence.begin() + 1, kSequence.end()), {skipped, hub, loaderM2}, true},
        {true, kFamilyE2, {}, 5, 1, kSequence,
         {hub, loaderM2, "HardwareManager: cannot map the boot command block, not written"}, false},
        {true, kFamilyUnknown, {}, 0, 0, {}, {}, false},
    };
    std::array<std::uint32_t, 20> pattern{};
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = 0x11111111u * static_cast<std::uint32_t>(i);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.toLoader ? "to loader, " : "") << "family " << c.family
                                        << ", mappings failing after " << c.skipMappings);
        OtpBoard board(c.family);
        board.presetRegisters();
        ASSERT_TRUE(Board::WriteMemory(board.host.root(), kBootRecordAddress, pattern.data(), sizeof pattern));
        for (const auto& rule : c.faults) ASSERT_TRUE(Board::AddFault(board.host.root(), rule));
        if (c.failMappings) Platform::FailNext(Platform::Call::MapDevice, ENXIO, c.skipMappings, c.failMappings);
        c.toLoader ? HardwareManager::ShutdownToLoader(c.family) : HardwareManager::Shutdown(c.family);
        Platform::ClearFaults();
        EXPECT_EQ(board.events(), c.events);
        EXPECT_EQ(board.logged(), c.logged);
        std::array<std::uint32_t, 20> expected = pattern, block{};
        if (c.blockWritten) {
            expected[0] = 0x1234AA55, expected[1] = 19, expected[2] = 1;
            expected[19] = BlockChecksum(expected.data(), 76);
        }
        EXPECT_TRUE(Board::ReadMemory(board.host.root(), kBootRecordAddress, block.data(), sizeof block));
        EXPECT_EQ(block, expected);
    }
}

TEST(HardwareManagerTest, ControlDeviceOpensOnM2AndE2OnlyAndRetriesAFailedOpen) {
    CoreSystemTest::IsolatedHost host;
    CoreSystemTest::CreateBoard(host);
    EXPECT_EQ(CoreSystemTest::RunInChild([] {
        Platform::FailNext(Platform::Call::Open, EACCES);
        if (IplControlDescriptor(kFamilyIMX35) != -1 || IplControlDescriptor(kFamilyUnknown) != -1) return 1;
        if (IplControlDescriptor(kFamilyM2) != -1) return 2;  // the pending failure was still there
        const int fd = IplControlDescriptor(kFamilyE2);
        if (fd < 0 || IplControlDescriptor(kFamilyM2) != fd) return 3;
        std::vector<std::uint8_t> block(256);
        return IplDevctl(fd, 0x40040548, block.data(), block.size(), nullptr) == 0 ? 0 : 4;
    }), 0);
}

TEST(ShutdownToLoader, CanApplicationIsToldOnlyWhenItsDirectoryExists) {
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "installed" : "not installed");
        OtpBoard board(kFamilyM2);
        board.presetRegisters();
        ASSERT_EQ(NMTest::createRegistryInChild(8), 0);
        std::string name = kCanApplication;
        if (installed) std::filesystem::create_directories(AutoloadAccessPath(AppPath(name)));
        EXPECT_EQ(CoreSystemTest::RunInChild([installed] {
            NM::NMClient can(true);
            if (installed) CHILD_CHECK(can.openReceiveChannel(can.getChannelIndex(kCanApplicationAction)) >= 0);
            HardwareManager::ShutdownToLoader(kFamilyM2);
            CHILD_CHECK(installed || can.getChannelIndex("probe") == 0);  // without it nothing was claimed
            if (!installed) return 0;
            char frame[16];
            int index = -1, size = -1;
            CHILD_CHECK(CoreSystemTest::Eventually([&] { return (size = can.recvMsg(&index, frame, 16)) > 0; },
                                                   std::chrono::seconds(5)));
            CHILD_CHECK(index == 0 && std::string(frame, std::size_t(size)) == std::string("\5\0\0\0\0\0\0\0", 8));
            return 0;
        }), 0);
        EXPECT_EQ(board.events(), kSequence);  // the sequence runs either way
    }
}

TEST(ShutdownToLoader, Imx35CommandKeepsAnyScriptPathOutOfTheShell) {
    const std::string command = "out32 0x53f80018 `in32 0x53f80018 | awk -f ";
    EXPECT_EQ(LoaderShutdownCommand("/data/v1.2_x+y-z/app/bootToLoader.awk"),
              command + "/data/v1.2_x+y-z/app/bootToLoader.awk`");
    EXPECT_EQ(LoaderShutdownCommand("/my dir/it's;`reboot`$(x)/app/bootToLoader.awk"),
              command + "'/my dir/it'\\''s;`reboot`$(x)/app/bootToLoader.awk'`");

    CoreSystemTest::IsolatedHost host;
    ASSERT_EQ(setenv("AUTOLOADPATH", "/my dir/", 1), 0);
    EXPECT_EQ(LoaderScriptPath(), "/my dir/app/bootToLoader.awk");  // as given, also on this host
    unsetenv("AUTOLOADPATH");
    EXPECT_EQ(LoaderScriptPath(), Platform::DevicePath("/fs/etfs/app/bootToLoader.awk"));
}

}  // namespace
