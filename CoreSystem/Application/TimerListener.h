// A periodic callback on a thread of its own: an interval timer on the monotonic clock sends
// pulses to a private channel, and the "TimerListener" thread calls the callback for each.
#pragma once

#include <pthread.h>

#include "CoreSystem/Platform/Timer.h"

namespace CoreSystem {

/// Calls a callback periodically on its own thread. The timer starts disarmed and no callback is
/// set. Expiries that come while the callback still runs are merged into one call.
///
/// Locking: the callback runs with the callback lock held; setCallback and the destructor take the
/// same lock, so they wait for a running callback to finish. start and stop take no lock.
/// A callback may call stop, start and setCallback on its own listener. It must not destroy its
/// own listener (a precondition violation: it is logged, the listener is released as far as it
/// can be and no deadlock follows).
class TimerListener {
public:
    using Callback = void (*)(void*);

    /// Creates the channel, the connection, the (disarmed) timer and the thread.
    TimerListener();
    /// Disarms and deletes the timer, waits for a running callback and ends the thread; no
    /// callback runs once it has returned.
    ~TimerListener();
    TimerListener(const TimerListener&) = delete;
    TimerListener& operator=(const TimerListener&) = delete;

    /// Disarms the timer. Returns 0, or -1 on failure.
    int stop();
    /// Arms the timer: the first call after `firstMs` (0 leaves the timer disarmed), then every
    /// `periodMs` (0: only once). Replaces an earlier setting. Returns 0, or -1 on failure.
    int start(unsigned periodMs, unsigned firstMs);
    /// Disarms, installs `function` (null: none) with `argument`, then arms as start does and
    /// returns its result. Once it has returned the previous callback is never called again.
    int setCallback(Callback function, void* argument, unsigned periodMs, unsigned firstMs);

private:
    static void* listen(void* self);
    void run();
    void releaseFromCallback();

    int pulseCode_;
    pthread_mutex_t callbackLock_;
    Callback callback_;
    void* argument_;
    int chid_;
    timer_t timerId_;
    struct sigevent event_;
    int coid_;
    pthread_t thread_;
    bool timerCreated_;
    bool threadStarted_;
};

}  // namespace CoreSystem
