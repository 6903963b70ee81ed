// The checksum that protects the OTP blocks and the boot record: a most-significant-bit-first
// CRC-32 (polynomial 0x04C11DB7) with a start value derived from a fixed seed, no final XOR.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace CoreSystem {

namespace CRC32 {

/// The polynomial, most significant bit first.
inline constexpr std::uint32_t kPolynomial = 0x04C11DB7u;
/// The seed from which every checksum of this system derives its start value.
inline constexpr std::uint32_t kSeed = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t entry = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            entry = (entry & 0x80000000u) ? (entry << 1) ^ kPolynomial : entry << 1;
        table[i] = entry;
    }
    return table;
}

/// Entry i: i shifted to the top byte, then divided by the polynomial bit by bit. Built at compile time.
inline constexpr std::array<std::uint32_t, 256> crc32Table = MakeTable();

/// The register after taking in one byte.
constexpr std::uint32_t Update(std::uint32_t crc, std::uint8_t byte) {
    return crc32Table[(byte ^ (crc >> 24)) & 0xFFu] ^ (crc << 8);
}

/// The start value of `seed`: the register after taking in its four bytes, most significant first, from 0.
constexpr std::uint32_t StartValue(std::uint32_t seed) {
    std::uint32_t crc = 0;
    for (int shift = 24; shift >= 0; shift -= 8) crc = Update(crc, static_cast<std::uint8_t>(seed >> shift));
    return crc;
}

static_assert(crc32Table[1] == kPolynomial, "table entry 1 is the polynomial");
static_assert(StartValue(kSeed) == 0x6826EB82u, "start value of the seed");
static_assert(StartValue(0) == 0, "a seed of 0 starts at 0");

}  // namespace CRC32

/// Checksum of `size` bytes at `data` (null only with `size` 0). Stored as a little-endian word.
std::uint32_t BlockChecksum(const void* data, std::size_t size);

}  // namespace CoreSystem
