// Text utilities: Split and Base64. Both Base64 directions are table-driven and write into output
// sized once up front.
#include "CoreSystem/Storage/TextUtilities.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace CoreSystem {

namespace {

static_assert(sizeof(kBase64Alphabet) == 65, "64 characters and the terminating NUL");

/// Value of a character in the alphabet, or kNotBase64 for every other byte ("=" included).
constexpr std::uint8_t kNotBase64 = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& value : table) value = kNotBase64;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

/// The two characters for every 12-bit value, so that 3 input bytes need two look-ups.
struct CharPair {
    char c[2];
};

constexpr std::array<CharPair, 4096> MakePairTable() {
    std::array<CharPair, 4096> table{};
    for (int i = 0; i < 4096; ++i) {
        table[i].c[0] = kBase64Alphabet[i >> 6];
        table[i].c[1] = kBase64Alphabet[i & 0x3F];
    }
    return table;
}

/// For each of the four positions in a group, every character's 6 bits already placed where they
/// land in the group's 3 output bytes (byte 0 in bits 0-7, byte 1 in 8-15, byte 2 in 16-23), or
/// kBadGroup for a character outside the alphabet: a group is then four look-ups ORed together.
constexpr std::uint32_t kBadGroup = 0x01000000;

struct GroupTables {
    std::uint32_t position[4][256];
};

constexpr GroupTables MakeGroupTables() {
    GroupTables tables{};
    for (int c = 0; c < 256; ++c) {
        for (auto& position : tables.position) position[c] = kBadGroup;
    }
    for (std::uint32_t v = 0; v < 64; ++v) {
        const auto c = static_cast<unsigned char>(kBase64Alphabet[v]);
        tables.position[0][c] = v << 2;
        tables.position[1][c] = (v >> 4) | ((v & 0x0F) << 12);
        tables.position[2][c] = ((v >> 2) << 8) | ((v & 0x03) << 22);
        tables.position[3][c] = v << 16;
    }
    return tables;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();
constexpr GroupTables kGroups = MakeGroupTables();
constexpr std::array<CharPair, 4096> kPairs = MakePairTable();

}  // namespace

void Split(const std::string& text, char delimiter, std::vector<std::string>& pieces, bool keepEmpty) {
    pieces.clear();
    // Reads like successive getline calls with `delimiter` as end of line: each piece runs to the
    // next delimiter, which is consumed; reaching the end of the text ends the last piece.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        if (end > start || keepEmpty) pieces.emplace_back(text, start, end - start);
        start = end + 1;
    }
}

std::vector<std::string> Split(const std::string& text, char delimiter, bool keepEmpty) {
    std::vector<std::string> pieces;
    Split(text, delimiter, pieces, keepEmpty);
    return pieces;
}

std::string Base64Encode(const unsigned char* bytes, unsigned length) {
    if (bytes == nullptr) length = 0;
    std::string text((static_cast<std::size_t>(length) + 2) / 3 * 4, '\0');
    char* out = text.data();
    const unsigned char* in = bytes;
    const unsigned char* const fullEnd = in == nullptr ? in : in + static_cast<std::size_t>(length / 3) * 3;
    for (; in != fullEnd; in += 3, out += 4) {
        const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        std::memcpy(out, kPairs[group >> 12].c, 2);
        std::memcpy(out + 2, kPairs[group & 0xFFF].c, 2);
    }
    switch (length % 3) {
        case 1:
            out[0] = kBase64Alphabet[in[0] >> 2];
            out[1] = kBase64Alphabet[(in[0] & 0x03) << 4];
            out[2] = '=';
            out[3] = '=';
            break;
        case 2:
            out[0] = kBase64Alphabet[in[0] >> 2];
            out[1] = kBase64Alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
            out[2] = kBase64Alphabet[(in[1] & 0x0F) << 2];
            out[3] = '=';
            break;
        default:
            break;
    }
    return text;
}

std::string Base64Decode(const std::string& text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::string bytes(size / 4 * 3 + 2, '\0');
    auto* out = reinterpret_cast<unsigned char*>(bytes.data());

    // Whole groups of four alphabet characters; any other character ends the input.
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4, out += 3) {
        const std::uint32_t group = kGroups.position[0][in[i]] | kGroups.position[1][in[i + 1]] |
                                    kGroups.position[2][in[i + 2]] | kGroups.position[3][in[i + 3]];
        if (group & kBadGroup) break;
        out[0] = static_cast<unsigned char>(group);
        out[1] = static_cast<unsigned char>(group >> 8);
        out[2] = static_cast<unsigned char>(group >> 16);
    }

    // The final group: the alphabet characters left before the end or the first other character.
    std::uint32_t v[3] = {0, 0, 0};
    std::size_t k = 0;
    while (k < 3 && i + k < size && kDecode[in[i + k]] != kNotBase64) {
        v[k] = kDecode[in[i + k]];
        ++k;
    }
    if (k >= 2) *out++ = static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4));
    if (k == 3) *out++ = static_cast<unsigned char>(((v[1] & 0x0F) << 4) | (v[2] >> 2));

    bytes.resize(static_cast<std::size_t>(out - reinterpret_cast<unsigned char*>(bytes.data())));
    return bytes;
}

}  // namespace CoreSystem
