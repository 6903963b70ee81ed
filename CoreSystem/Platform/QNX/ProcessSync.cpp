// Process-shared mutex and condition on the target: its own pthread objects, which are 8 bytes
// there and inherit priority by default. A condition waits on CLOCK_MONOTONIC.
#include "CoreSystem/Platform/ProcessSync.h"

#include <pthread.h>

#include <cerrno>

namespace CoreSystem::Platform {

// The compile check against the target's declarations (cmake/target-check) takes its POSIX types
// from the host's C library, whose sizes are not the target's.
#if !defined(CORESYSTEM_TARGET_CHECK)
static_assert(sizeof(pthread_mutex_t) == sizeof(ProcessMutex), "the target's mutex is 8 bytes");
static_assert(sizeof(pthread_cond_t) == sizeof(ProcessCondition), "the target's condition is 8 bytes");
#endif

namespace {
pthread_mutex_t* native(std::uint32_t* words) {
    return reinterpret_cast<pthread_mutex_t*>(words);
}
pthread_cond_t* nativeCondition(std::uint32_t* words) {
    return reinterpret_cast<pthread_cond_t*>(words);
}
/// A lock whose holder died is taken over and made consistent again; the caller is told
/// (EOWNERDEAD) so that it can repair the data the lock guards.
int recovered(int rc, std::uint32_t* words) {
    if (rc != EOWNERDEAD) return rc;
    const int consistent = pthread_mutex_consistent(native(words));
    return consistent == 0 ? EOWNERDEAD : consistent;
}
}  // namespace

int ProcessMutex::init() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(native(word_), &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int ProcessMutex::lock() noexcept {
    return recovered(pthread_mutex_lock(native(word_)), word_);
}

// A blocked locker costs little on the device: no spinning there.
int ProcessMutex::lockBriefly() noexcept {
    return lock();
}

int ProcessMutex::trylock() noexcept {
    return recovered(pthread_mutex_trylock(native(word_)), word_);
}

int ProcessMutex::unlock() noexcept {
    return pthread_mutex_unlock(native(word_));
}

int ProcessCondition::init() noexcept {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(nativeCondition(word_), &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int ProcessCondition::wait(ProcessMutex& mutex) noexcept {
    return recovered(pthread_cond_wait(nativeCondition(word_), native(mutex.word_)), mutex.word_);
}

int ProcessCondition::timedwait(ProcessMutex& mutex, const timespec& deadline) noexcept {
    return recovered(pthread_cond_timedwait(nativeCondition(word_), native(mutex.word_), &deadline),
                     mutex.word_);
}

int ProcessCondition::signal() noexcept {
    return pthread_cond_signal(nativeCondition(word_));
}
int ProcessCondition::broadcast() noexcept {
    return pthread_cond_broadcast(nativeCondition(word_));
}

}  // namespace CoreSystem::Platform
