// The hardware-information getters: one family gate, one read of the type-1 block, then the block's
// word or the fallback. Most coded fields follow one rule and are described by a table row.
#include "CoreSystem/Hardware/HardwareInfo.h"

#include <cstdio>
#include <optional>

namespace CoreSystem {

namespace {

constexpr std::uint32_t kUnprogrammed = 0xFFFFFFFFu;

/// The type-1 block's words when the block is valid.
std::optional<std::vector<std::uint32_t>> Type1Words(OtpReader& otp) {
    const OtpBlock block = otp.readBlock(1);
    if (!IsType1BlockValid(otp.family(), block)) return std::nullopt;
    std::vector<std::uint32_t> words(kOtpBlockSize / 4);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = LittleEndianWord(&block[4 * i]);
    return words;
}

bool IsM2(const OtpReader& otp) {
    return otp.family() == kFamilyM2;
}

std::uint32_t InRange(std::uint32_t value, std::uint32_t low, std::uint32_t high) {
    return value >= low && value <= high ? value : 0;
}

std::uint32_t Info8Checked(std::uint32_t value) {
    return value == 13 || value == 14 || value == 15 ? 0 : InRange(value, 1, 18);
}

std::uint32_t VariantChecked(std::uint32_t value) {
    return value == 4 || value == 5 ? 0 : InRange(value, 1, 8);
}

/// Boot record word `index` on M2 boards with a valid record.
std::optional<std::uint32_t> RecordWord(OtpReader& otp, std::size_t index) {
    const std::uint32_t* record = IsM2(otp) ? otp.bootRecord() : nullptr;
    if (!record) return std::nullopt;
    return record[index];
}

/// The first of `indexes` of `words` that is programmed, or 0.
std::uint32_t FirstProgrammed(const std::vector<std::uint32_t>& words,
                              std::initializer_list<std::size_t> indexes) {
    for (const std::size_t index : indexes) {
        if (words[index] != kUnprogrammed) return words[index];
    }
    return 0;
}

enum Families { kM2Only, kM2AndE2, kE2Only };

/// A coded field: type-1 word `word`, answered when it lies in 1..`max` (as stored when `max` is
/// 0), else 0; without a valid block the answer of the board variant (1 or 2; others give 0).
struct Field {
    int word;
    Families families;
    std::uint32_t max;
    std::uint32_t variant1, variant2;
    std::uint32_t onE2 = 0;  ///< the answer of an M2 field on E2, given without reading anything
};

std::uint32_t Answer(OtpReader& otp, const Field& field) {
    const DeviceFamily family = otp.family();
    const bool listed = field.families == kM2AndE2  ? IsM2OrE2(family)
                        : field.families == kM2Only ? family == kFamilyM2
                                                    : family == kFamilyE2;
    if (!listed) return family == kFamilyE2 ? field.onE2 : 0;
    if (const auto words = Type1Words(otp)) {
        const std::uint32_t value = (*words)[static_cast<std::size_t>(field.word)];
        return field.max == 0 ? value : InRange(value, 1, field.max);
    }
    if (field.variant1 == 0 && field.variant2 == 0) return 0;  // no default: the variant is not asked
    const std::uint32_t variant = GetBoardVariant(otp);
    return variant == 1 ? field.variant1 : variant == 2 ? field.variant2 : 0;
}

constexpr std::uint32_t kDefaultResolution = 800u | 480u << 16;
constexpr std::uint64_t kDefaultMacAddress = 0x0000060000000000ull;

}  // namespace

bool operator==(const ResourceEntry& a, const ResourceEntry& b) {
    return a.unit == b.unit && a.kind == b.kind && a.mode == b.mode;
}

int FirstProgrammedByte(std::uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint32_t byte = (word >> shift) & 0xFFu;
        if (byte != 0xFFu) return static_cast<int>(byte);
    }
    return -1;
}

std::uint32_t GetInfo0(OtpReader& otp) {
    if (!IsM2OrE2(otp.family())) return 0;
    if (const auto words = Type1Words(otp)) return FirstProgrammed(*words, {0});
    const std::uint32_t* record = IsM2(otp) ? otp.bootRecord() : nullptr;
    return record ? FirstProgrammed({record, record + kBootRecordWords}, {4, 6}) : 0;
}

std::uint32_t GetInfo1(OtpReader& otp) {
    if (!IsM2OrE2(otp.family())) return 0;
    if (const auto words = Type1Words(otp)) return FirstProgrammed(*words, {1, 3, 5});
    const std::uint32_t* record = IsM2(otp) ? otp.bootRecord() : nullptr;
    return record ? FirstProgrammed({record, record + kBootRecordWords}, {5, 7, 9}) : 0;
}

std::uint32_t GetInfo8E2(OtpReader& otp) {
    return Answer(otp, {8, kE2Only, 0, 0, 0});
}

