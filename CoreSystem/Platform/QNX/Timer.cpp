// Pulse timers on the target: the kernel's timers themselves.
#include "CoreSystem/Platform/Timer.h"

#include "CoreSystem/Platform/Faults.h"

namespace CoreSystem::Platform {

int timer_create(clockid_t clockId, struct sigevent* event, timer_t* timerId) {
    if (InjectedFault(Call::TimerCreate)) return -1;
    return ::timer_create(clockId, event, timerId);
}
int timer_settime(timer_t timerId, int flags, const struct itimerspec* value, struct itimerspec* oldValue) {
    if (InjectedFault(Call::TimerSettime)) return -1;
    return ::timer_settime(timerId, flags, value, oldValue);
}
int timer_delete(timer_t timerId) {
    if (InjectedFault(Call::TimerDelete)) return -1;
    return ::timer_delete(timerId);
}

}  // namespace CoreSystem::Platform
