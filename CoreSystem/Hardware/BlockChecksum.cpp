// The block checksum over a byte range, one table look-up per byte.
#include "CoreSystem/Hardware/BlockChecksum.h"

namespace CoreSystem {

std::uint32_t BlockChecksum(const void* data, std::size_t size) {
    std::uint32_t crc = CRC32::StartValue(CRC32::kSeed);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) crc = CRC32::Update(crc, bytes[i]);
    return crc;
}

}  // namespace CoreSystem
