// File calls behind the fault table, with bounded retries of interrupted calls. Plain POSIX: the same
// code serves the target and a development host.
#include "CoreSystem/Platform/File.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "CoreSystem/Platform/Faults.h"

namespace CoreSystem::Platform {

namespace {

/// Bound on the retries of a call interrupted by a signal.
constexpr int kEintrRetries = 16;

template <typename Result, typename Callable>
Result Retried(Callable call) {
    Result result = call();
    for (int retries = 0; result == -1 && errno == EINTR && retries < kEintrRetries; ++retries) {
        result = call();
    }
    return result;
}

}  // namespace

int open(const char* path, int oflag, mode_t mode) {
    if (InjectedFault(Call::Open)) return -1;
    return Retried<int>([&] { return ::open(path, oflag, mode); });
}

ssize_t read(int fd, void* buffer, std::size_t bytes) {
    return Retried<ssize_t>([&] { return ::read(fd, buffer, bytes); });
}

ssize_t write(int fd, const void* buffer, std::size_t bytes) {
    if (InjectedFault(Call::Write)) return -1;
    if (InjectedFault(Call::ShortWrite)) bytes /= 2;
    if (bytes == 0) return 0;
    return Retried<ssize_t>([&] { return ::write(fd, buffer, bytes); });
}

bool WriteFully(int fd, const void* buffer, std::size_t bytes) {
    for (std::size_t done = 0; done < bytes;) {
        const ssize_t n = write(fd, static_cast<const char*>(buffer) + done, bytes - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int fsync(int fd) {
    if (InjectedFault(Call::Fsync)) return -1;
    return Retried<int>([&] { return ::fsync(fd); });
}

int close(int fd) {
    return ::close(fd);
}

int symlink(const char* target, const char* path) {
    if (InjectedFault(Call::Symlink)) return -1;
    return ::symlink(target, path);
}

int unlink(const char* path) {
    return ::unlink(path);
}

int rename(const char* from, const char* to) {
    if (InjectedFault(Call::Rename)) return -1;
    return ::rename(from, to);
}

int SyncDirectory(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) return -1;
    int result = fsync(fd);
    // Some file systems cannot flush a directory on its own; their entries are as safe as they get.
    if (result == -1 && (errno == EINVAL || errno == EOPNOTSUPP)) result = 0;
    const int error = errno;
    close(fd);
    errno = error;
    return result;
}

}  // namespace CoreSystem::Platform
