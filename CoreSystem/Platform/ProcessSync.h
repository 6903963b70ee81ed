// Process-shared mutex and condition variable that fit the 8 bytes the shared formats reserve.
// They are used in place inside shared memory, across processes, like the target's pthread objects.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace CoreSystem::Platform {

/// A process-shared, non-recursive mutex of exactly 8 bytes, placed directly in shared memory.
/// It inherits priority like the target's mutexes. A holder that dies (its thread or process
/// vanishes) does not wedge the others: the next locker takes the lock over and is told so with
/// EOWNERDEAD (it holds the lock then), so that it can repair what the dead holder left
/// half-changed. Results are 0 or an errno value, as for pthread_mutex_*.
class ProcessMutex {
public:
    /// Puts the mutex into the unlocked state; memory may hold anything before.
    int init() noexcept;
    /// Blocks until the mutex is held by the calling thread: 0, or EOWNERDEAD when it was taken
    /// over from a dead holder. EDEADLK if the caller already holds it.
    int lock() noexcept;
    /// lock() for a mutex that is only ever held for well under a microsecond: on a host, a held
    /// mutex is looked at again for a moment before the caller sleeps; on the target it is lock().
    int lockBriefly() noexcept;
    /// 0 or EOWNERDEAD when taken, EBUSY when another live thread holds it.
    int trylock() noexcept;
    /// EPERM when the calling thread does not hold it.
    int unlock() noexcept;
    /// Nothing to release; present for symmetry with pthread_mutex_destroy.
    int destroy() noexcept { return 0; }

private:
    friend class ProcessCondition;
    std::uint32_t word_[2];
};

/// A process-shared condition variable of exactly 8 bytes that times out on CLOCK_MONOTONIC.
class ProcessCondition {
public:
    int init() noexcept;
    /// Atomically releases `mutex` and waits for a signal; `mutex` is held again on return
    /// (EOWNERDEAD: taken over from a dead holder).
    int wait(ProcessMutex& mutex) noexcept;
    /// As wait(), until the absolute CLOCK_MONOTONIC time `deadline`; ETIMEDOUT after it.
    int timedwait(ProcessMutex& mutex, const timespec& deadline) noexcept;
    /// Wakes at least one waiter.
    int signal() noexcept;
    /// Wakes every waiter.
    int broadcast() noexcept;
    int destroy() noexcept { return 0; }

private:
    std::uint32_t word_[2];
};

static_assert(sizeof(ProcessMutex) == 8, "shared formats reserve 8 bytes for a mutex");
static_assert(sizeof(ProcessCondition) == 8, "shared formats reserve 8 bytes for a condition");
static_assert(alignof(ProcessMutex) <= 4 && alignof(ProcessCondition) <= 4,
              "shared formats place these objects at 4-byte boundaries");

/// True when a lock(), trylock() or wait() result means the caller holds the mutex (taken over
/// from a dead holder included).
inline bool Holds(int lockResult) noexcept {
    return lockResult == 0 || lockResult == EOWNERDEAD;
}

/// RAII hold of a ProcessMutex.
class ProcessLock {
public:
    explicit ProcessLock(ProcessMutex& mutex) noexcept : mutex_(mutex), result_(mutex_.lock()) {}
    /// Holds a mutex that is only ever held briefly (see ProcessMutex::lockBriefly).
    struct Brief {};
    ProcessLock(ProcessMutex& mutex, Brief) noexcept : mutex_(mutex), result_(mutex_.lockBriefly()) {}
    ~ProcessLock() { mutex_.unlock(); }
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;
    /// True when the lock was taken over from a holder that died: the data may need repair.
    bool tookOver() const { return result_ == EOWNERDEAD; }

private:
    ProcessMutex& mutex_;
    int result_;
};

}  // namespace CoreSystem::Platform
