// Interval timers whose expiries arrive as pulses, with the target's calls and results.
// On the target these are the kernel's timers; on a development host the receivers of the timer's
// channel queue its expiries when the channel is the process's own, and one service thread per
// process sends them as pulses through the channel layer otherwise.
#pragma once

#include <csignal>
#include <ctime>

#include "CoreSystem/Platform/Neutrino.h"

#if defined(__QNX__)
#include <sys/siginfo.h>
#else
#if !defined(__GLIBC__)
#error "the host's pulse events keep their fields in the C library's sigevent padding (glibc only)"
#endif
// The target's names for a pulse event. The host's struct sigevent has no such fields: the
// connection shares the signal number's place (as on the target), priority and code live in the
// padding the C library reserves. Framework code uses only these names.
#define SIGEV_PULSE 0x5050  // no host notification type has this value
#define SIGEV_PULSE_PRIO_INHERIT (-1)
#define sigev_coid sigev_signo
#define sigev_priority _sigev_un._pad[0]
#define sigev_code _sigev_un._pad[1]
#define SIGEV_PULSE_INIT(event, coid, priority, code, value) \
    ((event)->sigev_notify = SIGEV_PULSE, (event)->sigev_coid = (coid),        \
     (event)->sigev_priority = (priority), (event)->sigev_code = (code),       \
     (event)->sigev_value.sival_int = static_cast<int>(value))
#endif

namespace CoreSystem::Platform {

/// Creates a disarmed timer on `clockId` (CLOCK_MONOTONIC or CLOCK_REALTIME) whose expiries
/// send the pulse `event` describes (SIGEV_PULSE: connection, priority 1..255 or
/// SIGEV_PULSE_PRIO_INHERIT, code -128..127, value). Returns 0 with the id in `timerId`, or -1
/// with errno (EINVAL: clock, notification type or field out of range; EAGAIN: no resources).
/// A forked child does not inherit its parent's timers.
int timer_create(clockid_t clockId, struct sigevent* event, timer_t* timerId);
/// Arms (`value->it_value` non-zero; relative unless `flags` has TIMER_ABSTIME) or disarms
/// (zero it_value) a timer; a non-zero it_interval repeats it with that period. Re-arming
/// replaces the old setting, which `oldValue` (when not null) receives. A timer keeps at most one
/// undelivered pulse: an expiry whose pulse still waits in the channel sends nothing.
/// Returns 0, or -1 with errno (EINVAL: unknown timer or a field out of range).
int timer_settime(timer_t timerId, int flags, const struct itimerspec* value, struct itimerspec* oldValue);
/// Deletes a timer: no pulse is sent for it once this returns (one sent earlier may still be
/// queued). Returns 0, or -1 with EINVAL for an unknown timer.
int timer_delete(timer_t timerId);

}  // namespace CoreSystem::Platform
