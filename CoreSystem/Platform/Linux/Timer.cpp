// Pulse timers emulated on Linux. A receiver of this process that waits on a channel the
// process's timers aim at keeps those timers while it waits: it sleeps until the earliest expiry
// and sends the pulse itself, so an expiry costs one wake-up, as on the target. Every other armed
// timer (its channel's receiver is busy, or the channel is another process's) is kept by one
// service thread per process, started when a timer is first armed, which sleeps on a timerfd set
// to the earliest of its deadlines and sends each expiry as a pulse through the channel layer.
// The receiver hands its timers back to the service thread as soon as it wakes.
//
// A timer keeps at most one undelivered pulse: the channel layer reports every pulse a receiver
// of this process takes (PulseTaken), and until then the timer's later expiries send nothing, as
// a POSIX timer keeps one pending signal. A pulse to a channel of another process cannot be seen
// arriving; such a timer sends every expiry and the receiving channel's pulse queue bounds what
// waits.
//
// Locks: the table's mutex guards the timers, their deadlines, which receiver keeps them and the
// service thread's timerfd setting; MsgSendPulse runs under it, so no pulse leaves for a timer
// once timer_delete has returned (the channel layer's locks come after it; receivers call in with
// none of them held). The delivery index has a lock of its own, taken after the table's mutex or
// alone (PulseTaken), so taking a pulse never waits for the table.
#include "CoreSystem/Platform/Timer.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <algorithm>
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
/// Up to this many timers aimed at the process's own channels, a waiting receiver expires its
/// channel's timers itself (one wake-up per expiry). With more, each receiver's hand-over and
/// hand-back would cost more than it saves: the service thread sends them all, batching expiries
/// that fall close together.
constexpr std::size_t kReceiverKeptTimers = 4;

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
    bool withService = false;            ///< armed and kept by the service thread, not a receiver
};

/// The timers aimed at one channel of this process, and whether a receiver waiting on it keeps them.
struct ChannelTimers {
    std::vector<long> timers;
    bool kept = false;
    std::uint64_t keptUntil = 0;  ///< when that receiver wakes at the latest
};

/// Process-local state; never destroyed, so timers stay usable while the process exits.
struct TimerTable {
    std::mutex mutex;
    std::map<long, PulseTimer> timers;
    std::set<std::pair<std::uint64_t, long>> deadlines;  ///< armed timers the service thread keeps
    std::unordered_map<int, ChannelTimers> channels;    ///< timers to this process's channels
    std::atomic<std::size_t> channelTimers{0};          ///< timers in `channels`: receivers' fast path
    long nextId = 1;                                    ///< ids are never reused within a process
    bool serviceRunning = false;
    int timerFd = -1;                ///< the service thread sleeps on it
    std::uint64_t serviceAt = kNever;  ///< when timerFd expires (kNever: disarmed)

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
    // A child inherits no timers and no service thread; the timerfd is still its parent's.
    TimerTable& t = table();
    t.timers.clear();
    t.deadlines.clear();
    t.channels.clear();
    t.channelTimers.store(0);
    t.deliveries.clear();
    t.pendingCount.store(0);
    t.pid.store(::getpid());
    t.serviceRunning = false;
    if (t.timerFd >= 0) ::close(t.timerFd);
    t.timerFd = -1;
    t.serviceAt = kNever;
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

/// Sets the service thread's timerfd to the earliest deadline it keeps. Changing it never wakes
/// the thread. Under the mutex.
void rearmService(TimerTable& t) {
    const std::uint64_t wanted = t.deadlines.empty() ? kNever : t.deadlines.begin()->first;
    if (wanted == t.serviceAt || t.timerFd < 0) return;
    itimerspec setting{};  // zero: disarmed
    if (wanted != kNever) setting.it_value = Linux::toTimespec(std::max<std::uint64_t>(wanted, 1));
    if (timerfd_settime(t.timerFd, TFD_TIMER_ABSTIME, &setting, nullptr) == 0) t.serviceAt = wanted;
}

/// Arms `timer` for `deadline`: the receiver keeping its channel's timers keeps it too when that
/// receiver wakes by then, else the service thread does. Under the mutex; rearmService follows.
void schedule(TimerTable& t, long key, PulseTimer& timer, std::uint64_t deadline) {
    timer.deadline = deadline;
    const ChannelTimers* channel = nullptr;
    if (timer.delivery) {
        const auto found = t.channels.find(timer.delivery->chid);
        if (found != t.channels.end()) channel = &found->second;
    }
    timer.withService = !channel || !channel->kept || deadline < channel->keptUntil;
    if (timer.withService) t.deadlines.insert({deadline, key});
}

void disarm(TimerTable& t, long key, PulseTimer& timer) {
    if (timer.withService) t.deadlines.erase({timer.deadline, key});
    timer.deadline = 0;
    timer.withService = false;
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

/// Expires a due timer and schedules its next expiry. Under the mutex.
void fire(TimerTable& t, long key, PulseTimer& timer, std::uint64_t now) {
    const std::uint64_t due = timer.deadline;
    disarm(t, key, timer);
    expire(t, timer);
    if (timer.interval == 0) return;
    // Expiries that were missed are skipped; the next one stays on the period's grid.
    std::uint64_t next = due + timer.interval;
    if (next <= now) next += ((now - next) / timer.interval + 1) * timer.interval;
    schedule(t, key, timer, next);
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
            fire(t, key, t.timers[key], now);
        }
        rearmService(t);
    }
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
    const int rc = pthread_create(&thread, &attr, serviceMain, reinterpret_cast<void*>(static_cast<std::intptr_t>(t.timerFd)));
    pthread_attr_destroy(&attr);
    t.serviceRunning = rc == 0;
    if (!t.serviceRunning) {
        ::close(t.timerFd);
        t.timerFd = -1;
    }
    return t.serviceRunning;
}

