// Pulse timers emulated on Linux. One service thread per process, started when a timer is first
// armed, sleeps until the earliest deadline of all armed timers and sends each expiry as a pulse
// through the channel layer. A timer keeps at most one undelivered pulse: the channel layer
// reports every pulse a receiver of this process takes (PulseTaken), and until then the timer's
// later expiries send nothing, as a POSIX timer keeps one pending signal. A pulse to a channel of
// another process cannot be seen arriving; such a timer sends every expiry and the receiving
// channel's pulse queue bounds what waits.
//
// Locks: the table's mutex guards the timers and their deadlines; MsgSendPulse runs under it, so
// no pulse leaves for a timer once timer_delete has returned (the channel layer's locks come
// after it). The delivery index has a lock of its own, taken after the table's mutex or alone
// (PulseTaken), so receivers never wait for the service thread.
#include "CoreSystem/Platform/Timer.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

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
/// Up to this many armed timers the service thread wakes precisely; beyond, with kBatchSlackNs
/// of slack (the kernel's default for sleeping threads). Measured in bench/timer_bench.
constexpr std::size_t kPreciseTimers = 4;
constexpr unsigned long kBatchSlackNs = 50000;

/// Whether a timer's last pulse still waits in its channel (timers to this process's channels).
struct Delivery {
    int chid = 0;
    int code = 0;
    int value = 0;
    std::atomic<bool> pending{false};
};

struct PulseTimer {
    clockid_t clock = CLOCK_MONOTONIC;
    int coid = -1;
    int priority = 0;
    int code = 0;
    int value = 0;
    std::shared_ptr<Delivery> delivery;  ///< null when deliveries cannot be seen
    std::uint64_t deadline = 0;          ///< next expiry, CLOCK_MONOTONIC ns; 0: disarmed
    std::uint64_t interval = 0;          ///< ns; 0: single shot
};

/// Process-local state; never destroyed, so timers stay usable while the process exits.
struct TimerTable {
    std::mutex mutex;
    std::map<long, PulseTimer> timers;
    std::set<std::pair<std::uint64_t, long>> deadlines;  ///< armed timers by expiry
    long nextId = 1;                  ///< ids are never reused within a process
    bool serviceRunning = false;
    std::uint64_t sleepingUntil = 0;  ///< the service thread's wake-up time (kNever: none)
    std::uint32_t wakeWord = 0;       ///< futex the service thread sleeps on

    std::atomic<pid_t> pid{::getpid()};  ///< this process (getpid() is a system call)
    std::mutex deliveryLock;  ///< guards `deliveries`
    std::unordered_multimap<int, std::shared_ptr<Delivery>> deliveries;  ///< by channel id
    std::atomic<int> pendingCount{0};  ///< pulses waiting to be taken: a fast path for all others
};

TimerTable& table();

void atforkPrepare() {
    table().mutex.lock();
    table().deliveryLock.lock();
}
void atforkParent() {
    table().deliveryLock.unlock();
    table().mutex.unlock();
}
void atforkChild() {
    // A child inherits no timers and no service thread.
    TimerTable& t = table();
    t.timers.clear();
    t.deadlines.clear();
    t.deliveries.clear();
    t.pendingCount.store(0);
    t.pid.store(::getpid());
    t.serviceRunning = false;
    t.sleepingUntil = 0;
    t.deliveryLock.unlock();
    t.mutex.unlock();
}

TimerTable& table() {
    static TimerTable* instance = [] {
        // The channel layer's fork handlers are registered first and so run after ours: a fork
        // takes the table's mutex before the channel layer's, the order the service thread uses.
        pid_t pid;
        int chid;
        Linux::ConnectionTarget(-1, &pid, &chid);
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

/// Wakes the service thread when the earliest deadline now lies before its wake-up. Under the mutex.
void nudge(TimerTable& t) {
    if (!t.serviceRunning || t.deadlines.empty() || t.deadlines.begin()->first >= t.sleepingUntil) return;
    t.sleepingUntil = t.deadlines.begin()->first;
    __atomic_add_fetch(&t.wakeWord, 1, __ATOMIC_RELEASE);
    Linux::futexWake(&t.wakeWord, 1);
}

void disarm(TimerTable& t, long key, PulseTimer& timer) {
    if (timer.deadline != 0) t.deadlines.erase({timer.deadline, key});
    timer.deadline = 0;
}

void clearPending(TimerTable& t, Delivery& delivery) {
    if (delivery.pending.exchange(false)) t.pendingCount.fetch_sub(1);
}

/// Sends the pulse of one expiry unless the last one still waits. Under the mutex.
void expire(TimerTable& t, PulseTimer& timer) {
    Delivery* delivery = timer.delivery.get();
    if (delivery) {
        // Marked first: the receiver may take the pulse before MsgSendPulse returns.
        if (delivery->pending.exchange(true)) return;
        t.pendingCount.fetch_add(1);
    }
    if (MsgSendPulse(timer.coid, timer.priority, timer.code, timer.value) != 0 && delivery) clearPending(t, *delivery);
}

/// Handles every timer due at `now` and schedules the next expiries. Under the mutex.
void fireDue(TimerTable& t, std::uint64_t now) {
    while (!t.deadlines.empty() && t.deadlines.begin()->first <= now) {
        const auto [due, key] = *t.deadlines.begin();
        PulseTimer& timer = t.timers[key];
        disarm(t, key, timer);
        expire(t, timer);
        if (timer.interval == 0) continue;
        // Expiries that were missed are skipped; the next one stays on the period's grid.
        std::uint64_t next = due + timer.interval;
        if (next <= now) next += ((now - next) / timer.interval + 1) * timer.interval;
        timer.deadline = next;
        t.deadlines.insert({next, key});
    }
}

void* serviceMain(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Platform::pthread_setname_np(0, "pulseTimers");
    TimerTable& t = table();
    unsigned long slack = 0;
    std::unique_lock<std::mutex> hold(t.mutex);
    for (;;) {
        fireDue(t, monotonicNs());
        // The target's timers have no slack: with few timers armed the thread wakes at the
        // deadline. With many, the kernel's usual slack lets it serve nearby expiries in one
        // wake-up, which keeps a single thread abreast of them on a busy host.
        const unsigned long wanted = t.deadlines.size() <= kPreciseTimers ? 1 : kBatchSlackNs;
        if (wanted != slack && prctl(PR_SET_TIMERSLACK, wanted, 0UL, 0UL, 0UL) == 0) slack = wanted;
        t.sleepingUntil = t.deadlines.empty() ? kNever : t.deadlines.begin()->first;
        const std::uint32_t seen = __atomic_load_n(&t.wakeWord, __ATOMIC_ACQUIRE);
        const timespec until = Linux::toTimespec(t.sleepingUntil);
        const bool forever = t.sleepingUntil == kNever;
        hold.unlock();
        Linux::futexWait(&t.wakeWord, seen, forever ? nullptr : &until);
        hold.lock();
    }
}

/// Starts the service thread once per process. Under the mutex.
bool ensureService(TimerTable& t) {
    if (t.serviceRunning) return true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, serviceMain, nullptr);
    pthread_attr_destroy(&attr);
    t.serviceRunning = rc == 0;
    t.sleepingUntil = 0;  // it looks at the deadlines before it first sleeps
    return t.serviceRunning;
}

}  // namespace

