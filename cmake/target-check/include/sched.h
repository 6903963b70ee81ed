/* The host's <sched.h> plus what the target's adds, for the host compile check of the target side
 * (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always win. */
#ifndef CORESYSTEM_TARGET_CHECK_SCHED_H
#define CORESYSTEM_TARGET_CHECK_SCHED_H

#include_next <sched.h>

#ifdef __cplusplus
extern "C" {
#endif

int getprio(pid_t pid);
int setprio(pid_t pid, int prio);

#ifdef __cplusplus
}
#endif

#endif
