// Futex system calls for the Linux side of the platform layer (shared, not private, futexes:
// the words live in memory mapped by several processes).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace CoreSystem::Platform::Linux {

inline long futexCall(std::uint32_t* word, int op, std::uint32_t value, const timespec* timeout,
                      std::uint32_t value3) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, value3);
}

/// Sleeps while *word == expected, at most until the absolute CLOCK_MONOTONIC `deadline`
/// (null: no limit). Returns 0 when woken (or the word differed), else an errno value
/// (ETIMEDOUT, EINTR).
inline int futexWait(std::uint32_t* word, std::uint32_t expected, const timespec* deadline) {
    if (futexCall(word, FUTEX_WAIT_BITSET, expected, deadline, FUTEX_BITSET_MATCH_ANY) == 0) return 0;
    return errno == EAGAIN ? 0 : errno;
}

/// Wakes up to `count` waiters of `word`; returns how many were woken.
inline int futexWake(std::uint32_t* word, int count = INT_MAX) {
    long woken = futexCall(word, FUTEX_WAKE, static_cast<std::uint32_t>(count), nullptr, 0);
    return woken < 0 ? 0 : static_cast<int>(woken);
}

/// Eases a core that spins on a word another thread will change.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

/// Current CLOCK_MONOTONIC time in nanoseconds.
inline std::uint64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

inline timespec toTimespec(std::uint64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
    return ts;
}

}  // namespace CoreSystem::Platform::Linux
