// Device calls on the simulated board: what the framework relies on from devctl, devctlv, device
// registers and device memory, as the target behaves, and what the board's event log records.
#include "CoreSystem/Platform/Device.h"

#include "PlatformTestSupport.h"

#include <regex>

#include "CoreSystem/Platform/Linux/Board.h"

namespace {

using namespace PlatformTest;
namespace Board = CoreSystem::Platform::Board;
using Lines = std::vector<std::string>;

constexpr int kReadNor1 = 0x40040548, kReadNor2 = 0x40040549, kReadLegacy1 = 0x40040547, kWrite1 = 0x80040546;

Board::Block Pattern(int seed) {
    Board::Block block(Board::kOtpBlockSize);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return block;
}

/// A board in a host of its own, with its two device nodes open.
struct BoardHost {
    explicit BoardHost(const std::string& writeTarget = "nor") {
        CreateBoard(host, writeTarget);
        control = Platform::OpenDevice("/dev/iplctl", O_RDWR);
        i2c = Platform::OpenDevice("/dev/i2c6", O_RDWR);
    }
    ~BoardHost() {
        close(control);
        close(i2c);
    }
    IsolatedHost host;
    int control = -1, i2c = -1;
};

TEST(DeviceTest, ControlCommandsI2cHeadersAndRegisterStoresAreCheckedAndLoggedInOrder) {
    BoardHost board;
    ASSERT_GE(board.control, 0);
    ASSERT_GE(board.i2c, 0);
    ASSERT_TRUE(Board::StoreOtp(board.host.root(), Board::Bank::Nor, 2, Pattern(1)));
    ASSERT_TRUE(Board::StoreOtp(board.host.root(), Board::Bank::Legacy, 1, Pattern(2)));

    // The size field of the command says 4; nbytes says how much moves, never more than the block.
    std::vector<std::uint8_t> buffer;
    for (const auto& [command, size, seed] : {std::tuple{kReadNor2, 256, 1}, {kReadLegacy1, 100, 2}}) {
        buffer.assign(300, 0xAA);
        int info = -1;
        EXPECT_EQ(Platform::devctl(board.control, command, buffer.data(), size, &info), EOK);
        EXPECT_EQ(info, 0);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + size, Pattern(seed).begin()));
        EXPECT_EQ(buffer[static_cast<std::size_t>(size)], 0xAA);
    }

    // Failures return the error number (never -1) and copy nothing. An injected failure hits the
    // named command only, once.
    buffer.assign(300, 0xAA);
    EXPECT_EQ(Platform::devctl(board.control, 0x40040500, buffer.data(), 256, nullptr), ENOTTY);
    EXPECT_EQ(Platform::devctl(board.i2c, kReadNor1, buffer.data(), 256, nullptr), ENOTTY);
    EXPECT_EQ(Platform::devctl(-1, kReadNor1, buffer.data(), 256, nullptr), EBADF);
    const int plain = open(board.host.root().c_str(), O_RDONLY);
    EXPECT_EQ(Platform::devctl(plain, kReadNor1, buffer.data(), 256, nullptr), ENOTTY);
    close(plain);
    ASSERT_TRUE(Board::AddFault(board.host.root(), {"devctl-0x40040548", EIO, 1}));
    EXPECT_EQ(Platform::devctl(board.control, kReadNor2, nullptr, 0, nullptr), EOK);
    EXPECT_EQ(Platform::devctl(board.control, kReadNor1, buffer.data(), 256, nullptr), EIO);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(300, 0xAA));
    EXPECT_EQ(Platform::devctl(board.control, kReadNor1, buffer.data(), 256, nullptr), EOK);

    // I2C sends with a bad header are refused; the flat form carries the same header and bytes.
    auto send = [&](std::uint32_t fmt, std::uint32_t len) {  // header, register and value apart
        i2c_send_t header{{0x5A, fmt}, len, 1};
        std::uint8_t reg = 0x13, data = 0x01;
        iov_t parts[3];
        SETIOV(&parts[0], &header, sizeof header);
        SETIOV(&parts[1], &reg, 1);
        SETIOV(&parts[2], &data, 1);
        return Platform::devctlv(board.i2c, DCMD_I2C_SEND, 3, 0, parts, nullptr, nullptr);
    };
    EXPECT_EQ(send(7, 2), EINVAL);                 // no such address format
    EXPECT_EQ(send(I2C_ADDRFMT_7BIT, 3), EINVAL);  // announces more than it carries
    EXPECT_EQ(Platform::devctlv(board.control, DCMD_I2C_SEND, 0, 0, nullptr, nullptr, nullptr), ENOTTY);
    std::uint8_t flat[sizeof(i2c_send_t) + 1] = {};
    const i2c_send_t header{{0x5A, I2C_ADDRFMT_7BIT}, 1, 0};
    std::memcpy(flat, &header, sizeof header);
    flat[sizeof header] = 0x42;
    EXPECT_EQ(Platform::devctl(board.i2c, DCMD_I2C_SEND, flat, sizeof flat, nullptr), EOK);

    const std::uintptr_t watchdog = Platform::mmap_device_io(2, 0x53FDC000);
    ASSERT_NE(watchdog, MAP_DEVICE_FAILED);
    Platform::out16(watchdog, 0);
    Platform::out8(watchdog + 1, 0x5A);
    EXPECT_EQ(Platform::in16(watchdog), 0x5A00);
    EXPECT_EQ(Platform::munmap_device_io(watchdog, 2), 0);
    EXPECT_EQ(Platform::munmap_device_io(watchdog, 2), -1);

    // Calls that reach a device are logged in order, reads included; the others reached none.
    EXPECT_EQ(BoardLog(board.host),
              (Lines{"devctl /dev/iplctl 0x40040549 result=0", "devctl /dev/iplctl 0x40040547 result=0",
                     "devctl /dev/iplctl 0x40040500 result=ENOTTY", "devctl /dev/i2c6 0x40040548 result=ENOTTY",
                     "devctl /dev/iplctl 0x40040549 result=0", "devctl /dev/iplctl 0x40040548 result=EIO",
                     "devctl /dev/iplctl 0x40040548 result=0",
                     "i2c /dev/i2c6 addr=0x5a fmt=7 stop=1 data=13 01 result=EINVAL",
                     "devctl /dev/i2c6 0x80100505 result=EINVAL", "devctl /dev/iplctl 0x80100505 result=ENOTTY",
                     "i2c /dev/i2c6 addr=0x5a fmt=2 stop=0 data=42 result=0", "out16 0x53fdc000 0x0000",
                     "out8 0x53fdc001 0x5a"}));

    // Two processes storing at once: every line whole, each process's stores in its order.
    ASSERT_TRUE(Board::ClearLog(board.host.root()));
    constexpr int kStores = 300;
    auto storer = [](std::uint64_t address) {
        return [address] {
            const std::uintptr_t port = Platform::mmap_device_io(4, address);
            for (std::uint32_t i = 0; i < kStores; ++i) Platform::out32(port, i);
            return 0;
        };
    };
    Child first = Spawn(storer(0xE6050004)), second = Spawn(storer(0xE6050008));
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);
    const std::uintptr_t io = Platform::mmap_device_io(8, 0xE6050004);  // their last stores, seen here
    EXPECT_EQ(Platform::in32(io) + Platform::in32(io + 4), 2u * (kStores - 1));
    const Lines lines = BoardLog(board.host);
    ASSERT_EQ(lines.size(), 2u * kStores);
    const std::regex form("out32 0xe605000([48]) 0x([0-9a-f]{8})");
    unsigned next[2] = {0, 0};
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, form)) << line;
        EXPECT_EQ(std::stoul(match[2], nullptr, 16), next[match[1] == "8"]++) << line;
    }
}

