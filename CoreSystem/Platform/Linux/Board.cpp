// The simulated board's files: creation, OTP banks, physical memory, the event log and the
// failures injected across processes. Every file lives under the host root; nothing else is touched.
#include "CoreSystem/Platform/Linux/Board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "CoreSystem/Platform/Environment.h"

namespace CoreSystem::Platform::Board {

namespace {

constexpr const char* kMemoryFile = "memory";
constexpr const char* kLogFile = "log";
constexpr const char* kSettingsFile = "settings";
constexpr const char* kFaultFile = "fail";
constexpr const char* kWriteTargetKey = "write-target";
constexpr std::size_t kBankSize = kOtpBlockSize * kOtpBlockTypes;

/// A descriptor closed on every path out of a scope, keeping errno as the failure left it.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            const int error = errno;
            ::close(fd_);
            errno = error;
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

int OpenFile(const std::string& path, int flags) {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    return fd;
}

/// Locks the whole file for this descriptor (released by close).
bool Lock(int fd, int operation) {
    int result;
    do result = ::flock(fd, operation);
    while (result < 0 && errno == EINTR);
    return result == 0;
}

bool ReadAt(int fd, std::uint64_t offset, void* bytes, std::size_t length) {
    auto* at = static_cast<char*>(bytes);
    while (length > 0) {
        const ssize_t n = ::pread(fd, at, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // a board file shorter than its format
            return false;
        }
        at += n, offset += static_cast<std::uint64_t>(n), length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAt(int fd, std::uint64_t offset, const void* bytes, std::size_t length) {
    const auto* at = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, at, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        at += n, offset += static_cast<std::uint64_t>(n), length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadWhole(const std::string& path, std::string& text) {
    Fd fd(OpenFile(path, O_RDONLY));
    if (!fd) return false;
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

/// Replaces the file's contents (the caller holds its lock).
bool Rewrite(int fd, const std::string& text) {
    return ::ftruncate(fd, 0) == 0 && WriteAt(fd, 0, text.data(), text.size());
}

bool WriteNew(const std::string& path, const std::string& text) {
    Fd fd(OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC));
    return fd && WriteAt(fd.get(), 0, text.data(), text.size());
}

std::string BankFile(const std::string& root, Bank bank) {
    return FilePath(root, bank == Bank::Nor ? "otp-nor" : "otp-legacy");
}

bool ValidType(int type) {
    if (type >= 1 && type <= kOtpBlockTypes) return true;
    errno = EINVAL;
    return false;
}

std::uint64_t BlockOffset(int type) {
    return static_cast<std::uint64_t>(type - 1) * kOtpBlockSize;
}

bool InMemory(std::uint64_t address, std::size_t length) {
    if (address <= kMemorySize && length <= kMemorySize - address) return true;
    errno = ENXIO;
    return false;
}

std::string FaultLine(const FaultRule& rule) {
    return rule.call + " " + ErrorName(rule.error) + " " + std::to_string(rule.count) + "\n";
}

std::vector<FaultRule> ParseFaults(const std::string& text) {
    std::vector<FaultRule> rules;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string call, error;
        long long count = 0;
        if (!(fields >> call >> error >> count) || count <= 0) continue;  // not a rule: dropped
        const auto name = FaultCallNamed(call);
        const int number = ErrorNumber(error);
        if (name && number > 0) rules.push_back({*name, number, static_cast<unsigned>(count)});
    }
    return rules;
}

}  // namespace

const char* Name(Bank bank) {
    return bank == Bank::Nor ? "nor" : "legacy";
}

const char* Name(WriteTarget target) {
    switch (target) {
        case WriteTarget::Nor:
            return "nor";
        case WriteTarget::Legacy:
            return "legacy";
        case WriteTarget::Both:
            return "both";
    }
    return "";
}

std::optional<Bank> BankNamed(const std::string& name) {
    if (name == "nor") return Bank::Nor;
    if (name == "legacy") return Bank::Legacy;
    return std::nullopt;
}

std::optional<WriteTarget> WriteTargetNamed(const std::string& name) {
    if (name == "both") return WriteTarget::Both;
    if (const auto bank = BankNamed(name)) return *bank == Bank::Nor ? WriteTarget::Nor : WriteTarget::Legacy;
    return std::nullopt;
}

std::string Root() {
    const char* root = std::getenv(kRootVariable);
    return root ? root : "";
}

std::string Directory(const std::string& root) {
    return DevicePath("/board", root);
}

std::string FilePath(const std::string& root, const char* name) {
    return Directory(root) + "/" + name;
}

bool Create(const std::string& root, WriteTarget target) {
    if (root.empty()) {
        errno = EINVAL;
        return false;
    }
    std::error_code error;
    for (const std::string& directory : {Directory(root), DevicePath("/dev", root)}) {
        std::filesystem::create_directories(directory, error);
        if (error) {
            errno = error.value();
            return false;
        }
    }
    const std::string erased(kBankSize, '\xff');
    if (!WriteNew(DevicePath(kControlDevice, root), "") || !WriteNew(DevicePath(kI2cDevice, root), "") ||
        !WriteNew(BankFile(root, Bank::Nor), erased) || !WriteNew(BankFile(root, Bank::Legacy), erased) ||
        !WriteNew(FilePath(root, kLogFile), "") ||
        !WriteNew(FilePath(root, kSettingsFile), std::string(kWriteTargetKey) + "=" + Name(target) + "\n")) {
        return false;
    }
    if (::unlink(FilePath(root, kFaultFile).c_str()) != 0 && errno != ENOENT) return false;
    // Emptied, then stretched: a sparse file whose every byte reads as zero.
    Fd memory(OpenFile(FilePath(root, kMemoryFile), O_RDWR | O_CREAT));
    return memory && ::ftruncate(memory.get(), 0) == 0 &&
           ::ftruncate(memory.get(), static_cast<off_t>(kMemorySize)) == 0;
}

bool Exists(const std::string& root) {
    struct stat info {};
    return !root.empty() && ::stat(FilePath(root, kMemoryFile).c_str(), &info) == 0;
}

std::optional<WriteTarget> ReadWriteTarget(const std::string& root) {
    std::string text;
    if (!ReadWhole(FilePath(root, kSettingsFile), text) && errno != ENOENT) return std::nullopt;
    std::optional<WriteTarget> target = WriteTarget::Nor;  // when the file does not say
    std::istringstream lines(text);
    std::string line;
    const std::string key = std::string(kWriteTargetKey) + "=";
    while (std::getline(lines, line)) {
        if (line.rfind(key, 0) == 0) target = WriteTargetNamed(line.substr(key.size()));
    }
    if (!target) errno = EINVAL;
    return target;
}

std::optional<Block> ReadOtp(const std::string& root, Bank bank, int type) {
    if (!ValidType(type)) return std::nullopt;
    Fd fd(OpenFile(BankFile(root, bank), O_RDONLY));
    Block block(kOtpBlockSize);
    if (!fd || !Lock(fd.get(), LOCK_SH) || !ReadAt(fd.get(), BlockOffset(type), block.data(), block.size())) {
        return std::nullopt;
    }
    return block;
}

bool StoreOtp(const std::string& root, Bank bank, int type, const Block& block) {
    if (!ValidType(type)) return false;
    if (block.size() != kOtpBlockSize) {
        errno = EINVAL;
        return false;
    }
    Fd fd(OpenFile(BankFile(root, bank), O_RDWR));
    return fd && Lock(fd.get(), LOCK_EX) && WriteAt(fd.get(), BlockOffset(type), block.data(), block.size());
}

int ProgramOtp(const std::string& root, int type, const Block& block) {
    if (!ValidType(type) || block.size() != kOtpBlockSize) return EINVAL;
    const auto target = ReadWriteTarget(root);
    if (!target) return EIO;
    int result = 0;
    for (const Bank bank : {Bank::Nor, Bank::Legacy}) {
        if (*target != WriteTarget::Both && Name(bank) != std::string(Name(*target))) continue;
        Fd fd(OpenFile(BankFile(root, bank), O_RDWR));
        Block cells(kOtpBlockSize);
        if (!fd || !Lock(fd.get(), LOCK_EX) ||
            !ReadAt(fd.get(), BlockOffset(type), cells.data(), cells.size())) {
            result = EIO;
            continue;
        }
        for (std::size_t i = 0; i < cells.size(); ++i) cells[i] &= block[i];
        if (!WriteAt(fd.get(), BlockOffset(type), cells.data(), cells.size()) || cells != block) result = EIO;
    }
    return result;
}

bool ReadMemory(const std::string& root, std::uint64_t address, void* bytes, std::size_t length) {
    if (!InMemory(address, length)) return false;
    Fd fd(OpenFile(FilePath(root, kMemoryFile), O_RDONLY));
    return fd && ReadAt(fd.get(), address, bytes, length);
}

bool WriteMemory(const std::string& root, std::uint64_t address, const void* bytes, std::size_t length) {
    if (!InMemory(address, length)) return false;
    Fd fd(OpenFile(FilePath(root, kMemoryFile), O_RDWR));
    return fd && WriteAt(fd.get(), address, bytes, length);
}

int LockLog(const std::string& root) {
    if (root.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = OpenFile(FilePath(root, kLogFile), O_WRONLY | O_APPEND | O_CREAT);
    if (fd >= 0 && !Lock(fd, LOCK_EX)) {
        Fd closing(fd);
        return -1;
    }
    return fd;
}

bool AppendLog(const std::string& root, const std::string& line) {
    Fd fd(LockLog(root));
    const std::string text = line + "\n";
    return fd && WriteAt(fd.get(), 0, text.data(), text.size());  // O_APPEND: at the end
}

std::optional<std::string> ReadLog(const std::string& root) {
    std::string text;
    if (!ReadWhole(FilePath(root, kLogFile), text)) return std::nullopt;
    return text;
}

bool ClearLog(const std::string& root) {
    Fd fd(LockLog(root));
    return fd && ::ftruncate(fd.get(), 0) == 0;
}

std::optional<std::string> FaultCallNamed(const std::string& name) {
    if (name == "devctl" || name == "i2c" || name == "mmap") return name;
    const std::string prefix = "devctl-0x";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 8 || name.rfind(prefix, 0) != 0 ||
        name.find_first_not_of("0123456789abcdefABCDEF", prefix.size()) != std::string::npos) {
        return std::nullopt;
    }
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "devctl-0x%08lx",
                  std::strtoul(name.c_str() + prefix.size(), nullptr, 16));
    return std::string(canonical);
}

bool AddFault(const std::string& root, const FaultRule& rule) {
    const auto call = FaultCallNamed(rule.call);
    if (!call || rule.error <= 0 || rule.count == 0 || !Exists(root)) {
        errno = Exists(root) ? EINVAL : ENOENT;
        return false;
    }
    Fd fd(OpenFile(FilePath(root, kFaultFile), O_WRONLY | O_APPEND | O_CREAT));
    const std::string line = FaultLine({*call, rule.error, rule.count});
    return fd && Lock(fd.get(), LOCK_EX) && WriteAt(fd.get(), 0, line.data(), line.size());
}

std::vector<FaultRule> Faults(const std::string& root) {
    std::string text;
    return ReadWhole(FilePath(root, kFaultFile), text) ? ParseFaults(text) : std::vector<FaultRule>{};
}

bool ClearFaults(const std::string& root) {
    return ::unlink(FilePath(root, kFaultFile).c_str()) == 0 || errno == ENOENT;
}

int TakeFault(const std::string& root, std::initializer_list<std::string> calls) {
    if (root.empty()) return 0;
    const std::string path = FilePath(root, kFaultFile);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_size == 0) return 0;  // the usual case: nothing armed
    Fd fd(OpenFile(path, O_RDWR));
    std::string text;
    if (!fd || !Lock(fd.get(), LOCK_EX)) return 0;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<FaultRule> rules = ParseFaults(text);
    auto taken = std::find_if(rules.begin(), rules.end(), [&](const FaultRule& rule) {
        return std::find(calls.begin(), calls.end(), rule.call) != calls.end();
    });
    if (taken == rules.end()) return 0;
    const int error = taken->error;
    if (--taken->count == 0) rules.erase(taken);
    std::string rest;
    for (const FaultRule& rule : rules) rest += FaultLine(rule);
    Rewrite(fd.get(), rest);
    return error;
}

std::string ErrorName(int error) {
    if (error == 0) return "0";
    const char* name = ::strerrorname_np(error);
    return name ? name : std::to_string(error);
}

int ErrorNumber(const std::string& name) {
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        return name.size() < 5 ? static_cast<int>(std::strtol(name.c_str(), nullptr, 10)) : 0;
    }
    for (int error = 1; error < 200; ++error) {
        const char* known = ::strerrorname_np(error);
        if (known && name == known) return error;
    }
    return 0;
}

}  // namespace CoreSystem::Platform::Board