namespace Linux {

void PulseTaken(int chid, pid_t senderPid, int code, int value) noexcept {
    TimerTable& t = table();
    if (t.pendingCount.load(std::memory_order_acquire) == 0 || senderPid != t.pid.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> hold(t.deliveryLock);
    auto [first, last] = t.deliveries.equal_range(chid);
    for (auto it = first; it != last; ++it) {
        Delivery& delivery = *it->second;
        if (delivery.code == code && delivery.value == value && delivery.pending.exchange(false)) {
            t.pendingCount.fetch_sub(1);
            return;
        }
    }
}

}  // namespace Linux

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
    timer.priority = event->sigev_priority == SIGEV_PULSE_PRIO_INHERIT ? getprio(::getpid()) : event->sigev_priority;
    timer.code = event->sigev_code;
    timer.value = event->sigev_value.sival_int;
    pid_t targetPid = 0;
    int targetChid = 0;
    if (Linux::ConnectionTarget(timer.coid, &targetPid, &targetChid) && targetPid == ::getpid()) {
        timer.delivery = std::make_shared<Delivery>();
        timer.delivery->chid = targetChid;
        timer.delivery->code = timer.code;
        timer.delivery->value = timer.value;
    }
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    if (timer.delivery) {
        std::lock_guard<std::mutex> index(t.deliveryLock);
        t.deliveries.emplace(timer.delivery->chid, timer.delivery);
    }
    const long key = t.nextId++;
    t.timers[key] = timer;
    *timerId = reinterpret_cast<timer_t>(static_cast<std::intptr_t>(key));
    return 0;
}

int timer_settime(timer_t timerId, int flags, const struct itimerspec* value, struct itimerspec* oldValue) {
    if (InjectedFault(Call::TimerSettime)) return -1;
    if (!value || !validTimespec(value->it_value) || !validTimespec(value->it_interval)) {
        errno = EINVAL;
        return -1;
    }
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = findTimer(t, timerId);
    if (found == t.timers.end()) return -1;
    const long key = found->first;
    PulseTimer& timer = found->second;
    const std::uint64_t now = monotonicNs();
    if (oldValue) {
        *oldValue = itimerspec{};
        if (timer.deadline != 0) {
            oldValue->it_value = Linux::toTimespec(timer.deadline > now ? timer.deadline - now : 1);
            oldValue->it_interval = Linux::toTimespec(timer.interval);
        }
    }
    const std::uint64_t wanted = toNs(value->it_value);
    if (wanted != 0 && !ensureService(t)) {
        errno = EAGAIN;
        return -1;
    }
    disarm(t, key, timer);
    timer.interval = toNs(value->it_interval);
    if (wanted == 0) return 0;
    std::uint64_t deadline = now + wanted;
    if ((flags & TIMER_ABSTIME) && timer.clock == CLOCK_MONOTONIC) {
        deadline = wanted;
    } else if (flags & TIMER_ABSTIME) {
        // A wall-clock time becomes a monotonic one when armed; later clock changes do not move it.
        timespec wallNow;
        clock_gettime(CLOCK_REALTIME, &wallNow);
        const std::uint64_t wall = toNs(wallNow);
        deadline = wanted > wall ? now + (wanted - wall) : now;
    }
    timer.deadline = deadline;
    t.deadlines.insert({deadline, key});
    nudge(t);
    return 0;
}

int timer_delete(timer_t timerId) {
    if (InjectedFault(Call::TimerDelete)) return -1;
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = findTimer(t, timerId);
    if (found == t.timers.end()) return -1;
    const long key = found->first;
    disarm(t, key, found->second);
    if (const auto& delivery = found->second.delivery) {
        std::lock_guard<std::mutex> index(t.deliveryLock);
        clearPending(t, *delivery);
        auto [first, last] = t.deliveries.equal_range(delivery->chid);
        for (auto it = first; it != last; ++it) {
            if (it->second == delivery) {
                t.deliveries.erase(it);
                break;
            }
        }
    }
    t.timers.erase(found);
    return 0;
}

}  // namespace CoreSystem::Platform
