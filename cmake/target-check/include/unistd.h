/* The host's <unistd.h> plus what the target's adds, for the host compile check of the target side
 * (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always win. */
#ifndef CORESYSTEM_TARGET_CHECK_UNISTD_H
#define CORESYSTEM_TARGET_CHECK_UNISTD_H

#include_next <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

unsigned int delay(unsigned int duration);

#ifdef __cplusplus
}
#endif

#endif
