// Boot counter, boot tag and storage check on the autoload tree. File access goes through the
// platform's file calls, so tests can make an open, a write or a flush fail.
#include "CoreSystem/Storage/BootCounter.h"

#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Storage/StorageLayout.h"
#include "CoreSystem/Utilities/Utilities.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <iomanip>
#include <mutex>
#include <sstream>

namespace CoreSystem {

namespace {

/// Size of "bootCount.bin".
constexpr std::size_t kBootCountBytes = 4;
/// How long the storage check waits for the autoload base to appear.
constexpr int kBaseWaitMs = 3000;

/// The cached boot count; 0 means "not read yet".
std::uint32_t gBootCount = 0;
/// Serialises IsStorageFormatted. Statically initialised.
std::mutex gStorageCheckLock;

/// Access path of a file directly in the autoload base.
std::string BaseFile(const char* fileName) {
    std::string name(fileName);
    return AutoloadAccessPath(DataPath(name));
}

/// Writes all `size` bytes at the current position; false when any write fails.
bool WriteAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = Platform::write(fd, bytes, size);
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

/// Stores `count` in the boot count file. The 4 bytes are written over the old ones and the file
/// is cut to 4 bytes only afterwards: a failed write never leaves an empty file behind.
bool StoreBootCount(const std::string& path, std::uint32_t count) {
    const int fd = Platform::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd < 0) return false;
    unsigned char bytes[kBootCountBytes];
    for (std::size_t i = 0; i < kBootCountBytes; ++i) bytes[i] = static_cast<unsigned char>(count >> (8 * i));
    bool stored = WriteAll(fd, bytes, kBootCountBytes) && ::ftruncate(fd, kBootCountBytes) == 0;
    if (Platform::close(fd) != 0) stored = false;
    return stored;
}

bool CheckStorage() {
    std::string none;
    (void)Platform::waitfor(AutoloadAccessPath(AutoloadPath(none)).c_str(), kBaseWaitMs, 0);

    std::string marker("start.sh");
    struct stat info;
    if (::stat(AutoloadAccessPath(AppPath(marker)).c_str(), &info) == 0) return true;

    std::string name("formatted");
    const std::string path = AutoloadAccessPath(AutoloadPath(name));
    // A test file left over from an interrupted check is removed first; the new one is created
    // afresh, so nothing is ever written through a link found under that name.
    (void)Platform::unlink(path.c_str());
    const int fd = Platform::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    static const char kLine[] = "Format Completed\n";
    bool written = WriteAll(fd, reinterpret_cast<const unsigned char*>(kLine), sizeof kLine - 1);
    if (Platform::close(fd) != 0) written = false;

    const int syncFd = Platform::open(path.c_str(), O_RDONLY | O_APPEND);
    if (syncFd >= 0) {
        (void)Platform::fsync(syncFd);
        Platform::close(syncFd);
    }
    if (::stat(path.c_str(), &info) != 0) return false;
    (void)Platform::unlink(path.c_str());
    // A file system that takes the name but not the data is not writable.
    return written;
}

}  // namespace

std::uint32_t BootCount() {
    if (gBootCount != 0) return gBootCount;
    const int fd = Platform::open(BaseFile("bootCount.bin").c_str(), O_RDONLY);
    if (fd >= 0) {
        unsigned char bytes[kBootCountBytes] = {};
        std::size_t arrived = 0;
        while (arrived < kBootCountBytes) {
            const ssize_t got = Platform::read(fd, bytes + arrived, kBootCountBytes - arrived);
            if (got <= 0) break;
            arrived += static_cast<std::size_t>(got);
        }
        Platform::close(fd);
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < arrived; ++i) count |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
        gBootCount = count;
    }
    return gBootCount;
}

void IncrementBootCount() {
    if (gBootCount == 0) (void)BootCount();
    const std::string path = BaseFile("bootCount.bin");
    if (StoreBootCount(path, gBootCount + 1)) ++gBootCount;
    (void)Utilities::SyncFile(path.c_str());
}

std::string FormatBootTag(std::uint32_t count, std::uint64_t cycles) {
    std::ostringstream tag;
    tag << std::uppercase << std::hex << std::setfill('0') << std::setw(8) << count << std::setw(16)
        << cycles;
    return tag.str();
}

std::string BootTag() {
    return FormatBootTag(BootCount(), Platform::ClockCycles());
}

bool IsStorageFormatted() {
    bool formatted;
    {
        std::lock_guard<std::mutex> lock(gStorageCheckLock);
        formatted = CheckStorage();
    }
    sched_yield();
    return formatted;
}

}  // namespace CoreSystem
