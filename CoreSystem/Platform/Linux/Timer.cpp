// Pulse timers emulated on Linux. A timer aimed at a channel of this process is listed in that
// channel's timers record and expired by the channel's receivers: each receive first queues the
// pulses that are due, then waits at most until the next expiry, so an expiry costs one wake-up, as
// on the target. A pulse that became due while no receiver waited is queued at the next receive,
// ordered as if it had arrived at its expiry (the channel layer keeps its place in the arrival
// order); re-arming or deleting a timer first queues an expiry it already reached, and a detached
// connection carries no more pulses, as on the target. Timers aimed at channels of other processes
// are kept by one service thread per process, started when such a timer is first armed, which
// sleeps on a timerfd set to the earliest of their deadlines and sends each expiry as a pulse
// through the channel layer.
//
// A timer aimed at this process's channel keeps at most one undelivered pulse: until its pulse is
// taken, its later expiries send nothing, as a POSIX timer keeps one pending signal. A pulse to a
// channel of another process cannot be seen arriving; such a timer sends every expiry and the
// receiving channel's pulse queue bounds what waits.
//
// Locks: the table's mutex guards the timers and the service thread's deadlines and timerfd
// setting; MsgSendPulse runs under it. A channel's timers record has a lock of its own, taken after
// the table's mutex (or alone, by receivers) and before the channel layer's locks; pulses of this
// process's timers are queued under it. So no pulse leaves for a timer once timer_delete has returned.
#include "CoreSystem/Platform/Timer.h"

#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Linux/Futex.h"
#include "CoreSystem/Platform/Linux/PulseTimers.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Process.h"

