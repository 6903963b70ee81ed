// The board data in one-time-programmable storage (three 256-byte blocks behind "/dev/iplctl", in
// a NOR bank or, on older M2 boards, a legacy bank) and the boot record M2 boards share with their
// boot loader: validation, probing, reading with a cache, writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "CoreSystem/Hardware/DeviceFamily.h"

namespace CoreSystem {

using OtpBlock = std::vector<std::uint8_t>;

inline constexpr std::size_t kOtpBlockSize = 256;
/// The little-endian 32-bit word at `bytes`.
inline std::uint32_t LittleEndianWord(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

/// Bytes of a block of `type`: kOtpBlockSize for types 1 to 3, 0 for any other type.
std::size_t OtpBlockSize(int type);

/// Banks a read may name.
enum OtpBank : int { kOtpBankAutomatic = 0, kOtpBankNor = 1, kOtpBankLegacy = 2 };
/// Where the valid OTP data is: not yet known, the NOR bank, the legacy bank, or none (final).
enum OtpLocation : std::int32_t {
    kOtpLocationUnknown = 0,
    kOtpLocationNor = 1,
    kOtpLocationLegacy = 2,
    kOtpLocationNone = -1
};

/// Device commands of the control device for a block type (1 to 3); 0 for any other type.
int OtpReadCommand(int type, OtpBank bank);
int OtpWriteCommand(int type);

// The boot record: 20 little-endian words of device memory; word 0 the magic, word 1 the number of
// words the checksum in word 19 covers (at most 19), counted from word 0.
inline constexpr std::uint64_t kBootRecordAddress = 0xE63C0000;
inline constexpr std::size_t kBootRecordWords = 20;
inline constexpr std::size_t kBootRecordSize = kBootRecordWords * 4;
inline constexpr std::uint32_t kBootRecordMagic = 0x1234AA55;
inline constexpr std::size_t kBootRecordChecksumWord = 19;

/// True when `words` (kBootRecordWords of them) hold the magic, a covered count of at most 19 and
/// the checksum of the covered words.
bool IsBootRecordValid(const std::uint32_t* words);

/// Validity of a block of `type` on a board of `family`: the family must be M2 or E2 and the block
/// exactly 256 bytes; type 1 carries the checksum of bytes 0-251 in word 63; type 2 that of its
/// first L bytes (L = word 0, at most 248) at byte offset L; type 3 has no checksum.
bool IsOtpBlockValid(DeviceFamily family, int type, const OtpBlock& block);
/// IsOtpBlockValid for type 1.
bool IsType1BlockValid(DeviceFamily family, const OtpBlock& block);

/// The OTP state of one board (family, device path, location, cache, held boot record), with its
/// own lock, so that any thread may use it. Lock order: this lock, then the family, descriptor and
/// control-call locks (HardwareManager.h), never the other way round.
/// The process's reader is ProcessOtpReader(); tests make their own with a family and a device call.
class OtpReader {
public:
    /// Sends one device command with `bytes` bytes at `data`: 0, or the device's error number.
    using DeviceCall = std::function<int(int dcmd, void* data, std::size_t bytes)>;

    OtpReader(DeviceFamily family, DeviceCall deviceCall);
    /// Releases the held boot record.
    ~OtpReader();
    OtpReader(const OtpReader&) = delete;
    OtpReader& operator=(const OtpReader&) = delete;

    DeviceFamily family() const { return family_; }
    OtpLocation location() const;

    /// Probes the NOR bank's type-1 block and sets the location: 1 (NOR holds a valid block),
    /// 2 (legacy, M2) or -1 (none, E2; final once a read succeeded with a bad block). -1 without a
    /// probe on other families. A device error on E2 is not remembered: the next call probes again.
    int checkLocation();
    /// Block `type` of `bank` (kOtpBankAutomatic: from the cache, else from where the probe finds
    /// the data). 256 bytes, or empty when nothing could be read. The bytes are not validated.
    /// A read is cached when its bank is the current location.
    OtpBlock readBlock(int type, int bank = kOtpBankAutomatic);
    /// Writes `data` (at most 256 bytes, padded with zeros) as block `type`. -1 when refused before
    /// any write (empty, too long, not a valid block); 0 when both banks already hold it or the
    /// write succeeded; otherwise the device's error number. Drops the type from the cache before
    /// writing; leaves the location alone.
    int writeBlock(int type, const std::vector<std::uint8_t>& data);
    /// The validated boot record (M2 only), held mapped for the reader's life; null when there is
    /// none (checked again on the next call).
    const std::uint32_t* bootRecord();

private:
    int probe();                        // lock held
    OtpBlock read(int type, int bank);  // lock held
    void log(const char* text) const;

    const DeviceFamily family_;
    const DeviceCall deviceCall_;
    mutable std::mutex mutex_;  ///< guards everything below
    OtpLocation location_ = kOtpLocationUnknown;
    std::map<int, OtpBlock> cache_;
    const std::uint32_t* bootRecord_ = nullptr;
};

/// The process's reader: this board's family, commands through IplDevctl on IplControlDescriptor().
/// Created on first use, never destroyed.
OtpReader& ProcessOtpReader();

/// The operations on the process's reader.
bool IsOtpBlockValid(int type, const OtpBlock& block);
bool IsType1BlockValid(const OtpBlock& block);
int CheckOtpLocation();
OtpBlock ReadOtpBlock(int type, int bank);
OtpBlock ReadOtpBlock(int type);
int WriteOtpBlock(int type, const std::vector<std::uint8_t>& data);
const std::uint32_t* GetBootRecord();

}  // namespace CoreSystem
