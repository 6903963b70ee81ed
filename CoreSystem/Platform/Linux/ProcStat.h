// Start times of processes and threads from /proc, which tell a process or thread apart from a
// later one that got the same id.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace CoreSystem::Platform::Linux {

/// Start time, in clock ticks since boot, from the stat file at `statPath` ("/proc/<pid>/stat"
/// or "/proc/<pid>/task/<tid>/stat"); 0 when it cannot be read.
inline std::uint64_t startTicks(const char* statPath) {
    const int fd = ::open(statPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    // The command name (field 2) may hold spaces and parentheses: count from the last ')'.
    const char* at = std::strrchr(text, ')');
    if (!at) return 0;
    for (int field = 2; field < 22; ++field) {
        at = std::strchr(at + 1, ' ');
        if (!at) return 0;
    }
    return std::strtoull(at + 1, nullptr, 10);
}

/// The token a ProcessMutex holder stores beside its thread id: `pid` in the low bits, the low
/// bits of its thread's start time `startTicks` above them.
std::uint32_t HolderToken(std::uint32_t pid, std::uint64_t startTicks) noexcept;

}  // namespace CoreSystem::Platform::Linux
