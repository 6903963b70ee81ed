// Thread ids, thread names cut to Linux's limit, and the target's delay() on a Linux host.
#include "CoreSystem/Platform/Posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "CoreSystem/Platform/Environment.h"

namespace CoreSystem::Platform {

namespace {
// Linux thread names hold 15 bytes plus the terminating NUL.
constexpr std::size_t kThreadNameMax = 15;

// Thread ids are cached per thread; a fork gives the child's thread a new id, so the cache
// remembers the fork generation it was filled in.
std::atomic<unsigned> gForkGeneration{1};
struct CachedTid {
    unsigned generation = 0;
    pid_t tid = 0;
};
thread_local CachedTid tCachedTid;
}  // namespace

ThreadWake::ThreadWake() noexcept : fds_{-1, -1} {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

ThreadWake::~ThreadWake() {
    for (int fd : fds_) {
        if (fd >= 0) close(fd);
    }
}

int ThreadWake::post() noexcept {
    const char token = 1;
    for (;;) {
        if (write(fds_[1], &token, 1) == 1) return 0;
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;  // a full pipe holds a wake-up for every waiter
    }
}

int ThreadWake::wait() noexcept {
    for (;;) {
        char token;
        if (read(fds_[0], &token, 1) == 1) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
        // poll, unlike read, is not restarted after a signal handler: a signal ends the wait as
        // it ends a semaphore's.
        pollfd readable{fds_[0], POLLIN, 0};
        if (poll(&readable, 1, -1) < 0) return -1;
    }
}

// Linux keeps POSIX shared-memory objects as files in this tmpfs.
std::string SharedObjectPath(const char* name) {
    const std::string object = SharedObjectName(name);
    return object.empty() || object[0] != '/' ? "/dev/shm/" + object : "/dev/shm" + object;
}

pid_t gettid() noexcept {
    static const int registered =
        ::pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
    const unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
    if (tCachedTid.generation != generation) {
        tCachedTid.tid = static_cast<pid_t>(::syscall(SYS_gettid));
        tCachedTid.generation = generation;
    }
    return tCachedTid.tid;
}

int pthread_setname_np(pthread_t thread, const char* name) noexcept {
    if (thread == pthread_t{}) thread = ::pthread_self();
    // A null name removes the name on the target; the nearest on Linux is an empty one.
    char cut[kThreadNameMax + 1] = {};
    if (name) {
        std::size_t length = ::strnlen(name, kThreadNameMax + 1);
        if (length > kThreadNameMax) {
            length = kThreadNameMax;
            // Do not leave half of a UTF-8 character at the end.
            while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
        }
        std::memcpy(cut, name, length);
    }
    return ::pthread_setname_np(thread, cut);
}

unsigned delay(unsigned ms) noexcept {
    timespec wanted{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    if (::nanosleep(&wanted, &left) == 0 || errno != EINTR) return 0;
    // Round up: a sleep cut short by less than a millisecond is still reported as cut short.
    // Linux may report slightly more than was asked when the signal came at once.
    const unsigned long long nanos = static_cast<unsigned long long>(left.tv_sec) * 1000000000ULL +
                                     static_cast<unsigned long long>(left.tv_nsec);
    const unsigned long long unslept = (nanos + 999999ULL) / 1000000ULL;
    return unslept < ms ? static_cast<unsigned>(unslept) : ms;
}

}  // namespace CoreSystem::Platform
