// System logging with the target's slogf call. On a host the records go to the system log and,
// when CORESYSTEM_SLOG says so, to standard error ("stderr") or to a file (a path).
#pragma once

#include <functional>
#include <string>

#if defined(__QNX__)
#include <sys/slog.h>
#include <sys/slogcodes.h>
#else
#define _SLOG_SHUTDOWN 0
#define _SLOG_CRITICAL 1
#define _SLOG_ERROR 2
#define _SLOG_WARNING 3
#define _SLOG_NOTICE 4
#define _SLOG_INFO 5
#define _SLOG_DEBUG1 6
#define _SLOG_DEBUG2 7
#define _SLOG_TEXTBIT 8
#define _SLOG_SETCODE(major, minor) ((((major)&0x3ff) << 10) | ((minor)&0x3ff))
#define _SLOGC_PRIVATE_START 10000
#define _SLOGC_PRIVATE_END 11000
#define _SLOGC_TEST _SLOGC_PRIVATE_START
#endif

namespace CoreSystem::Platform {

/// Environment variable choosing an extra destination of slogf records: "stderr" or a file path.
inline constexpr const char* kSlogVariable = "CORESYSTEM_SLOG";

/// Logs one record: `opcode`, `severity` (0 highest .. 7) and the formatted text. Returns the
/// size of the record, or -1 (ENOENT) when no destination takes it.
int slogf(int opcode, int severity, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

/// One record as it was logged, for a process's own inspection (tests).
struct SlogRecord {
    int opcode;
    int severity;
    std::string text;
};

/// Installs a receiver that sees every record of this process in addition to the usual
/// destinations; an empty function removes it. Not for concurrent installation.
void SetSlogObserver(std::function<void(const SlogRecord&)> observer);

}  // namespace CoreSystem::Platform