namespace CoreSystem::Platform {

namespace {

using Linux::monotonicNs;

constexpr std::uint64_t kNsPerSecond = 1000000000ull;
constexpr std::uint64_t kNever = UINT64_MAX;

struct PulseTimer {
    clockid_t clock = CLOCK_MONOTONIC;
    int coid = -1;
    /// Set when the timer aims at a channel of this process: `expiry` is listed there and guarded
    /// by its lock. Otherwise `expiry` is the service thread's, under the table's mutex.
    std::shared_ptr<Linux::ChannelTimers> own;
    Linux::ChannelTimer expiry;
};

/// Process-local state; never destroyed, so timers stay usable while the process exits.
struct TimerTable {
    std::mutex mutex;
    std::map<long, PulseTimer> timers;
    std::set<std::pair<std::uint64_t, long>> deadlines;  ///< armed timers the service thread keeps
    long nextId = 1;                                    ///< ids are never reused within a process
    bool serviceRunning = false;
    int timerFd = -1;                  ///< the service thread sleeps on it
    std::uint64_t serviceAt = kNever;  ///< when timerFd expires (kNever: disarmed)
};

TimerTable& table();

void atforkPrepare() {
    table().mutex.lock();
}
void atforkParent() {
    table().mutex.unlock();
}
void atforkChild() {
    // A child inherits no timers and no service thread; the timerfd is still its parent's.
    TimerTable& t = table();
    t.timers.clear();
    t.deadlines.clear();
    t.serviceRunning = false;
    if (t.timerFd >= 0) ::close(t.timerFd);
    t.timerFd = -1;
    t.serviceAt = kNever;
    t.mutex.unlock();
}

TimerTable& table() {
    static TimerTable* instance = [] {
        // The channel layer's fork handlers are registered first and so run after ours: a fork
        // takes the table's mutex before the channel layer's locks, the order the service thread uses.
        std::shared_ptr<const std::atomic<bool>> attached;
        Linux::OwnChannelTimers(-1, &attached);
        auto* created = new TimerTable;
        pthread_atfork(atforkPrepare, atforkParent, atforkChild);
        return created;
    }();
    return *instance;
}

std::uint64_t toNs(const timespec& value) {
    return static_cast<std::uint64_t>(value.tv_sec) * kNsPerSecond + static_cast<std::uint64_t>(value.tv_nsec);
}

bool validTimespec(const timespec& value) {
    return value.tv_sec >= 0 && value.tv_nsec >= 0 && value.tv_nsec < static_cast<long>(kNsPerSecond);
}

/// The timer `id` names; the end of the table (errno EINVAL) when none. Under the mutex.
std::map<long, PulseTimer>::iterator findTimer(TimerTable& t, timer_t id) {
    const auto found = t.timers.find(static_cast<long>(reinterpret_cast<std::intptr_t>(id)));
    if (found == t.timers.end()) errno = EINVAL;
    return found;
}

/// Sets the service thread's timerfd to the earliest deadline it keeps. Changing it never wakes
/// the thread. Under the mutex.
void rearmService(TimerTable& t) {
    const std::uint64_t wanted = t.deadlines.empty() ? kNever : t.deadlines.begin()->first;
    if (wanted == t.serviceAt || t.timerFd < 0) return;
    itimerspec setting{};  // zero: disarmed
    if (wanted != kNever) setting.it_value = Linux::toTimespec(std::max<std::uint64_t>(wanted, 1));
    if (timerfd_settime(t.timerFd, TFD_TIMER_ABSTIME, &setting, nullptr) == 0) t.serviceAt = wanted;
}

/// Arms or disarms (deadline 0) a timer the service thread keeps. Under the mutex; rearmService follows.
void schedule(TimerTable& t, long key, Linux::ChannelTimer& expiry, std::uint64_t deadline) {
    if (expiry.deadline != 0) t.deadlines.erase({expiry.deadline, key});
    expiry.deadline = deadline;
    if (deadline != 0) t.deadlines.insert({deadline, key});
}

void* serviceMain(void* fd) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Platform::pthread_setname_np(0, "pulseTimers");
    const int timerFd = static_cast<int>(reinterpret_cast<std::intptr_t>(fd));
    TimerTable& t = table();
    for (;;) {
        std::uint64_t expirations;
        if (::read(timerFd, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations)) continue;
        std::lock_guard<std::mutex> hold(t.mutex);
        t.serviceAt = kNever;  // a timerfd without an interval is disarmed once it has expired
        const std::uint64_t now = monotonicNs();
        while (!t.deadlines.empty() && t.deadlines.begin()->first <= now) {
            const long key = t.deadlines.begin()->second;
            PulseTimer& timer = t.timers[key];
            Linux::ChannelTimer& expiry = timer.expiry;
            MsgSendPulse(timer.coid, expiry.priority, expiry.code, expiry.value);
            const std::uint64_t next =
                expiry.interval == 0 ? 0 : Linux::NextExpiry(expiry.deadline, expiry.interval, now);
            schedule(t, key, expiry, next);
        }
        rearmService(t);
    }
}

/// Before a timer aimed at this process's channel changes, the expiry it already reached is queued,
/// as the target's kernel would have queued it: no receiver may have looked since. Under its lock.
void queueDue(Linux::ChannelTimers& own, const Linux::ChannelTimer& expiry, std::uint64_t now) {
    if (expiry.deadline != 0 && expiry.deadline <= now) Linux::TimersChanged(own);
}

/// Starts the service thread once per process. Under the mutex.
bool ensureService(TimerTable& t) {
    if (t.serviceRunning) return true;
    t.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (t.timerFd < 0) return false;
    t.serviceAt = kNever;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    void* argument = reinterpret_cast<void*>(static_cast<std::intptr_t>(t.timerFd));
    const int rc = pthread_create(&thread, &attr, serviceMain, argument);
    pthread_attr_destroy(&attr);
    t.serviceRunning = rc == 0;
    if (!t.serviceRunning) {
        ::close(t.timerFd);
        t.timerFd = -1;
    }
    return t.serviceRunning;
}

}  // namespace

