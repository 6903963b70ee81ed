// Thread ids, thread names and delay() on the target: the system calls themselves.
#include "CoreSystem/Platform/Posix.h"

#include <pthread.h>
#include <semaphore.h>
#include <cerrno>
#include <unistd.h>

namespace CoreSystem::Platform {

// procnto shows every shared-memory object under /dev/shmem (no namespace on the device).
std::string SharedObjectPath(const char* name) {
    return std::string("/dev/shmem") + (name && name[0] != '/' ? "/" : "") + (name ? name : "");
}

ThreadWake::ThreadWake() noexcept : made_(sem_init(&semaphore_, 0, 0) == 0) {}
ThreadWake::~ThreadWake() {
    if (made_) sem_destroy(&semaphore_);
}
int ThreadWake::post() noexcept {
    if (made_) return sem_post(&semaphore_);
    errno = EBADF;
    return -1;
}
int ThreadWake::wait() noexcept {
    if (made_) return sem_wait(&semaphore_);
    errno = EBADF;
    return -1;
}

// A pthread_t is the kernel's thread id there (the tid of _msg_info); every SDP has pthread_self().
pid_t gettid() noexcept {
    return static_cast<pid_t>(pthread_self());
}
int pthread_setname_np(pthread_t thread, const char* name) noexcept {
    return ::pthread_setname_np(thread == 0 ? pthread_self() : thread, name);
}
unsigned delay(unsigned ms) noexcept {
    return ::delay(ms);
}

}  // namespace CoreSystem::Platform
