/* The host's <libgen.h> plus what the target's adds, for the host compile check of the target side
 * (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always win. */
#ifndef CORESYSTEM_TARGET_CHECK_LIBGEN_H
#define CORESYSTEM_TARGET_CHECK_LIBGEN_H

#include_next <libgen.h>

#ifdef __cplusplus
extern "C" {
#endif

int waitfor(const char* path, int delay_ms, int poll_ms);

#ifdef __cplusplus
}
#endif

#endif