/// A thread that keeps timers wakes at their expiry, not up to the host's default timer slack
/// (50 us) later: the target's timers have no such slack. Set once per thread.
void wakeWithoutSlack() {
    thread_local bool set = false;
    if (!set) set = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
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

bool ReceiverWaits(int chid, std::uint64_t* until) noexcept {
    TimerTable& t = table();
    const std::size_t timers = t.channelTimers.load(std::memory_order_acquire);
    if (timers == 0 || timers > kReceiverKeptTimers) return false;
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = t.channels.find(chid);
    if (found == t.channels.end() || found->second.kept) return false;
    ChannelTimers& channel = found->second;
    std::uint64_t earliest = kNever;
    for (const long key : channel.timers) {
        const std::uint64_t deadline = t.timers[key].deadline;
        if (deadline != 0) earliest = std::min(earliest, deadline);
    }
    if (earliest == kNever) return false;
    *until = std::min(*until, earliest);
    channel.kept = true;
    channel.keptUntil = *until;
    for (const long key : channel.timers) {
        PulseTimer& timer = t.timers[key];
        if (timer.withService) t.deadlines.erase({timer.deadline, key});
        timer.withService = false;
    }
    rearmService(t);
    wakeWithoutSlack();
    return true;
}

bool ReceiverWoke(int chid) noexcept {
    TimerTable& t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    const auto found = t.channels.find(chid);
    if (found == t.channels.end()) return false;
    ChannelTimers& channel = found->second;
    channel.kept = false;
    const std::uint64_t now = monotonicNs();
    bool due = false;
    for (const long key : channel.timers) {
        PulseTimer& timer = t.timers[key];
        if (timer.deadline == 0 || timer.withService) continue;
        if (timer.deadline <= now) {
            fire(t, key, timer, now);
            due = true;
        } else {
            schedule(t, key, timer, timer.deadline);  // back to the service thread
        }
    }
    if (channel.timers.empty()) t.channels.erase(found);
    rearmService(t);
    return due;
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
    const long key = t.nextId++;
    if (timer.delivery) {
        std::lock_guard<std::mutex> index(t.deliveryLock);
        t.deliveries.emplace(timer.delivery->chid, timer.delivery);
        t.channels[timer.delivery->chid].timers.push_back(key);
        t.channelTimers.fetch_add(1);
    }
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
    if (wanted != 0) {
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
        schedule(t, key, timer, deadline);
    }
    rearmService(t);
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
    rearmService(t);
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
        ChannelTimers& channel = t.channels[delivery->chid];
        channel.timers.erase(std::find(channel.timers.begin(), channel.timers.end(), key));
        if (channel.timers.empty() && !channel.kept) t.channels.erase(delivery->chid);
        t.channelTimers.fetch_sub(1);
    }
    t.timers.erase(found);
    return 0;
}

}  // namespace CoreSystem::Platform
