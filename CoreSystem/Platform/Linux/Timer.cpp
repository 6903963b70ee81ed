// Pulse timers emulated on Linux. One service thread per process, started when a timer is first
// armed, sleeps on a timerfd set to the earliest deadline of all armed timers and sends each
// expiry as a pulse through the channel layer. A timer keeps at most one undelivered pulse: the
// channel layer reports every pulse a receiver of this process takes (PulseTaken), and until
// then the timer's later expiries send nothing, as a POSIX timer keeps one pending signal.
// A pulse to a channel of another process cannot be seen arriving; such a timer sends every
// expiry and the receiving channel's pulse queue bounds what waits.
//
// Lock order: the timer table's mutex, then the channel layer's locks (MsgSendPulse runs under
// it, so that no pulse leaves for a timer once timer_delete has returned). The channel layer
// calls PulseTaken without holding any of its locks.
#include "CoreSystem/Platform/Timer.h"

#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
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

struct PulseTimer {
    clockid_t clock = CLOCK_MONOTONIC;
    int coid = -1;
    int priority = 0;
    int code = 0;
    int value = 0;
    int targetChid = 0;
    bool observable = false;  ///< the channel is this process's own: deliveries are reported
    bool pending = false;     ///< a pulse was sent and not yet taken by a receiver
    std::uint64_t deadline = 0;  ///< next expiry, CLOCK_MONOTONIC ns; 0: disarmed
    std::uint64_t interval = 0;  ///< ns; 0: single shot
};

/// Process-local table; never destroyed, so timers stay usable while the process exits.
struct TimerTable {
    std::mutex mutex;
    std::map<long, PulseTimer> timers;
    std::set<std::pair<std::uint64_t, long>> deadlines;  ///< armed timers by expiry
    long nextId = 1;           ///< ids are never reused within a process
    int clockFd = -1;          ///< the service thread's timerfd; -1 until it runs
    std::atomic<int> pendingObservable{0};  ///< timers waiting for PulseTaken (a fast path for all others)
};

TimerTable& table();

void atforkPrepare() {
    table().mutex.lock();
}
void atforkParent() {
    table().mutex.unlock();
}
void atforkChild() {
    // A child inherits no timers and no service thread; its copy of the timerfd is the parent's
    // timer and must not be touched.
    TimerTable& t = table();
    if (t.clockFd >= 0) close(t.clockFd);
    t.clockFd = -1;
    t.timers.clear();
    t.deadlines.clear();
    t.pendingObservable.store(0);
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

bool timerOf(timer_t id, long* key) {
    *key = static_cast<long>(reinterpret_cast<std::intptr_t>(id));
    return *key > 0;
}

/// Points the service thread's timerfd at the earliest deadline (or disarms it). Under the mutex.
void reprogram(TimerTable& t) {
    if (t.clockFd < 0) return;
    itimerspec next{};
    if (!t.deadlines.empty()) next.it_value = Linux::toTimespec(t.deadlines.begin()->first);
    timerfd_settime(t.clockFd, TFD_TIMER_ABSTIME, &next, nullptr);
}

void disarm(TimerTable& t, long key, PulseTimer& timer) {
    if (timer.deadline != 0) t.deadlines.erase({timer.deadline, key});
    timer.deadline = 0;
}

void setPending(TimerTable& t, PulseTimer& timer, bool pending) {
    if (timer.pending == pending) return;
    timer.pending = pending;
    t.pendingObservable.fetch_add(pending ? 1 : -1, std::memory_order_relaxed);
}

/// Sends the pulses of every timer due at `now` and schedules their next expiries. Under the mutex.
void fireDue(TimerTable& t, std::uint64_t now) {
    while (!t.deadlines.empty() && t.deadlines.begin()->first <= now) {
        const auto [due, key] = *t.deadlines.begin();
        PulseTimer& timer = t.timers[key];
        disarm(t, key, timer);
        if (!timer.pending) {
            // Marked first: the receiver may take the pulse before MsgSendPulse returns.
            setPending(t, timer, timer.observable);
            if (MsgSendPulse(timer.coid, timer.priority, timer.code, timer.value) != 0) setPending(t, timer, false);
        }
        if (timer.interval == 0) continue;
        // Expiries that were missed are skipped; the next one stays on the period's grid.
        std::uint64_t next = due + timer.interval;
        if (next <= now) next += ((now - next) / timer.interval + 1) * timer.interval;
        timer.deadline = next;
        t.deadlines.insert({next, key});
    }
}

void* serviceMain(void* clockFd) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Platform::pthread_setname_np(0, "pulseTimers");
    TimerTable& t = table();
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(clockFd));
    for (;;) {
        std::uint64_t expirations;
        if (read(fd, &expirations, sizeof expirations) < 0 && errno != EINTR && errno != EAGAIN) return nullptr;
        std::lock_guard<std::mutex> hold(t.mutex);
        fireDue(t, monotonicNs());
        reprogram(t);
    }
}

