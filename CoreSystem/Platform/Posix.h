// POSIX services whose names or limits differ between the target and a host: named shared
// objects (through the host namespace), thread ids and thread names.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <sys/types.h>
#include <string>

namespace CoreSystem::Platform {

/// shm_open with `name` placed in the host namespace (see Environment.h).
int shm_open(const char* name, int oflag, mode_t mode);
/// shm_unlink with `name` placed in the host namespace.
int shm_unlink(const char* name);
/// File path under which the shared-memory object `name` ("/Name") can be stat-ed or read:
/// "/dev/shmem/Name" on the target, the host-namespaced object under "/dev/shm" on a host.
std::string SharedObjectPath(const char* name);
/// sem_open with `name` placed in the host namespace; `mode` and `value` are used with O_CREAT.
sem_t* sem_open(const char* name, int oflag, mode_t mode = 0, unsigned value = 0);
/// sem_unlink with `name` placed in the host namespace.
int sem_unlink(const char* name);

/// Kernel id of the calling thread.
pid_t gettid() noexcept;

/// Names a thread (`thread` 0: the caller). Names longer than the host allows are cut to fit.
/// Returns 0 or an errno value.
int pthread_setname_np(pthread_t thread, const char* name) noexcept;

/// Sleeps `ms` milliseconds; returns 0, or the milliseconds left when a signal interrupted it.
unsigned delay(unsigned ms) noexcept;

/// Wakes threads of this process that wait for it, one per post: a post lets one wait() that is
/// under way, or the next one, return. On the target an unnamed semaphore. On a development host
/// the waiting thread sleeps as the reader of a pipe, which the kernel wakes on the poster's
/// processor when it can: a thread that is handed work is then not put on another busy processor
/// (such as that of a sender whose next message is on its way).
class ThreadWake {
public:
    ThreadWake() noexcept;
    ~ThreadWake();
    ThreadWake(const ThreadWake&) = delete;
    ThreadWake& operator=(const ThreadWake&) = delete;
    /// Lets one wait return. 0, or -1 with errno.
    int post() noexcept;
    /// Waits for a post: 0, or -1 with errno (EINTR when a signal arrived, whether or not its
    /// handler restarts calls; EBADF when the wake-up could not be made).
    int wait() noexcept;

private:
#if defined(__QNX__)
    sem_t semaphore_;
    bool made_;
#else
    int fds_[2];
#endif
};

}  // namespace CoreSystem::Platform
