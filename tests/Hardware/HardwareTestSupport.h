// What the hardware tests share: a board with an OTP reader of a chosen family that reaches it,
// the reader's log lines, and blocks built with valid checksums.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <array>
#include <map>
#include <mutex>

#include "CoreSystem/Hardware/BlockChecksum.h"
#include "CoreSystem/Hardware/HardwareManager.h"
#include "CoreSystem/Hardware/OtpReader.h"
#include "CoreSystem/Platform/Device.h"
#include "CoreSystem/Platform/Linux/Board.h"
#include "CoreSystem/Platform/Slog.h"
#include "TestSupport.h"

namespace HardwareTest {

using CoreSystem::OtpBlock;
using Lines = std::vector<std::string>;
namespace Board = CoreSystem::Platform::Board;

inline void PutWord(OtpBlock& block, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

/// A valid type-1 block: the given words, 0 elsewhere, the checksum in word 63.
inline OtpBlock Type1(const std::map<int, std::uint32_t>& words) {
    OtpBlock block(256, 0);
    for (const auto& [index, value] : words) PutWord(block, 4 * static_cast<std::size_t>(index), value);
    PutWord(block, 252, CoreSystem::BlockChecksum(block.data(), 252));
    return block;
}

/// A valid type-2 block of length `length`; entry k carries (unit, kind byte, mode byte).
inline OtpBlock Type2(std::uint32_t length, const std::vector<std::array<std::uint8_t, 3>>& entries) {
    OtpBlock block(256, 0);
    PutWord(block, 0, length);
    for (std::size_t k = 0; k < entries.size(); ++k) {
        block[4 + 8 * k + 1] = static_cast<std::uint8_t>(entries[k][0] << 4);
        block[4 + 8 * k + 2] = entries[k][1];
        block[4 + 8 * k + 3] = entries[k][2];
    }
    PutWord(block, length, CoreSystem::BlockChecksum(block.data(), length));
    return block;
}

/// The board's log line of one control command.
inline std::string Command(unsigned dcmd, const std::string& result = "0") {
    char text[64];
    std::snprintf(text, sizeof text, "devctl /dev/iplctl 0x%08x result=%s", dcmd, result.c_str());
    return text;
}

/// A board in a host of its own, an OTP reader of `family` on it, and what they log.
class OtpBoard {
public:
    explicit OtpBoard(CoreSystem::DeviceFamily family)
        : reader(family, [this](int dcmd, void* data, std::size_t bytes) {
              return CoreSystem::IplDevctl(control_, dcmd, data, bytes, nullptr);
          }) {
        CoreSystemTest::CreateBoard(host);
        control_ = CoreSystem::Platform::OpenDevice("/dev/iplctl", O_RDWR);
        CoreSystem::Platform::SetSlogObserver([this](const CoreSystem::Platform::SlogRecord& record) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (record.opcode == 12345 && record.severity == 6) logged_.push_back(record.text);
        });
    }
    ~OtpBoard() {
        CoreSystem::Platform::SetSlogObserver({});
        close(control_);
    }

    void store(Board::Bank bank, int type, const OtpBlock& block) {
        ASSERT_TRUE(Board::StoreOtp(host.root(), bank, type, block));
    }
    /// Presets every register the shutdown sequences touch, so that read-modify-writes show: bits
    /// 0, 8 and 15 set (E2's with bits 0 and 21, iMX35's all ones, the watchdog's bits of their own).
    void presetRegisters() {
        const std::pair<std::uint64_t, std::uint32_t> presets[] = {
            {0xE6053004, 0x8101}, {0xE6050004, 0x8101}, {0xE6050008, 0x8101}, {0xE6053008, 0x8101},
            {0xE6051008, 0x8103}, {0xE6055008, 0x200001}, {0x53FDC000, 0xFFFF}, {0xE6150120, 0x0007},
            {0xE6150140, 0x0106}};
        for (const auto& [address, value] : presets) ASSERT_TRUE(Board::WriteMemory(host.root(), address, &value, 4));
    }
    /// The boot record's words (padded to 20) into device memory; word 19 the checksum when `sign`.
    void storeRecord(std::vector<std::uint32_t> words, bool sign = true) {
        words.resize(CoreSystem::kBootRecordWords, 0);
        if (sign) words[19] = CoreSystem::BlockChecksum(words.data(), words[1] * 4);
        ASSERT_TRUE(Board::WriteMemory(host.root(), CoreSystem::kBootRecordAddress, words.data(), 80));
    }
    /// The reader's log lines since the last call.
    Lines logged() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(logged_, {});
    }
    /// The board's device events since the last call.
    Lines events() {
        Lines lines = CoreSystemTest::BoardLog(host);
        Board::ClearLog(host.root());
        return lines;
    }

    CoreSystemTest::IsolatedHost host;
    CoreSystem::OtpReader reader;

private:
    int control_ = -1;
    std::mutex mutex_;
    Lines logged_;
};

}  // namespace HardwareTest
