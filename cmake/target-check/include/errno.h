/* The host's <errno.h> plus what the target's adds, for the host compile check of the target side
 * (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always win. */
#ifndef CORESYSTEM_TARGET_CHECK_ERRNO_H
#define CORESYSTEM_TARGET_CHECK_ERRNO_H

#include_next <errno.h>

/* Success, as devctl() and the *_r() kernel calls return it. */
#define EOK 0

#endif
