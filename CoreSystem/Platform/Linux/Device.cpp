// Device access on a development host: the device calls reach the simulated board under the host
// root (Board.h). The control device serves the OTP banks, the I2C bus takes master sends, and
// device registers and physical memory are pages of the board's memory file, shared by processes.
// Every device control call, I2C transfer and register store is written to the board's event log.
#include "CoreSystem/Platform/Device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Linux/Board.h"

namespace CoreSystem::Platform {

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Device control ---------------------------------------------------------------------------

enum class Node { Control, I2c };

struct Device {
    Node node;
    std::string root;
    const char* name;  // the target's path, as the log shows it
};

/// Which board device node `fd` is open on: 0, EBADF, or ENOTTY for anything that is not one.
int Identify(int fd, Device& device) {
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) return EBADF;
    device.root = Board::Root();
    if (device.root.empty()) return ENOTTY;
    const std::pair<Node, const char*> nodes[] = {{Node::Control, Board::kControlDevice},
                                                  {Node::I2c, Board::kI2cDevice}};
    for (const auto& [node, name] : nodes) {
        struct stat named {};
        if (::stat(DevicePath(name, device.root).c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            device.node = node;
            device.name = name;
            return 0;
        }
    }
    return ENOTTY;
}

struct OtpCommand {
    unsigned dcmd;
    bool write;
    Board::Bank bank;  // of a read
    int type;
};

// The control device's commands: data size field 4, class 5, commands 0x42-0x4A; 256 bytes move.
constexpr OtpCommand kOtpCommands[] = {
    {0x40040548, false, Board::Bank::Nor, 1},    {0x40040549, false, Board::Bank::Nor, 2},
    {0x4004054A, false, Board::Bank::Nor, 3},    {0x40040547, false, Board::Bank::Legacy, 1},
    {0x40040543, false, Board::Bank::Legacy, 2}, {0x40040545, false, Board::Bank::Legacy, 3},
    {0x80040546, true, Board::Bank::Nor, 1},     {0x80040542, true, Board::Bank::Nor, 2},
    {0x80040544, true, Board::Bank::Nor, 3},
};

std::string Hex(unsigned value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string DcmdFault(unsigned dcmd) {
    return "devctl-" + Hex(dcmd, 8);
}

void Log(const Device& device, const std::string& line, int result) {
    Board::AppendLog(device.root, line + " result=" + Board::ErrorName(result));
}

int ServeControl(const Device& device, unsigned dcmd, const Bytes& in, Bytes& reply) {
    const auto* command = std::find_if(std::begin(kOtpCommands), std::end(kOtpCommands),
                                       [&](const OtpCommand& known) { return known.dcmd == dcmd; });
    if (command == std::end(kOtpCommands)) return ENOTTY;
    if (const int injected = Board::TakeFault(device.root, {DcmdFault(dcmd), "devctl"})) return injected;
    if (command->write) {
        return in.size() == Board::kOtpBlockSize ? Board::ProgramOtp(device.root, command->type, in) : EINVAL;
    }
    auto block = Board::ReadOtp(device.root, command->bank, command->type);
    if (!block) return EIO;
    reply = std::move(*block);
    return EOK;
}

/// True when `in` holds an i2c_send_t header and all the data bytes it announces.
bool WholeSend(const Bytes& in) {
    i2c_send_t header{};
    if (in.size() < sizeof header) return false;
    std::memcpy(&header, in.data(), sizeof header);
    return header.len <= in.size() - sizeof header;
}

/// One master send (WholeSend): the i2c_send_t header followed by its data bytes.
int ServeI2cSend(const Device& device, const Bytes& in) {
    i2c_send_t header{};
    std::memcpy(&header, in.data(), sizeof header);
    std::string line = "i2c " + std::string(device.name) + " addr=" + Hex(header.slave.addr, 2) +
                       " fmt=" + std::to_string(header.slave.fmt) + " stop=" + std::to_string(header.stop) +
                       " data=";
    for (std::uint32_t i = 0; i < header.len; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", in[sizeof header + i]);
        line += byte;
    }
    const std::uint32_t limit = header.slave.fmt == I2C_ADDRFMT_7BIT ? 0x7F : 0x3FF;
    int result = EOK;
    if ((header.slave.fmt != I2C_ADDRFMT_7BIT && header.slave.fmt != I2C_ADDRFMT_10BIT) ||
        header.slave.addr > limit || header.stop > 1) {
        result = EINVAL;
    } else {
        result = Board::TakeFault(device.root, {DcmdFault(DCMD_I2C_SEND), "devctl", "i2c"});
    }
    Log(device, line, result);
    return result;
}

/// Carries out `dcmd` with the bytes sent to the device; `reply` gets what it sends back.
int Serve(int fd, unsigned dcmd, const Bytes& in, Bytes& reply) {
    Device device{};
    if (const int error = Identify(fd, device)) return error;
    const bool send = dcmd == static_cast<unsigned>(DCMD_I2C_SEND);
    if (device.node == Node::I2c && send && WholeSend(in)) return ServeI2cSend(device, in);
    int result = ENOTTY;
    if (device.node == Node::Control) {
        result = ServeControl(device, dcmd, in, reply);
    } else if (send) {
        result = EINVAL;  // shorter than its header and data
    }
    Log(device, "devctl " + std::string(device.name) + " " + Hex(dcmd, 8), result);
    return result;
}

// ---- Registers and physical memory ------------------------------------------------------------

/// One mapping of the board's memory file.
struct Mapping {
    void* base;              // what the host mmap returned
    std::size_t baseLength;  // whole pages
    std::uintptr_t start;    // what the caller got
    std::uint64_t physical;  // physical address of `start`
    std::string root;
    bool io;  // mmap_device_io, else mmap_device_memory
};

/// Every live mapping by the address handed out. Never destroyed: calls made while statics are
/// torn down still find it. Guarded by its mutex; a fork cannot leave the child's copy locked.
struct MappingTable {
    MappingTable() {
        ::pthread_atfork([] { Table().mutex.lock(); }, [] { Table().mutex.unlock(); },
                         [] { Table().mutex.unlock(); });
    }
    static MappingTable& Table() {
        static auto* table = new MappingTable;
        return *table;
    }
    std::mutex mutex;
    std::map<std::uintptr_t, Mapping> mappings;
};

std::uintptr_t PageSize() {
    static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

/// Maps `length` bytes at `physical` of the board's memory; the address of `physical`, or null.
void* Map(void* hint, std::size_t length, int hostProt, int hostFlags, std::uint64_t physical, bool io) {
    if (InjectedFault(Call::MapDevice)) return nullptr;
    const std::string root = Board::Root();
    if (length == 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (root.empty() || !Board::Exists(root) || physical > Board::kMemorySize ||
        length > Board::kMemorySize - physical) {
        errno = ENXIO;  // no device memory there
        return nullptr;
    }
    if (const int injected = Board::TakeFault(root, {"mmap"})) {
        errno = injected;
        return nullptr;
    }
    const std::uint64_t offset = physical % PageSize();
    const std::size_t wholeLength =
        static_cast<std::size_t>((offset + length + PageSize() - 1) / PageSize() * PageSize());
    if ((hostFlags & MAP_FIXED) != 0) {
        if (reinterpret_cast<std::uintptr_t>(hint) % PageSize() != offset) {
            errno = EINVAL;
            return nullptr;
        }
        hint = static_cast<char*>(hint) - offset;
    } else {
        hint = nullptr;
    }
    const int fd = ::open(Board::FilePath(root, "memory").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        errno = ENXIO;
        return nullptr;
    }
    void* base = ::mmap(hint, wholeLength, hostProt, MAP_SHARED | (hostFlags & MAP_FIXED), fd,
                        static_cast<off_t>(physical - offset));
    const int error = errno;
    ::close(fd);
    if (base == MAP_FAILED) {
        errno = error;
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(base) + static_cast<std::uintptr_t>(offset);
    MappingTable& table = MappingTable::Table();
    std::lock_guard<std::mutex> hold(table.mutex);
    table.mappings[start] = Mapping{base, wholeLength, start, physical, root, io};
    return reinterpret_cast<void*>(start);
}

int Unmap(std::uintptr_t start, bool io) {
    Mapping mapping{};
    {
        MappingTable& table = MappingTable::Table();
        std::lock_guard<std::mutex> hold(table.mutex);
        const auto found = table.mappings.find(start);
        if (found == table.mappings.end() || found->second.io != io) {
            errno = EINVAL;
            return -1;
        }
        mapping = found->second;
        table.mappings.erase(found);
    }
    return ::munmap(mapping.base, mapping.baseLength);
}

/// Where an access of `width` bytes at `port` lands; a program fault (as on the target) outside
/// every mapping.
struct Place {
    std::uint64_t physical;
    std::string root;
};

Place Locate(std::uintptr_t port, std::size_t width, const char* call) {
    {
        MappingTable& table = MappingTable::Table();
        std::lock_guard<std::mutex> hold(table.mutex);
        auto after = table.mappings.upper_bound(port);
        if (after != table.mappings.begin()) {
            const Mapping& mapping = std::prev(after)->second;
            const auto end = reinterpret_cast<std::uintptr_t>(mapping.base) + mapping.baseLength;
            if (port + width <= end) return {mapping.physical + (port - mapping.start), mapping.root};
        }
    }
    std::fprintf(stderr, "CoreSystem: %s at %#lx outside every device mapping\n", call,
                 static_cast<unsigned long>(port));
    std::raise(SIGSEGV);
    std::abort();
}

template <typename T>
T Load(std::uintptr_t port, const char* call) {
    Locate(port, sizeof(T), call);
    T value;
    if (port % sizeof(T) == 0) {
        value = __atomic_load_n(reinterpret_cast<T*>(port), __ATOMIC_SEQ_CST);
    } else {
        std::memcpy(&value, reinterpret_cast<const void*>(port), sizeof value);
    }
    return value;
}

/// Stores the value and logs it while holding the log's lock, so that the log's order is the
/// order in which the stores happened, also across processes.
template <typename T>
void Store(std::uintptr_t port, T value, const char* call) {
    const Place place = Locate(port, sizeof(T), call);
    const int log = Board::LockLog(place.root);
    if (port % sizeof(T) == 0) {
        __atomic_store_n(reinterpret_cast<T*>(port), value, __ATOMIC_SEQ_CST);
    } else {
        std::memcpy(reinterpret_cast<void*>(port), &value, sizeof value);
    }
    if (log < 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%s 0x%08llx 0x%0*x\n", call,
                                     static_cast<unsigned long long>(place.physical),
                                     static_cast<int>(sizeof(T) * 2), static_cast<unsigned>(value));
    while (::write(log, line, static_cast<std::size_t>(length)) < 0 && errno == EINTR) {
    }
    ::close(log);
}

}  // namespace

int OpenDevice(const char* path, int oflag) {
    return open(DevicePath(path ? path : "").c_str(), oflag);
}

int devctl(int fd, int dcmd, void* data, std::size_t nbytes, int* info) {
    if (InjectedFault(Call::Devctl)) return errno;
    const auto command = static_cast<unsigned>(dcmd);
    if (nbytes > 0 && data == nullptr) return EFAULT;
    Bytes in;
    if (command & _POSIX_DEVDIR_TO)
        in.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + nbytes);
    Bytes reply;
    const int result = Serve(fd, command, in, reply);
    if (result != EOK) return result;
    const std::size_t copied = (command & _POSIX_DEVDIR_FROM) ? std::min(nbytes, reply.size()) : 0;
    if (copied > 0) std::memcpy(data, reply.data(), copied);
    if (info) *info = 0;
    return EOK;
}

int devctlv(int fd, int dcmd, int sparts, int rparts, const iov_t* siov, const iov_t* riov, int* info) {
    if (InjectedFault(Call::Devctl)) return errno;
    if (sparts < 0 || rparts < 0) return EINVAL;
    if ((sparts > 0 && siov == nullptr) || (rparts > 0 && riov == nullptr)) return EFAULT;
    const auto command = static_cast<unsigned>(dcmd);
    Bytes in;
    if (command & _POSIX_DEVDIR_TO) {
        for (int i = 0; i < sparts; ++i) {
            if (siov[i].iov_len > 0 && siov[i].iov_base == nullptr) return EFAULT;
            const auto* part = static_cast<const std::uint8_t*>(siov[i].iov_base);
            in.insert(in.end(), part, part + siov[i].iov_len);
        }
    }
    Bytes reply;
    const int result = Serve(fd, command, in, reply);
    if (result != EOK) return result;
    if (command & _POSIX_DEVDIR_FROM) {
        std::size_t copied = 0;
        for (int i = 0; i < rparts && copied < reply.size(); ++i) {
            const std::size_t n = std::min(riov[i].iov_len, reply.size() - copied);
            if (n > 0 && riov[i].iov_base == nullptr) return EFAULT;
            if (n > 0) std::memcpy(riov[i].iov_base, reply.data() + copied, n);
            copied += n;
        }
    }
    if (info) *info = 0;
    return EOK;
}

std::uintptr_t mmap_device_io(std::size_t len, std::uint64_t io) {
    void* start = Map(nullptr, len, PROT_READ | PROT_WRITE, 0, io, true);
    return start ? reinterpret_cast<std::uintptr_t>(start) : MAP_DEVICE_FAILED;
}

int munmap_device_io(std::uintptr_t io, std::size_t) {
    return Unmap(io, true);
}

std::uint8_t in8(std::uintptr_t port) {
    return Load<std::uint8_t>(port, "in8");
}
std::uint16_t in16(std::uintptr_t port) {
    return Load<std::uint16_t>(port, "in16");
}
std::uint32_t in32(std::uintptr_t port) {
    return Load<std::uint32_t>(port, "in32");
}
void out8(std::uintptr_t port, std::uint8_t value) {
    Store(port, value, "out8");
}
void out16(std::uintptr_t port, std::uint16_t value) {
    Store(port, value, "out16");
}
void out32(std::uintptr_t port, std::uint32_t value) {
    Store(port, value, "out32");
}

void* mmap_device_memory(void* addr, std::size_t len, int prot, int flags, std::uint64_t physical) {
    constexpr int kKnownProt = PROT_READ | PROT_WRITE | PROT_EXEC | PROT_NOCACHE;
    if ((prot & ~kKnownProt) != 0 || (flags & ~(MAP_FIXED | MAP_SHARED)) != 0 ||
        ((flags & MAP_FIXED) != 0 && addr == nullptr)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    int hostProt = prot & ~PROT_NOCACHE;  // the host's page cache keeps every process coherent
    if (hostProt & PROT_WRITE) hostProt |= PROT_READ;
    void* start = Map(addr, len, hostProt, flags, physical, false);
    return start ? start : MAP_FAILED;
}

int munmap_device_memory(void* addr, std::size_t) {
    return Unmap(reinterpret_cast<std::uintptr_t>(addr), false);
}

}  // namespace CoreSystem::Platform
