// OTP probing, reading, caching and writing through the control device, and the boot record in
// device memory. Every line is logged with code 12345, severity 6.
#include "CoreSystem/Hardware/OtpReader.h"

#include <sys/mman.h>
#include <algorithm>
#include <utility>

#include "CoreSystem/Hardware/BlockChecksum.h"
#include "CoreSystem/Hardware/HardwareManager.h"
#include "CoreSystem/Platform/Device.h"
#include "CoreSystem/Platform/Slog.h"

namespace CoreSystem {

namespace {

constexpr int kLogCode = 12345;
constexpr int kLogSeverity = _SLOG_DEBUG1;
constexpr std::size_t kType1ChecksumOffset = 252;
constexpr std::uint32_t kType2MaxLength = 248;

bool KnownType(int type) {
    return type >= 1 && type <= 3;
}

}  // namespace

std::size_t OtpBlockSize(int type) {
    return KnownType(type) ? kOtpBlockSize : 0;
}

int OtpReadCommand(int type, OtpBank bank) {
    // Data from the device, size field 4, class 5: NOR commands 0x48-0x4A, legacy 0x47, 0x43, 0x45.
    static constexpr int kNor[] = {0x40040548, 0x40040549, 0x4004054A};
    static constexpr int kLegacy[] = {0x40040547, 0x40040543, 0x40040545};
    if (!KnownType(type)) return 0;
    if (bank == kOtpBankNor) return kNor[type - 1];
    if (bank == kOtpBankLegacy) return kLegacy[type - 1];
    return 0;
}

int OtpWriteCommand(int type) {
    static constexpr unsigned kWrite[] = {0x80040546, 0x80040542, 0x80040544};  // data to the device
    return KnownType(type) ? static_cast<int>(kWrite[type - 1]) : 0;
}

bool IsBootRecordValid(const std::uint32_t* words) {
    return words[0] == kBootRecordMagic && words[1] <= kBootRecordChecksumWord &&
           BlockChecksum(words, words[1] * 4) == words[kBootRecordChecksumWord];
}

bool IsOtpBlockValid(DeviceFamily family, int type, const OtpBlock& block) {
    if (!IsM2OrE2(family) || block.size() != kOtpBlockSize) return false;
    switch (type) {
        case 1:
            return BlockChecksum(block.data(), kType1ChecksumOffset) ==
                   LittleEndianWord(&block[kType1ChecksumOffset]);
        case 2: {
            const std::uint32_t length = LittleEndianWord(block.data());
            return length <= kType2MaxLength &&
                   BlockChecksum(block.data(), length) == LittleEndianWord(&block[length]);
        }
        case 3:
            return true;
        default:
            return false;
    }
}

bool IsType1BlockValid(DeviceFamily family, const OtpBlock& block) {
    return IsOtpBlockValid(family, 1, block);
}

OtpReader::OtpReader(DeviceFamily family, DeviceCall deviceCall)
    : family_(family), deviceCall_(std::move(deviceCall)) {}

OtpReader::~OtpReader() {
    if (bootRecord_) Platform::munmap_device_memory(const_cast<std::uint32_t*>(bootRecord_), kBootRecordSize);
}

OtpLocation OtpReader::location() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return location_;
}

void OtpReader::log(const char* text) const {
    Platform::slogf(kLogCode, kLogSeverity, "%s", text);
}

int OtpReader::checkLocation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return probe();
}

int OtpReader::probe() {
    if (!IsM2OrE2(family_) || location_ == kOtpLocationNone) return kOtpLocationNone;
    OtpBlock buffer(kOtpBlockSize, 0);
    log("Call from Check OTP Location");
    const int result = deviceCall_(OtpReadCommand(1, kOtpBankNor), buffer.data(), buffer.size());
    if (result == 0 && IsType1BlockValid(family_, buffer)) {
        cache_[1] = std::move(buffer);
        location_ = kOtpLocationNor;
    } else if (family_ == kFamilyM2) {
        location_ = kOtpLocationLegacy;
    } else if (result != 0) {
        location_ = kOtpLocationUnknown;  // the device failed: nothing learnt, the next read probes again
        return kOtpLocationNone;
    } else {
        location_ = kOtpLocationNone;  // the NOR bank answered with no valid block: no OTP data on this board
    }
    return location_;
}