/// Starts the service thread once per process. Under the mutex.
bool ensureService(TimerTable& t) {
    if (t.clockFd >= 0) return true;
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) return false;
    t.clockFd = fd;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, serviceMain, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    pthread_attr_destroy(&attr);
    if (rc == 0) return true;
    close(fd);
    t.clockFd = -1;
    return false;
}

}  // namespace

namespace Linux {

void PulseTaken(int chid, pid_t senderPid, int code, int value) noexcept {
    TimerTable& t = table();
    if (t.pendingObservable.load(std::memory_order_relaxed) == 0 || senderPid != ::getpid()) return;
    std::lock_guard<std::mutex> hold(t.mutex);
    for (auto& [key, timer] : t.timers) {
        if (timer.pending && timer.targetChid == chid && timer.code == code && timer.value == value) {
            setPending(t, timer, false);
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
    timer.observable = Linux::ConnectionTarget(timer.coid, &targetPid, &timer.targetChid) && targetPid == ::getpid();
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const long key = t.nextId++;
    t.timers[key] = timer;
    *timerId = reinterpret_cast<timer_t>(static_cast<std::intptr_t>(key));
    return 0;
}

int timer_settime(timer_t timerId, int flags, const struct itimerspec* value, struct itimerspec* oldValue) {
    if (InjectedFault(Call::TimerSettime)) return -1;
    long key;
    if (!timerOf(timerId, &key) || !value || !validTimespec(value->it_value) ||
        !validTimespec(value->it_interval)) {
        errno = EINVAL;
        return -1;
    }
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    auto found = t.timers.find(key);
    if (found == t.timers.end()) {
        errno = EINVAL;
        return -1;
    }
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
    if (wanted != 0) {
        std::uint64_t deadline = now + wanted;
        if ((flags & TIMER_ABSTIME) && timer.clock == CLOCK_MONOTONIC) {
            deadline = wanted;
        } else if (flags & TIMER_ABSTIME) {
            // A wall-clock time is turned into a monotonic one when armed; later clock changes
            // do not move it.
            timespec wallNow;
            clock_gettime(CLOCK_REALTIME, &wallNow);
            const std::uint64_t wall = toNs(wallNow);
            deadline = wanted > wall ? now + (wanted - wall) : now;
        }
        timer.deadline = deadline;
        t.deadlines.insert({deadline, key});
    }
    reprogram(t);
    return 0;
}

int timer_delete(timer_t timerId) {
    if (InjectedFault(Call::TimerDelete)) return -1;
    long key;
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    auto found = timerOf(timerId, &key) ? t.timers.find(key) : t.timers.end();
    if (found == t.timers.end()) {
        errno = EINVAL;
        return -1;
    }
    disarm(t, key, found->second);
    setPending(t, found->second, false);
    t.timers.erase(found);
    reprogram(t);
    return 0;
}

}  // namespace CoreSystem::Platform
