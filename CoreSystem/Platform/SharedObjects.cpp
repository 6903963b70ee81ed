// Named shared-memory objects and semaphores, opened under their host-namespace names. Plain
// POSIX: the same code serves the target (where the names stay as written) and a host.
#include <fcntl.h>
#include <sys/mman.h>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Posix.h"

namespace CoreSystem::Platform {

int shm_open(const char* name, int oflag, mode_t mode) {
    if (InjectedFault(Call::ShmOpen)) return -1;
    return ::shm_open(SharedObjectName(name).c_str(), oflag, mode);
}

int shm_unlink(const char* name) {
    return ::shm_unlink(SharedObjectName(name).c_str());
}

sem_t* sem_open(const char* name, int oflag, mode_t mode, unsigned value) {
    return ::sem_open(SharedObjectName(name).c_str(), oflag, mode, value);
}

int sem_unlink(const char* name) {
    return ::sem_unlink(SharedObjectName(name).c_str());
}

}  // namespace CoreSystem::Platform
