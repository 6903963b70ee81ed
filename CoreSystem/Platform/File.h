// File calls of the framework's persistent data, with the target's names, arguments and results.
// Each call checks the fault table first (Faults.h), so tests can make the next one fail.
#pragma once

#include <sys/types.h>
#include <cstddef>

namespace CoreSystem::Platform {

/// open(); -1 with errno. Fault: Call::Open.
int open(const char* path, int oflag, mode_t mode = 0);
/// read(); -1 with errno. An interrupted read is retried a bounded number of times.
ssize_t read(int fd, void* buffer, std::size_t bytes);
/// write(); the count written, or -1 with errno. Interrupted writes are retried a bounded number
/// of times. Faults: Call::Write (nothing written), Call::ShortWrite (only the first half of
/// `bytes`, rounded down, is written and that count returned; the errno given is not used).
ssize_t write(int fd, const void* buffer, std::size_t bytes);
/// Writes all `bytes` bytes, continuing after short writes; false when a write fails or writes
/// nothing.
bool WriteFully(int fd, const void* buffer, std::size_t bytes);
/// fsync(); 0, or -1 with errno. Fault: Call::Fsync.
int fsync(int fd);
/// close(); never retried (the descriptor is gone either way).
int close(int fd);
/// symlink(): creates `path` as a symbolic link holding `target`. Fault: Call::Symlink.
int symlink(const char* target, const char* path);
/// unlink().
int unlink(const char* path);
/// rename(): replaces `to` atomically. Fault: Call::Rename.
int rename(const char* from, const char* to);

/// Flushes the directory `path` itself (its entries: created, renamed and removed names) to its
/// device. 0 on success, also where the file system has no directory flush to offer; -1 with
/// errno when the directory cannot be opened or the flush fails (faults: Call::Open, Call::Fsync).
int SyncDirectory(const char* path);

}  // namespace CoreSystem::Platform