TEST(DeviceTest, WriteCommandProgramsTheWriteTargetAndOnlyClearsBits) {
    for (const std::string target : {"nor", "legacy", "both"}) {
        SCOPED_TRACE(target);
        BoardHost board(target);
        Board::Block block = Pattern(3);
        EXPECT_EQ(Platform::devctl(board.control, kWrite1, block.data(), 4, nullptr), EINVAL);
        EXPECT_EQ(Platform::devctl(board.control, kWrite1, block.data(), 256, nullptr), EOK);
        const Board::Block erased(Board::kOtpBlockSize, 0xFF);
        EXPECT_EQ(*Board::ReadOtp(board.host.root(), Board::Bank::Nor, 1), target == "legacy" ? erased : block);
        EXPECT_EQ(*Board::ReadOtp(board.host.root(), Board::Bank::Legacy, 1), target == "nor" ? erased : block);
        EXPECT_EQ(*Board::ReadOtp(board.host.root(), Board::Bank::Nor, 2), erased);
        // A programmed bit cannot be set again: the block does not verify.
        block[0] ^= 0xFF;
        EXPECT_EQ(Platform::devctl(board.control, kWrite1, block.data(), 256, nullptr), EIO);
    }
}

TEST(DeviceTest, DeviceMemoryWriteImpliesReadAndFailsWithoutBoard) {
    IsolatedHost host;
    errno = 0;
    EXPECT_EQ(Platform::mmap_device_memory(nullptr, 80, PROT_READ | PROT_NOCACHE, 0, 0xE63C0000), MAP_FAILED);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(Platform::mmap_device_io(4, 0xE6053004), MAP_DEVICE_FAILED);

    CreateBoard(host);
    EXPECT_EQ(Platform::mmap_device_memory(nullptr, 0, PROT_READ, 0, 0xE63C0000), MAP_FAILED);
    EXPECT_EQ(Platform::mmap_device_memory(nullptr, 80, PROT_READ | 0x10000, 0, 0xE63C0000), MAP_FAILED);
    auto* words = static_cast<std::uint32_t*>(
        Platform::mmap_device_memory(nullptr, 80, PROT_WRITE | PROT_NOCACHE, 0, 0xE63C0000));
    ASSERT_NE(words, MAP_FAILED);
    words[0] = 0x1234AA55;
    words[19] = words[0] + 1;  // written through a write-only request, read back through it
    auto* record = static_cast<const std::uint32_t*>(
        Platform::mmap_device_memory(nullptr, 80, PROT_READ | PROT_NOCACHE, 0, 0xE63C0000));
    ASSERT_NE(record, MAP_FAILED);
    EXPECT_EQ(record[19], 0x1234AA56u);
    // As on the target: a store through a read-only mapping or outside every mapping is a fault.
    // (The children take the default action, not a sanitizer's report.)
    EXPECT_EQ(RunInChild([&] {
        signal(SIGSEGV, SIG_DFL);
        const_cast<std::uint32_t*>(record)[1] = 0;
        return 0;
    }), 128 + SIGSEGV);
    EXPECT_EQ(RunInChild([] {
        signal(SIGSEGV, SIG_DFL);
        Platform::out32(0x1000, 0);
        return 0;
    }), 128 + SIGSEGV);
    EXPECT_EQ(Platform::munmap_device_memory(words, 80), 0);
    EXPECT_EQ(Platform::munmap_device_memory(const_cast<std::uint32_t*>(record), 80), 0);
    EXPECT_EQ(Platform::munmap_device_memory(words, 80), -1);
}

}  // namespace
