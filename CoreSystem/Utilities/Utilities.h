// Process, file, path and clock utilities: starting programs and shell commands, waiting for
// paths, and small file and time helpers. Every operation is a static function; none keeps state.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace CoreSystem {

/// Progress report of Utilities::CopyFile: the percentage copied so far and the caller's context.
/// Returning false asks the copy to stop.
using CopyProgressCallback = bool (*)(int percent, void* context);

/// The framework's toolbox of process, file, path and clock functions. The process operations
/// (Spawn, Nice, Stat, System, WaitFor) each write one line to the system logger (code 10000,
/// severity _SLOG_DEBUG1; Nice writes two) so that a boot or update sequence can be followed.
/// All functions may be called from any thread.
class Utilities {
public:
    Utilities() = delete;

    // ---- Process operations ------------------------------------------------------------------

    /// Starts `path` with `argv` (argv[0] included, NULL-terminated) in spawn mode `mode`
    /// (P_WAIT, P_NOWAIT, P_NOWAITO). Returns what the platform's spawnv returned: the child's
    /// pid for a no-wait mode, its exit status for P_WAIT, -1 when it could not be started.
    /// A P_NOWAIT child must be waited for by the caller. Logs "<path> spawned with pid <result>".
    static pid_t Spawn(int mode, const char* path, char* const* argv);

    /// As Spawn, with the child started at `priority` (1..255; the calling thread's priority is
    /// restored afterwards, other threads are not affected). Logs the Spawn line, then
    /// "<path> given priority <priority>". On a development host the priority is carried as far
    /// as the host allows (see Platform/Process.h).
    static pid_t Nice(int mode, const char* path, char* const* argv, int priority);

    /// True exactly when stat() of `path` succeeds. Logs the stat() result (0 or -1).
    static bool Stat(const std::string& path);

    /// Runs `command` with the shell and returns the raw wait status (exit code in bits 8-15),
    /// or -1 when no shell could be run. Logs the exit code, or an error line on -1.
    static int System(const std::string& command);

    /// Waits up to `seconds` for `path` to exist, checking every `pollMs` milliseconds (0: no
    /// polling; the wait still ends in time). True when the path exists in time. Logs
    /// "<path> present" or "<path> TIMEOUT within <seconds> seconds". `path` is used as given.
    static bool WaitFor(const std::string& path, std::uint8_t seconds, int pollMs);

    // ---- Files ---------------------------------------------------------------------------------

    /// Copies at most size-1 bytes of `src` to `dst` and always terminates `dst` at dst[size-1]
    /// (the bytes after a shorter `src` are zero-filled). `size` 0 does nothing.
    static void BoundedCopy(char* dst, const char* src, std::size_t size);

    /// True when `path` exists (stat() follows links) and is a directory.
    static bool IsDirectory(const std::string& path);

    /// access() of `path` for `how` 0 read, 1 write, 2 execute, any other value existence only.
    static bool IsAccessible(const std::string& path, unsigned how);

    /// Low 32 bits of the file's size, or -1 when stat() fails.
    static std::int32_t FileSize(const std::string& path);

    /// Sets the permission bits of `path` to `octalMode` ("644", "0755"; leading and trailing
    /// blanks are allowed). A mode that is not an octal number of at most 07777 changes nothing
    /// and gives false. True when chmod() succeeded.
    static bool ChangeMode(const std::string& path, const std::string& octalMode);

    /// Removes every leading '/' of `s` in place ("///a/b" becomes "a/b") and returns `s`.
    static std::string& StripLeadingSlashes(std::string& s);

    /// Creates `path` empty (or truncates it). Returns 0, or -1 when it cannot be created.
    static int CreateEmptyFile(const std::string& path);

    /// Removes `path`, trying a second time if it is still there. True when it is gone.
    static bool RemoveFile(const std::string& path);

    /// Flushes the file's data to its device with fsync(). Returns 0, or -1 when the file cannot
    /// be opened or the flush fails.
    static int SyncFile(const char* path);

    /// Copies `src` to `dst` (created or truncated) in 4096-byte pieces and flushes `dst` to its
    /// device. With `progress`, reports each new whole percentage (rounded) with `context`; the
    /// callback returning false stops the copy, leaves the partial `dst` and gives false.
    /// With `removeSource`, a complete copy whose flush succeeded removes `src` (a move).
    /// False without touching `dst` when `src` cannot be read or `dst` is the same file as `src`;
    /// false with `dst` removed and `src` kept when reading or writing fails half-way.
    static bool CopyFile(const std::string& src, const std::string& dst, bool removeSource,
                         CopyProgressCallback progress, void* context);

    // ---- Clocks ----------------------------------------------------------------------------------

    /// CLOCK_MONOTONIC as seconds.
    static double MonotonicSeconds();
    /// CLOCK_MONOTONIC in milliseconds.
    static std::uint64_t MonotonicMilliseconds();
    /// CLOCK_REALTIME in milliseconds since the epoch.
    static std::uint64_t RealtimeMilliseconds();
    /// Fills `ts` with CLOCK_MONOTONIC now plus `ms` milliseconds (normalised; a negative `ms`
    /// counts as 0), for timed waits on the monotonic clock. Returns `ts`.
    static timespec& MonotonicDeadline(timespec& ts, int ms);

    /// from + percent% of the way to `to`, rounded half away from zero, in single precision;
    /// a negative result gives 0, the low 8 bits are returned. `percent` 0 gives `from`, 100 `to`.
    static std::uint8_t BlendPercent(unsigned to, unsigned from, unsigned percent);

    // ---- Paths -----------------------------------------------------------------------------------

    /// "/var/run/" + `name` without its leading slashes (the caller's string loses them too).
    static std::string RunPath(std::string& name);
    /// "/tmp/" + `name` without its leading slashes (the caller's string loses them too).
    static std::string TempPath(std::string& name);
    /// "/mnt/sd/" + `name` without its leading slashes (the caller's string loses them too).
    static std::string SdCardPath(std::string& name);

    /// dirname() of `path` ("/a/b" gives "/a", "b" gives "."); `path` is not changed.
    static std::string DirName(const std::string& path);
    /// basename() of `path` ("/a/b" gives "b"); `path` is not changed.
    static std::string BaseName(const std::string& path);

    /// Paths of every regular file under `dir` (links followed, staying on the file system of
    /// `dir`), in walk order; empty when `dir` cannot be walked. Calls from several threads are
    /// serialised.
    static std::vector<std::string> ListFilesRecursive(const std::string& dir);
};

}  // namespace CoreSystem
