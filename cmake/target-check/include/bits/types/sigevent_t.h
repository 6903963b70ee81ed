/* Stands in for the host C library's definition of struct sigevent, which the host's <signal.h>
 * includes: the host compile check of the target side sees the target's layout and notification
 * kinds instead, as the target's <signal.h> declares them (cmake/target-check/README.md). Never
 * linked or run; the real toolchain's headers always win. */
#ifndef __sigevent_t_defined
#define __sigevent_t_defined 1

#include <bits/types/__sigval_t.h>
#include <stdint.h>

#ifndef __have_pthread_attr_t
typedef union pthread_attr_t pthread_attr_t;
#define __have_pthread_attr_t 1
#endif

/* sigev_notify first; then the signal, connection or interrupt id; the value; then the pulse's
 * code and priority (or the attributes of a notification thread). */
typedef struct sigevent {
    int sigev_notify;
    union {
        int __sigev_signo;
        int __sigev_coid;
        int __sigev_id;
        void (*__sigev_notify_function)(union sigval);
    } __sigev_un1;
    union sigval sigev_value;
    union {
        struct {
            short __sigev_code;
            short __sigev_priority;
        } __st;
        pthread_attr_t* __sigev_notify_attributes;
    } __sigev_un2;
} sigevent_t;

#define sigev_signo __sigev_un1.__sigev_signo
#define sigev_coid __sigev_un1.__sigev_coid
#define sigev_id __sigev_un1.__sigev_id
#define sigev_notify_function __sigev_un1.__sigev_notify_function
#define sigev_code __sigev_un2.__st.__sigev_code
#define sigev_priority __sigev_un2.__st.__sigev_priority
#define sigev_notify_attributes __sigev_un2.__sigev_notify_attributes

/* Notification kinds the host lacks (values: placeholders). */
#define SIGEV_PULSE 4
#define SIGEV_UNBLOCK 5
/* Pulse priority: the process's initial priority. */
#define SIGEV_PULSE_PRIO_INHERIT (-1)

/* A pulse with `code` and `value` to connection `coid` at `priority`. */
#define SIGEV_PULSE_INIT(__e, __coid, __priority, __code, __value)                                 \
    ((__e)->sigev_notify = SIGEV_PULSE, (__e)->sigev_coid = (__coid),                              \
     (__e)->sigev_priority = (short)(__priority), (__e)->sigev_code = (short)(__code),             \
     (__e)->sigev_value.sival_ptr = (void*)(uintptr_t)(__value))
/* Unblocks the thread (TimerTimeout()). */
#define SIGEV_UNBLOCK_INIT(__e) ((__e)->sigev_notify = SIGEV_UNBLOCK)

#endif
