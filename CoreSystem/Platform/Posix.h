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

}  // namespace CoreSystem::Platform
