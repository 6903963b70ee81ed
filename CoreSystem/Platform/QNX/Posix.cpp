// Thread ids, thread names and delay() on the target: the system calls themselves.
#include "CoreSystem/Platform/Posix.h"

#include <process.h>
#include <sys/neutrino.h>
#include <unistd.h>

namespace CoreSystem::Platform {

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
