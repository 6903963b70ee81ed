/* Declaration-only stand-in for the target's <sys/slogcodes.h>, for the host compile check of the
 * target side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers
 * always win. Values: placeholders. */
#ifndef CORESYSTEM_TARGET_CHECK_SYS_SLOGCODES_H
#define CORESYSTEM_TARGET_CHECK_SYS_SLOGCODES_H

/* Major codes left to applications. */
#define _SLOGC_PRIVATE_START 10000
#define _SLOGC_PRIVATE_END 11000
#define _SLOGC_TEST _SLOGC_PRIVATE_START

#endif
