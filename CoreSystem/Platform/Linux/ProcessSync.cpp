// Linux form of the 8-byte process-shared mutex and condition variable: raw shared futexes, no state
// outside the 8 bytes, so any process that maps them can use them at any address.
#include "CoreSystem/Platform/ProcessSync.h"

#include "CoreSystem/Platform/Linux/Futex.h"
#include "CoreSystem/Platform/Linux/ProcStat.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

namespace CoreSystem::Platform {

// ProcessMutex words
//   word_[0]  0 when free, else the holder's thread id (a priority-inheritance futex). The kernel
//             adds FUTEX_WAITERS while threads block on it, and may leave it behind when they give
//             up; it only sends the next unlock through the kernel.
//   word_[1]  the holder's token: its process id in the low bits (as many as pid_max needs) and
//             the low bits of its thread's start time (in clock ticks) above them. Stored right
//             after the lock is taken and cleared right before it is released, only ever by the
//             holder; 0 while unknown, and a holder whose token is unknown counts as alive. A
//             holder that dies leaves it behind until the next holder overwrites it.
//
// Holder death. Nothing is registered with the kernel, so a dead holder's id stays in word_[0]:
//   - Threads already blocked in FUTEX_LOCK_PI are handed the lock by the kernel when it dies;
//     the token the dead holder left in word_[1] tells the new holder that it took over.
//   - A later FUTEX_LOCK_PI fails with ESRCH (no thread has that id any more); the locker then
//     replaces the word by its own id with a CAS from the value it saw, keeping FUTEX_WAITERS, and
//     starts over when the CAS loses. The verdict is used only while the word still names the same
//     thread as before the call.
//   - Thread ids are reused (pid_max may be small): the kernel then blocks lockers on an unrelated
//     thread. Lockers therefore block for kOwnerCheckSeconds at a time; when the word and the
//     recorded token stayed the same across a wait and tgkill(pid, tid, 0) finds no such thread
//     in that process, or finds one that started at another time (the pid was reused, e.g. a
//     holder's main thread whose pid a new process got), the holder is gone and the word is
//     taken over as above.
//   - Every takeover is reported to the new holder (EOWNERDEAD), so that it can repair what the
//     dead holder may have left half-changed.
//   - Taking over while other processes still wait in the kernel on the reused id's thread leaves
//     the kernel's view inconsistent for at most one check period: FUTEX_LOCK_PI then fails with
//     EINVAL (the locker retries), and FUTEX_UNLOCK_PI with EINVAL (the word is freed directly; the
//     waiters find it free at their next check).
// Known limits: a new holder that stalls for a whole check period between taking a dead holder's
// word and storing its token can be taken over; the start stamp has only the bits pid_max leaves
// (17 with the usual 32768: a reused id started a multiple of about 22 minutes later passes for
// the holder); trylock() takes over only when the id no longer exists at all; thread ids and
// tokens are cached per thread and renewed in the child of fork().
//
// ProcessCondition words
//   word_[0]  sequence, advanced by every signal and broadcast; waiters sleep on it (FUTEX_WAIT
//             fails at once when it moved after the waiter read it under the mutex).
//   word_[1]  number of waiters, so that signal and broadcast skip the system call when it is 0.
//             A waiter killed while waiting leaves it too high, which only costs system calls.

namespace {

constexpr std::uint32_t kWaiters = FUTEX_WAITERS;
constexpr std::uint32_t kTidMask = FUTEX_TID_MASK;
constexpr long kNanosPerSecond = 1000000000L;
/// How long a locker blocks in the kernel before it checks whether the holder is still there.
constexpr time_t kOwnerCheckSeconds = 1;
/// Consecutive EINVAL results of FUTEX_LOCK_PI on an unchanged word (1 ms apart) before giving up.
constexpr int kInconsistentLimit = 5000;
/// Bound on retries of calls that fail only transiently (EINTR, EAGAIN).
constexpr int kTransientLimit = 100;

struct Ids {
    std::uint32_t tid;
    std::uint32_t pid;  ///< holder token: the process id, with the thread's start stamp above it
};

thread_local Ids tIds{0, 0};

void ForgetIds() {
    tIds = Ids{0, 0};
}

/// Bits of a process id: every id lies below the system's pid_max.
unsigned PidBits() noexcept {
    static const unsigned bits = [] {
        unsigned long pidMax = 1ul << 22;  // the largest pid_max Linux allows
        if (FILE* file = std::fopen("/proc/sys/kernel/pid_max", "r")) {
            if (std::fscanf(file, "%lu", &pidMax) != 1) pidMax = 1ul << 22;
            std::fclose(file);
        }
        unsigned width = 1;
        while (width < 22 && (1ul << width) < pidMax) ++width;
        return width;
    }();
    return bits;
}

}  // namespace

std::uint32_t Linux::HolderToken(std::uint32_t pid, std::uint64_t startTicks) noexcept {
    // Stamp 0 means "start unknown"; a known start never gives 0.
    const unsigned bits = PidBits();
    std::uint32_t stamp = static_cast<std::uint32_t>(startTicks) & ((1u << (32 - bits)) - 1u);
    if (stamp == 0 && startTicks != 0) stamp = 1;
    return pid | (stamp << bits);
}

namespace {

using Linux::HolderToken;

std::uint32_t TokenPid(std::uint32_t token) noexcept {
    return token & ((1u << PidBits()) - 1u);
}

/// Start ticks of thread `tid` of process `pid`; 0 when unknown.
std::uint64_t ThreadStart(std::uint32_t pid, std::uint32_t tid) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", pid, tid);
    return Linux::startTicks(path);
}

const Ids& CurrentIds() noexcept {
    if (tIds.tid == 0) {
        // The child of fork() runs in a new thread and process: forget the copied ids there.
        static const bool registered = pthread_atfork(nullptr, nullptr, &ForgetIds) == 0;
        static_cast<void>(registered);
        tIds.tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
        const auto pid = static_cast<std::uint32_t>(getpid());
        tIds.pid = HolderToken(pid, ThreadStart(pid, tIds.tid));
    }
    return tIds;
}

long Futex(std::uint32_t* word, int op, const timespec* timeout = nullptr) noexcept {
    return Linux::futexCall(word, op, 0, timeout, 0);
}

std::uint32_t Load(const std::uint32_t* word) noexcept {
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

bool Claim(std::uint32_t* word, std::uint32_t expected, std::uint32_t desired) noexcept {
    return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void RecordHolder(std::uint32_t* word, const Ids& ids) noexcept {
    __atomic_store_n(&word[1], ids.pid, __ATOMIC_RELEASE);
}

/// How long lockBriefly(), finding the mutex held, looks at it again before it sleeps in the
/// kernel: its mutexes are held for well under a microsecond (a channel's queues), and on this
/// host a sleep costs the locker, and the hand-over the holder, a system call and a switch.
constexpr std::uint64_t kLockSpinNs = 2000;

/// Takes the mutex if it comes free within kLockSpinNs, while nobody sleeps on it (those go
/// first, through the kernel) and the caller is not the recorded holder.
bool ClaimAfterSpin(std::uint32_t* word, const Ids& ids) noexcept {
    const std::uint64_t until = Linux::monotonicNs() + kLockSpinNs;
    for (unsigned round = 1;; ++round) {
        const std::uint32_t seen = Load(word);
        if (seen == 0) {
            if (Claim(word, 0, ids.tid)) return true;
            continue;
        }
        if ((seen & kWaiters) != 0 || (seen & kTidMask) == ids.tid) return false;
        Linux::relax();
        if ((round & 31) == 0 && Linux::monotonicNs() >= until) return false;
    }
}

/// After the kernel gave us the lock: an acquire on the word the previous holder released, so that
/// the ordering is also visible to tools that do not see the kernel's hand-over. EOWNERDEAD when
/// that holder died holding it.
int AcquiredInKernel(std::uint32_t* word, const Ids& ids) noexcept {
    // A holder clears its token before it lets go: one still there belonged to a holder that
    // died with the lock, which the kernel then passed on (a robust futex would also carry
    // FUTEX_OWNER_DIED; clear it, it is ours to report).
    const std::uint32_t seen = Load(word);
    const bool died = Load(&word[1]) != 0 || (seen & FUTEX_OWNER_DIED) != 0;
    if (seen & FUTEX_OWNER_DIED)
        __atomic_fetch_and(word, ~static_cast<std::uint32_t>(FUTEX_OWNER_DIED), __ATOMIC_ACQ_REL);
    RecordHolder(word, ids);
    return died ? EOWNERDEAD : 0;
}

bool HeldBy(const std::uint32_t* word, const Ids& ids) noexcept {
    return (Load(word) & kTidMask) == ids.tid && Load(&word[1]) == ids.pid;
}

bool SameHolder(std::uint32_t a, std::uint32_t b) noexcept {
    return (a & kTidMask) == (b & kTidMask);
}

/// Replaces a dead holder's id, as last seen in `seen`, by ours. False when the word moved on.
bool TakeOver(std::uint32_t* word, std::uint32_t seen, const Ids& ids) noexcept {
    if (!Claim(word, seen, ids.tid | (seen & kWaiters))) return false;
    RecordHolder(word, ids);
    return true;
}

/// True when the thread that stored `token` is gone: no thread `tid` in its process, or one that
/// started at another time (the ids were reused by a later process or thread).
bool HolderGone(std::uint32_t tid, std::uint32_t token) noexcept {
    if (token == 0) return false;  // not known yet: alive
    const std::uint32_t pid = TokenPid(token);
    if (syscall(SYS_tgkill, static_cast<pid_t>(pid), static_cast<pid_t>(tid), 0) == -1) return errno == ESRCH;
    if ((token >> PidBits()) == 0) return false;  // its start is unknown: alive while it exists
    const std::uint64_t started = ThreadStart(pid, tid);
    return started != 0 && HolderToken(pid, started) != token;
}

int LockSlow(std::uint32_t* word, const Ids& ids) noexcept {
    int inconsistent = 0;
    std::uint32_t inconsistentSeen = 0;
    for (;;) {
        const std::uint32_t seen = Load(word);
        const std::uint32_t seenPid = Load(&word[1]);
        if (seen == 0) {
            if (Claim(word, 0, ids.tid)) {
                RecordHolder(word, ids);
                return 0;
            }
            continue;
        }
        if ((seen & kTidMask) == ids.tid) {
            if (seenPid == ids.pid) return EDEADLK;
            // A thread of another process had our id and died holding the lock.
            if (TakeOver(word, seen, ids)) return EOWNERDEAD;
            continue;
        }
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);  // FUTEX_LOCK_PI measures on CLOCK_REALTIME
        deadline.tv_sec += kOwnerCheckSeconds;
        if (Futex(word, FUTEX_LOCK_PI, &deadline) == 0) {
            return AcquiredInKernel(word, ids);
        }
        const int error = errno;
        const std::uint32_t now = Load(word);
        switch (error) {
            case ESRCH:  // no thread has the holder's id any more
                if (SameHolder(now, seen) && TakeOver(word, now, ids)) return EOWNERDEAD;
                break;
            case ETIMEDOUT:  // the id may have been reused by a thread of another process
                if (SameHolder(now, seen) && Load(&word[1]) == seenPid &&
                    HolderGone(seen & kTidMask, seenPid) && TakeOver(word, now, ids)) {
                    return EOWNERDEAD;
                }
                break;
            case EINVAL:  // the kernel's waiters disagree with the word for a moment (see above)
                if (now != inconsistentSeen) {
                    inconsistentSeen = now;
                    inconsistent = 0;
                }
                if (++inconsistent > kInconsistentLimit) return EINVAL;
                {
                    const timespec pause{0, 1000000L};
                    nanosleep(&pause, nullptr);
                }
                break;
            case EAGAIN:  // the holder is exiting
                sched_yield();
                break;
            case EDEADLK:  // with another id in the word: the kernel found a cycle of waiting holders
                if (!SameHolder(now, ids.tid)) return EDEADLK;
                break;
            case EINTR:
                break;
            default:
                return error;
        }
    }
}

}  // namespace

int ProcessMutex::init() noexcept {
    __atomic_store_n(&word_[1], 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&word_[0], 0u, __ATOMIC_RELEASE);
    return 0;
}

int ProcessMutex::lock() noexcept {
    const Ids& ids = CurrentIds();
    if (Claim(word_, 0, ids.tid)) {
        RecordHolder(word_, ids);
        return 0;
    }
    return LockSlow(word_, ids);
}

int ProcessMutex::lockBriefly() noexcept {
    const Ids& ids = CurrentIds();
    if (Claim(word_, 0, ids.tid) || ClaimAfterSpin(word_, ids)) {
        RecordHolder(word_, ids);
        return 0;
    }
    return LockSlow(word_, ids);
}

int ProcessMutex::trylock() noexcept {
    const Ids& ids = CurrentIds();
    for (int attempt = 0; attempt < kTransientLimit; ++attempt) {
        const std::uint32_t seen = Load(word_);
        if (seen == 0) {
            if (Claim(word_, 0, ids.tid)) {
                RecordHolder(word_, ids);
                return 0;
            }
            continue;
        }
        if ((seen & kTidMask) == ids.tid) {
            if (Load(&word_[1]) == ids.pid) return EBUSY;
            if (TakeOver(word_, seen, ids)) return EOWNERDEAD;
            continue;
        }
        if (Futex(word_, FUTEX_TRYLOCK_PI) == 0) {
            return AcquiredInKernel(word_, ids);
        }
        const int error = errno;
        switch (error) {
            case EAGAIN:  // a live thread holds it
            case EINVAL:  // it is being handed to a waiter
                return EBUSY;
            case ESRCH: {
                const std::uint32_t now = Load(word_);
                if (SameHolder(now, seen) && TakeOver(word_, now, ids)) return EOWNERDEAD;
                break;
            }
            case EINTR:
            case EDEADLK:
                break;
            default:
                return error;
        }
    }
    return EBUSY;
}

int ProcessMutex::unlock() noexcept {
    const Ids& ids = CurrentIds();
    if (!HeldBy(word_, ids)) return EPERM;
    __atomic_store_n(&word_[1], 0u, __ATOMIC_RELAXED);
    std::uint32_t expected = ids.tid;
    if (__atomic_compare_exchange_n(&word_[0], &expected, 0u, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
        return 0;
    }
    // Waiters, or a trace of them: the kernel hands the lock to the first one or frees the word.
    // The release on the word pairs with AcquiredInKernel() for tools blind to the hand-over.
    __atomic_fetch_or(&word_[0], 0u, __ATOMIC_RELEASE);
    int error = 0;
    for (int attempt = 0; attempt < kTransientLimit; ++attempt) {
        if (Futex(word_, FUTEX_UNLOCK_PI) == 0) return 0;
        error = errno;
        if (error == EINVAL) {
            // The kernel's waiters belong to a holder that was taken over; they recheck the word
            // within one check period and find it free.
            __atomic_store_n(&word_[0], 0u, __ATOMIC_RELEASE);
            return 0;
        }
        if (error != EINTR && error != EAGAIN) break;
    }
    RecordHolder(word_, ids);
    return error;
}

namespace {

int WaitOn(std::uint32_t* word, ProcessMutex& mutex, const timespec* deadline) noexcept {
    if (deadline != nullptr &&
        (deadline->tv_sec < 0 || deadline->tv_nsec < 0 || deadline->tv_nsec >= kNanosPerSecond)) {
        return EINVAL;
    }
    // Read under the mutex: a signal after the unlock below moves the sequence, and the wait fails
    // at once instead of missing it.
    const std::uint32_t sequence = __atomic_load_n(&word[0], __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&word[1], 1u, __ATOMIC_SEQ_CST);
    if (const int error = mutex.unlock()) {
        __atomic_fetch_sub(&word[1], 1u, __ATOMIC_SEQ_CST);
        return error;
    }
    // The absolute deadline is on CLOCK_MONOTONIC. A signal that came first, and EINTR, end the
    // wait like a wake-up.
    const bool timedOut = Linux::futexWait(word, sequence, deadline) == ETIMEDOUT;
    __atomic_fetch_sub(&word[1], 1u, __ATOMIC_SEQ_CST);
    if (const int error = mutex.lock()) return error;
    return timedOut ? ETIMEDOUT : 0;
}

int Wake(std::uint32_t* word, int count) noexcept {
    __atomic_fetch_add(&word[0], 1u, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&word[1], __ATOMIC_SEQ_CST) != 0) Linux::futexWake(word, count);
    return 0;
}

}  // namespace

int ProcessCondition::init() noexcept {
    __atomic_store_n(&word_[1], 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&word_[0], 0u, __ATOMIC_RELEASE);
    return 0;
}

int ProcessCondition::wait(ProcessMutex& mutex) noexcept {
    return WaitOn(word_, mutex, nullptr);
}

int ProcessCondition::timedwait(ProcessMutex& mutex, const timespec& deadline) noexcept {
    return WaitOn(word_, mutex, &deadline);
}

int ProcessCondition::signal() noexcept {
    return Wake(word_, 1);
}

int ProcessCondition::broadcast() noexcept {
    return Wake(word_, INT_MAX);
}

}  // namespace CoreSystem::Platform