int timer_create(clockid_t clockId, struct sigevent* event, timer_t* timerId) {
    if (InjectedFault(Call::TimerCreate)) return -1;
    if (!event || !timerId || (clockId != CLOCK_MONOTONIC && clockId != CLOCK_REALTIME) ||
        event->sigev_notify != SIGEV_PULSE || event->sigev_code < -128 || event->sigev_code > 127 ||
        (event->sigev_priority != SIGEV_PULSE_PRIO_INHERIT &&
         (event->sigev_priority < 1 || event->sigev_priority > 255))) {
        errno = EINVAL;
        return -1;
    }
    PulseTimer timer;
    timer.clock = clockId;
    timer.coid = event->sigev_coid;
    const bool inherit = event->sigev_priority == SIGEV_PULSE_PRIO_INHERIT;
    timer.expiry.priority = inherit ? getprio(::getpid()) : event->sigev_priority;
    timer.expiry.code = event->sigev_code;
    timer.expiry.value = event->sigev_value.sival_int;
    timer.own = Linux::OwnChannelTimers(timer.coid, &timer.expiry.attached);
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const long key = t.nextId++;
    PulseTimer& created = t.timers.emplace(key, std::move(timer)).first->second;
    if (Linux::ChannelTimers* own = created.own.get()) {
        std::lock_guard<std::mutex> listed(own->lock);
        own->timers.push_back(&created.expiry);
        own->count.store(own->timers.size(), std::memory_order_release);
        own->wakeAt = kNever;  // a receiver that saw no timers waits without limit
    }
    *timerId = reinterpret_cast<timer_t>(static_cast<std::intptr_t>(key));
    return 0;
}

int timer_settime(timer_t timerId, int flags, const struct itimerspec* value, struct itimerspec* oldValue) {
    if (InjectedFault(Call::TimerSettime)) return -1;
    if (!value || !validTimespec(value->it_value) || !validTimespec(value->it_interval)) {
        errno = EINVAL;
        return -1;
    }
    const std::uint64_t now = monotonicNs();  // a relative time counts from the call
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = findTimer(t, timerId);
    if (found == t.timers.end()) return -1;
    const long key = found->first;
    PulseTimer& timer = found->second;
    const std::uint64_t wanted = toNs(value->it_value);
    if (wanted != 0 && !timer.own && !ensureService(t)) {
        errno = EAGAIN;
        return -1;
    }
    std::unique_lock<std::mutex> listed;
    if (timer.own) listed = std::unique_lock<std::mutex>(timer.own->lock);
    Linux::ChannelTimer& expiry = timer.expiry;
    if (timer.own) queueDue(*timer.own, expiry, now);
    if (oldValue) {
        *oldValue = itimerspec{};
        if (expiry.deadline != 0) {
            oldValue->it_value = Linux::toTimespec(expiry.deadline > now ? expiry.deadline - now : 1);
            oldValue->it_interval = Linux::toTimespec(expiry.interval);
        }
    }
    std::uint64_t deadline = 0;
    if (wanted != 0) {
        deadline = now + wanted;
        if ((flags & TIMER_ABSTIME) && timer.clock == CLOCK_MONOTONIC) {
            deadline = wanted;
        } else if (flags & TIMER_ABSTIME) {
            // A wall-clock time becomes a monotonic one when armed; later clock changes do not move it.
            timespec wallNow;
            clock_gettime(CLOCK_REALTIME, &wallNow);
            const std::uint64_t wall = toNs(wallNow);
            deadline = wanted > wall ? now + (wanted - wall) : now;
        }
    }
    expiry.interval = toNs(value->it_interval);
    if (timer.own) {
        expiry.deadline = deadline;
        if (deadline != 0) Linux::TimersChanged(*timer.own);  // a receiver waiting for an old expiry just looks again
    } else {
        schedule(t, key, expiry, deadline);
        rearmService(t);
    }
    return 0;
}

int timer_delete(timer_t timerId) {
    if (InjectedFault(Call::TimerDelete)) return -1;
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = findTimer(t, timerId);
    if (found == t.timers.end()) return -1;
    PulseTimer& timer = found->second;
    if (Linux::ChannelTimers* own = timer.own.get()) {
        std::lock_guard<std::mutex> listed(own->lock);
        queueDue(*own, timer.expiry, monotonicNs());
        own->timers.erase(std::find(own->timers.begin(), own->timers.end(), &timer.expiry));
        own->count.store(own->timers.size(), std::memory_order_release);
    } else {
        schedule(t, found->first, timer.expiry, 0);
        rearmService(t);
    }
    t.timers.erase(found);
    return 0;
}

}  // namespace CoreSystem::Platform
