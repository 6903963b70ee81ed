/* The target's <sys/siginfo.h>: struct sigevent with its pulse fields and SIGEV_PULSE_INIT, which
 * the target's <signal.h> also pulls in. Here the layout comes from bits/types/sigevent_t.h, which
 * stands in for the host C library's own. Never linked or run; the real toolchain's headers always
 * win. */
#pragma once

#include <signal.h>
