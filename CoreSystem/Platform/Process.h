// Processes, priorities, path waits and the cycle counter, with the target's calls and results.
#pragma once

#include <sys/types.h>
#include <cstdint>

#if defined(__QNX__)
#include <libgen.h>
#include <process.h>
#include <sched.h>
#include <sys/neutrino.h>
#include <sys/syspage.h>
#else
// The target's spawn modes; framework code uses only these names.
#define P_WAIT 0
#define P_NOWAIT 1
#define P_NOWAITO 3
#endif

namespace CoreSystem::Platform {

/// Starts `path` with `argv` (argv[0] included, NULL-terminated). P_WAIT: returns the child's exit
/// status once it has ended; P_NOWAIT: returns its pid (the child must be waited for);
/// P_NOWAITO: returns its pid and leaves no zombie behind. -1 with errno when it cannot start.
/// The child runs with the calling thread's priority and outlives the caller.
int spawnv(int mode, const char* path, char* const argv[]);
/// As spawnv, searching PATH when `file` has no slash.
int spawnvp(int mode, const char* file, char* const argv[]);

/// Priority (0..255) of the calling thread (`pid` 0) or of thread 1 of `pid`; -1 with errno.
int getprio(pid_t pid);
/// Sets that priority and returns the previous one; -1 (EINVAL out of range, ESRCH, EPERM).
int setprio(pid_t pid, int priority);

/// Waits until `path` exists, at most `delayMs`, checking every `pollMs` (0: no polling, but the
/// wait still ends after `delayMs`). 0 when the path exists, else -1.
int waitfor(const char* path, int delayMs, int pollMs);

/// Free-running 64-bit cycle counter; CyclesPerSecond() increments make one second.
std::uint64_t ClockCycles() noexcept;
std::uint64_t CyclesPerSecond() noexcept;

}  // namespace CoreSystem::Platform
