// TimerListener: a private channel, a pulse timer on it and the thread that calls back.
#include "CoreSystem/Application/TimerListener.h"

#include <cerrno>
#include <cstring>

#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Platform/Slog.h"

namespace CoreSystem {

namespace {

constexpr int kTimerPulseCode = 1;
/// Sent by the destructor on the listener's own connection: any code but the timer's ends the thread.
constexpr int kEndPulseCode = 2;
constexpr int kLogCode = 10000;

/// The listener whose callback the calling thread runs, and whether that callback destroyed it.
struct Running {
    const TimerListener* listener = nullptr;
    bool destroyed = false;
};
thread_local Running tRunning;

timespec fromMs(unsigned ms) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return value;
}

}  // namespace

TimerListener::TimerListener()
    : pulseCode_(kTimerPulseCode),
      callback_(nullptr),
      argument_(nullptr),
      chid_(-1),
      timerId_(),
      event_(),
      coid_(-1),
      thread_(),
      timerCreated_(false),
      threadStarted_(false) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutex_init(&callbackLock_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    chid_ = Platform::ChannelCreate(0);
    if (chid_ != -1) coid_ = Platform::ConnectAttach(0, 0, chid_, _NTO_SIDE_CHANNEL, 0);
    SIGEV_PULSE_INIT(&event_, coid_, Platform::getprio(0), pulseCode_, 0);
    if (coid_ != -1) timerCreated_ = Platform::timer_create(CLOCK_MONOTONIC, &event_, &timerId_) == 0;
    if (chid_ != -1) threadStarted_ = pthread_create(&thread_, nullptr, listen, this) == 0;
    if (!timerCreated_ || !threadStarted_) {
        Platform::slogf(kLogCode, _SLOG_ERROR, "TimerListener: set-up failed (channel %d, connection %d, timer %s, thread %s)",
                        chid_, coid_, timerCreated_ ? "made" : "missing", threadStarted_ ? "running" : "missing");
    }
}

TimerListener::~TimerListener() {
    if (tRunning.listener == this) {
        releaseFromCallback();
        return;
    }
    // Waits for a running callback; none starts afterwards.
    pthread_mutex_lock(&callbackLock_);
    callback_ = nullptr;
    argument_ = nullptr;
    pthread_mutex_unlock(&callbackLock_);
    if (timerCreated_) {
        stop();
        Platform::timer_delete(timerId_);
    }
    if (threadStarted_) {
        if (coid_ == -1 || Platform::MsgSendPulse(coid_, -1, kEndPulseCode, 0) == -1) {
            // Without the pulse, the channel's end fails the thread's receive and so ends it.
            Platform::ChannelDestroy(chid_);
            chid_ = -1;
        }
        pthread_join(thread_, nullptr);
    }
    if (coid_ != -1) Platform::ConnectDetach(coid_);
    if (chid_ != -1) Platform::ChannelDestroy(chid_);
    pthread_mutex_destroy(&callbackLock_);
}

void TimerListener::releaseFromCallback() {
    // The thread that would be waited for is the caller: release everything here, and the loop
    // returns without touching this object again.
    Platform::slogf(kLogCode, _SLOG_ERROR, "TimerListener: destroyed from its own callback; released without waiting");
    tRunning.destroyed = true;
    if (timerCreated_) {
        stop();
        Platform::timer_delete(timerId_);
    }
    pthread_mutex_unlock(&callbackLock_);
    pthread_mutex_destroy(&callbackLock_);
    if (coid_ != -1) Platform::ConnectDetach(coid_);
    Platform::ChannelDestroy(chid_);
    pthread_detach(pthread_self());
}

int TimerListener::stop() {
    return start(0, 0);
}

int TimerListener::start(unsigned periodMs, unsigned firstMs) {
    if (!timerCreated_) {
        errno = EINVAL;
        return -1;
    }
    itimerspec setting{};
    setting.it_value = fromMs(firstMs);
    setting.it_interval = fromMs(periodMs);
    return Platform::timer_settime(timerId_, 0, &setting, nullptr);
}

int TimerListener::setCallback(Callback function, void* argument, unsigned periodMs, unsigned firstMs) {
    stop();
    // From inside the callback the lock is already this thread's; the old callback is the one
    // running, and the next pulse calls the new one.
    const bool inCallback = tRunning.listener == this;
    if (!inCallback) pthread_mutex_lock(&callbackLock_);
    callback_ = function;
    argument_ = argument;
    if (!inCallback) pthread_mutex_unlock(&callbackLock_);
    return start(periodMs, firstMs);
}

void* TimerListener::listen(void* self) {
    static_cast<TimerListener*>(self)->run();
    return nullptr;
}

void TimerListener::run() {
    Platform::pthread_setname_np(0, "TimerListener");
    const int chid = chid_;
    for (;;) {
        _pulse pulse;
        if (Platform::MsgReceivePulse(chid, &pulse, sizeof pulse, nullptr) == -1) {
            if (errno == EINTR) continue;
            Platform::slogf(kLogCode, _SLOG_ERROR, "TimerListener: MsgReceivePulse failed: %s; the thread ends",
                            std::strerror(errno));
            return;
        }
        if (pulse.code != pulseCode_) return;
        pthread_mutex_lock(&callbackLock_);
        if (callback_) {
            tRunning = Running{this, false};
            callback_(argument_);
            const bool destroyed = tRunning.destroyed;
            tRunning = Running{};
            if (destroyed) return;  // nothing of this object is left
        }
        pthread_mutex_unlock(&callbackLock_);
    }
}

}  // namespace CoreSystem
