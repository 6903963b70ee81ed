/* Declaration-only stand-in for the target's <sys/slog.h>, for the host compile check of the
 * target side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers
 * always win. */
#ifndef CORESYSTEM_TARGET_CHECK_SYS_SLOG_H
#define CORESYSTEM_TARGET_CHECK_SYS_SLOG_H

#include <stdarg.h>

/* Severities, 0 highest. */
#define _SLOG_SHUTDOWN 0
#define _SLOG_CRITICAL 1
#define _SLOG_ERROR 2
#define _SLOG_WARNING 3
#define _SLOG_NOTICE 4
#define _SLOG_INFO 5
#define _SLOG_DEBUG1 6
#define _SLOG_DEBUG2 7

/* Opcode from a major and a minor code (bit layout: a placeholder). */
#define _SLOG_SETCODE(major, minor) ((((major)&0x3ff) << 10) | ((minor)&0x3ff))

#ifdef __cplusplus
extern "C" {
#endif

int slogf(int opcode, int severity, const char* fmt, ...);
int vslogf(int opcode, int severity, const char* fmt, va_list arg);

#ifdef __cplusplus
}
#endif

#endif