std::uint32_t GetInfo8M2(OtpReader& otp) {
    if (!IsM2(otp)) return 0;
    if (const auto words = Type1Words(otp)) return Info8Checked((*words)[8]);
    const auto word = RecordWord(otp, 12);
    const int byte = word ? FirstProgrammedByte(*word) : -1;
    return byte < 0 ? 0 : Info8Checked(static_cast<std::uint32_t>(byte));
}

std::uint32_t GetInfo8(OtpReader& otp) {
    if (otp.family() == kFamilyM2) return GetInfo8M2(otp);
    if (otp.family() == kFamilyE2) return GetInfo8E2(otp);
    return 0;
}

std::uint32_t GetBoardVariant(OtpReader& otp) {
    if (const auto words = Type1Words(otp)) return VariantChecked((*words)[9]);
    const auto word = RecordWord(otp, 13);
    const int byte = word ? FirstProgrammedByte(*word) : -1;
    return byte < 0 ? 0 : VariantChecked(static_cast<std::uint32_t>(byte));
}

// The coded fields that follow one rule: word, families, largest value kept (0: as stored), the
// answers of variants 1 and 2 without a valid block, and the answer on E2 of an M2-only field.
// Words 35-37 count as M2 and E2 fields: only those families have a valid block.
#define CORESYSTEM_FIELD(name, ...)        \
    std::uint32_t name(OtpReader& otp) {   \
        return Answer(otp, {__VA_ARGS__}); \
    }
// clang-format off
CORESYSTEM_FIELD(GetInfo10, 10, kM2Only, 1, 1, 1)
CORESYSTEM_FIELD(GetDisplayResolution, 11, kM2AndE2, 0, kDefaultResolution, kDefaultResolution)
CORESYSTEM_FIELD(GetInfo12, 12, kM2AndE2, 2, 1, 1)
CORESYSTEM_FIELD(GetInfo13, 13, kM2AndE2, 2, 1, 1)
CORESYSTEM_FIELD(GetInfo14, 14, kM2Only, 2, 1, 1, 3)
CORESYSTEM_FIELD(GetInfo15, 15, kM2AndE2, 2, 2, 1)
CORESYSTEM_FIELD(GetInfo16, 16, kM2AndE2, 1, 1, 0)
CORESYSTEM_FIELD(GetInfo17, 17, kM2AndE2, 1, 1, 0)
CORESYSTEM_FIELD(GetInfo18, 18, kM2AndE2, 5, 1, 1)
CORESYSTEM_FIELD(GetInfo19, 19, kM2Only, 5, 1, 1, 5)
CORESYSTEM_FIELD(GetInfo20, 20, kM2AndE2, 1, 1, 0)
CORESYSTEM_FIELD(GetInfo22, 22, kM2Only, 1, 0, 1)
CORESYSTEM_FIELD(GetInfo23, 23, kM2AndE2, 1, 1, 1)
CORESYSTEM_FIELD(GetInfo24, 24, kM2Only, 1, 1, 1)
CORESYSTEM_FIELD(GetInfo25, 25, kM2Only, 4, 0, 1)
CORESYSTEM_FIELD(GetInfo26, 26, kM2AndE2, 1, 0, 1)
CORESYSTEM_FIELD(GetInfo27, 27, kM2AndE2, 2, 0, 0)
CORESYSTEM_FIELD(GetInfo28, 28, kM2AndE2, 4, 0, 1)
CORESYSTEM_FIELD(GetInfo29, 29, kM2AndE2, 1, 0, 0)
CORESYSTEM_FIELD(GetInfo31, 31, kM2AndE2, 1, 0, 0)
CORESYSTEM_FIELD(GetInfo33, 33, kM2AndE2, 0, 0, 0)
CORESYSTEM_FIELD(GetInfo34, 34, kM2AndE2, 0, 0, 0)
CORESYSTEM_FIELD(GetInfo35, 35, kM2AndE2, 0, 0, 0)
CORESYSTEM_FIELD(GetInfo36, 36, kM2AndE2, 0, 0, 0)
CORESYSTEM_FIELD(GetInfo37, 37, kM2AndE2, 0, 0, 0)
// clang-format on
#undef CORESYSTEM_FIELD

std::uint32_t GetInfo21(OtpReader& otp) {
    if (!IsM2OrE2(otp.family())) return 0;
    if (const auto words = Type1Words(otp)) {
        const std::uint32_t value = (*words)[21];
        return IsM2(otp) ? InRange(value, 1, 3) : (value == 4 ? 4 : 0);
    }
    if (!IsM2(otp)) return 0;
    const std::uint32_t variant = GetBoardVariant(otp);
    if (variant == 2) return 2;
    if (variant != 1) return 0;
    const std::uint32_t info8 = GetInfo8(otp);
    return info8 == 1 || info8 == 2 ? 1 : 0;
}

std::uint32_t GetInfo32(OtpReader& otp) {
    const std::uint32_t value = Answer(otp, {32, kM2Only, 0, 0, 0});
    return value == 1 || value == 3 ? value : 0;
}

