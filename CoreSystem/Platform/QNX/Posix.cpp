// POSIX services on the target: names and paths are used as written.
#include "CoreSystem/Platform/Posix.h"

#include <fcntl.h>
#include <process.h>
#include <sys/mman.h>
#include <sys/neutrino.h>
#include <unistd.h>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"

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
pid_t gettid() noexcept {
    return ::gettid();
}
int pthread_setname_np(pthread_t thread, const char* name) noexcept {
    return ::pthread_setname_np(thread == 0 ? pthread_self() : thread, name);
}
unsigned delay(unsigned ms) noexcept {
    return ::delay(ms);
}

}  // namespace CoreSystem::Platform