OtpBlock OtpReader::readBlock(int type, int bank) {
    if (bank < 0) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (bank == kOtpBankAutomatic) {
        const auto cached = cache_.find(type);
        if (cached != cache_.end()) return cached->second;
        if (location_ == kOtpLocationNone) {
            log("OTP Block is empty");
            return {};
        }
        bank = probe();
    }
    return read(type, bank);
}

OtpBlock OtpReader::read(int type, int bank) {
    if (bank == kOtpBankNor) {
        log("OTP read from new NOR BANK");
    } else if (bank == kOtpBankLegacy) {
        log("OTP read from Legacy OTP Bank");
        if (family_ != kFamilyM2) return {};
    } else {
        return {};
    }
    if (!KnownType(type) || !IsM2OrE2(family_)) return {};
    OtpBlock buffer(kOtpBlockSize, 0);
    if (deviceCall_(OtpReadCommand(type, static_cast<OtpBank>(bank)), buffer.data(), buffer.size()) != 0)
        return {};
    // Only a block of the bank the automatic reads use may answer them; another bank's copy (an
    // erased one, say) would otherwise stand for the board's data for the rest of the process.
    if (bank == location_) cache_[type] = buffer;
    return buffer;
}

int OtpReader::writeBlock(int type, const std::vector<std::uint8_t>& data) {
    if (data.empty() || data.size() > OtpBlockSize(type)) return -1;
    OtpBlock buffer(kOtpBlockSize, 0);
    std::copy(data.begin(), data.end(), buffer.begin());
    if (!IsOtpBlockValid(family_, type, buffer)) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    const OtpBlock legacy = read(type, kOtpBankLegacy);
    const OtpBlock nor = read(type, kOtpBankNor);
    if (buffer == legacy && buffer == nor) return 0;
    cache_.erase(type);
    return deviceCall_(OtpWriteCommand(type), buffer.data(), buffer.size());
}

const std::uint32_t* OtpReader::bootRecord() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bootRecord_ || family_ != kFamilyM2) return bootRecord_;
    void* mapped = Platform::mmap_device_memory(nullptr, kBootRecordSize, PROT_READ | PROT_NOCACHE, 0,
                                                kBootRecordAddress);
    if (mapped == MAP_FAILED) return nullptr;
    const auto* words = static_cast<const std::uint32_t*>(mapped);
    if (IsBootRecordValid(words)) {
        bootRecord_ = words;
    } else {
        Platform::munmap_device_memory(mapped, kBootRecordSize);
    }
    return bootRecord_;
}

OtpReader& ProcessOtpReader() {
    static auto* reader = new OtpReader(GetDeviceFamily(), [](int dcmd, void* data, std::size_t bytes) {
        return IplDevctl(IplControlDescriptor(), dcmd, data, bytes, nullptr);
    });
    return *reader;
}

bool IsOtpBlockValid(int type, const OtpBlock& block) {
    return IsOtpBlockValid(GetDeviceFamily(), type, block);
}
bool IsType1BlockValid(const OtpBlock& block) {
    return IsType1BlockValid(GetDeviceFamily(), block);
}
int CheckOtpLocation() {
    return ProcessOtpReader().checkLocation();
}
OtpBlock ReadOtpBlock(int type, int bank) {
    return ProcessOtpReader().readBlock(type, bank);
}
OtpBlock ReadOtpBlock(int type) {
    return ProcessOtpReader().readBlock(type);
}
int WriteOtpBlock(int type, const std::vector<std::uint8_t>& data) {
    return ProcessOtpReader().writeBlock(type, data);
}
const std::uint32_t* GetBootRecord() {
    return ProcessOtpReader().bootRecord();
}

}  // namespace CoreSystem