std::uint64_t GetMacAddress(OtpReader& otp) {
    if (!IsM2OrE2(otp.family())) return 0;
    const auto words = Type1Words(otp);
    if (!words) return kDefaultMacAddress;
    return std::uint64_t{(*words)[61]} << 32 | (*words)[60];
}

std::string GetMacAddressString(OtpReader& otp) {
    const std::uint64_t mac = GetMacAddress(otp);
    const auto byte = [mac](int shift) { return static_cast<unsigned>((mac >> shift) & 0xFFu); };
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", byte(40), byte(32), byte(24), byte(16),
                  byte(8), byte(0));
    return text;
}

std::uint32_t GetInfoWord62(int type, OtpReader& otp) {
    if (type != 1 || !IsM2OrE2(otp.family())) return 0;
    const OtpBlock block = otp.readBlock(1);
    return IsOtpBlockValid(otp.family(), 1, block) ? LittleEndianWord(&block[62 * 4]) : 0;
}

bool HasValidOtpBlock(int type, OtpReader& otp) {
    return IsOtpBlockValid(otp.family(), type, otp.readBlock(type));
}

std::vector<ResourceEntry> GetResourceList(OtpReader& otp) {
    if (!IsM2OrE2(otp.family())) return {};
    const OtpBlock block = otp.readBlock(2);
    if (IsOtpBlockValid(otp.family(), 2, block)) {
        std::vector<ResourceEntry> list;
        const std::uint32_t length = LittleEndianWord(block.data());
        for (std::uint32_t at = 4; at - 4 < length; at += 8) {
            static constexpr std::uint32_t kKinds[] = {1, 3, 2, 4};
            const std::uint8_t kind = block[at + 2], mode = block[at + 3] & 0x0F;
            list.push_back({static_cast<std::uint32_t>(block[at + 1] >> 4), kind < 4 ? kKinds[kind] : 0,
                            mode < 2 ? mode + 1u : 0});
        }
        return list;
    }
    switch (GetBoardVariant(otp)) {
        case 1:
            return {{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {0, 2, 1}, {0, 3, 1}, {1, 3, 1},
                    {2, 3, 1}, {3, 3, 1}, {4, 3, 1}, {0, 3, 2}, {0, 4, 2}, {1, 4, 2}};
        case 2:
            return {{0, 1, 1}, {1, 1, 1}, {2, 1, 1}, {3, 1, 1}, {4, 1, 1},
                    {5, 1, 1}, {6, 1, 1}, {0, 2, 1}, {0, 3, 1}};
        default:
            return {};
    }
}

const std::vector<NumberGetter>& NumberGetters() {
#define CORESYSTEM_GETTER(name)                          \
    NumberGetter {                                       \
#name, [](OtpReader & otp) { return name(otp); } \
    }
    static const std::vector<NumberGetter> getters = {
        CORESYSTEM_GETTER(GetInfo0),   CORESYSTEM_GETTER(GetInfo1),
        CORESYSTEM_GETTER(GetInfo8E2), CORESYSTEM_GETTER(GetInfo8M2),
        CORESYSTEM_GETTER(GetInfo8),   CORESYSTEM_GETTER(GetBoardVariant),
        CORESYSTEM_GETTER(GetInfo10),  CORESYSTEM_GETTER(GetDisplayResolution),
        CORESYSTEM_GETTER(GetInfo12),  CORESYSTEM_GETTER(GetInfo13),
        CORESYSTEM_GETTER(GetInfo14),  CORESYSTEM_GETTER(GetInfo15),
        CORESYSTEM_GETTER(GetInfo16),  CORESYSTEM_GETTER(GetInfo17),
        CORESYSTEM_GETTER(GetInfo18),  CORESYSTEM_GETTER(GetInfo19),
        CORESYSTEM_GETTER(GetInfo20),  CORESYSTEM_GETTER(GetInfo21),
        CORESYSTEM_GETTER(GetInfo22),  CORESYSTEM_GETTER(GetInfo23),
        CORESYSTEM_GETTER(GetInfo24),  CORESYSTEM_GETTER(GetInfo25),
        CORESYSTEM_GETTER(GetInfo26),  CORESYSTEM_GETTER(GetInfo27),
        CORESYSTEM_GETTER(GetInfo28),  CORESYSTEM_GETTER(GetInfo29),
        CORESYSTEM_GETTER(GetInfo31),  CORESYSTEM_GETTER(GetInfo32),
        CORESYSTEM_GETTER(GetInfo33),  CORESYSTEM_GETTER(GetInfo34),
        CORESYSTEM_GETTER(GetInfo35),  CORESYSTEM_GETTER(GetInfo36),
        CORESYSTEM_GETTER(GetInfo37),
    };
#undef CORESYSTEM_GETTER
    return getters;
}

}  // namespace CoreSystem
