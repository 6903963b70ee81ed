// Process, file, path and clock utilities. The process operations log one line each (two for
// Nice) with the signature text of the logging function, so a boot sequence reads in the log.
#include "CoreSystem/Utilities/Utilities.h"

#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Platform/Slog.h"

#include <fcntl.h>
#include <ftw.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace CoreSystem {

namespace {

constexpr int kLogCode = 10000;
constexpr const char* kSpawnSignature =
    "static pid_t CoreSystem::Utilities::Spawn(int, const char*, char* const*)";
constexpr const char* kNiceSignature =
    "static pid_t CoreSystem::Utilities::Nice(int, const char*, char* const*, int)";
constexpr const char* kStatSignature = "static bool CoreSystem::Utilities::Stat(const string&)";
constexpr const char* kSystemSignature = "static int CoreSystem::Utilities::System(const string&)";
constexpr const char* kWaitForSignature =
    "static bool CoreSystem::Utilities::WaitFor(const string&, std::uint8_t, int)";

constexpr std::size_t kCopyChunk = 4096;
constexpr long kMaxModeBits = 07777;
constexpr unsigned kAccessRead = 0;
constexpr unsigned kAccessWrite = 1;
constexpr unsigned kAccessExecute = 2;
constexpr unsigned kAccessExists = 3;  // any value other than the three above

// The walk stays on the file system of the directory it starts in and reports a directory after
// its contents; it never changes the working directory, which every thread of the process shares.
constexpr int kWalkFlags = FTW_MOUNT | FTW_DEPTH;
constexpr int kWalkDescriptors = 64;

const char* Printable(const char* text) {
    return text ? text : "(null)";
}

// The process-wide file list of ListFilesRecursive; never destroyed, so a walk made while other
// statics are torn down still finds it.
struct FileList {
    std::mutex mutex;
    std::vector<std::string> paths;
};
FileList& Files() {
    static auto* list = new FileList;
    return *list;
}

// FTW_F is any entry that is not a directory or link; only regular files are listed (a device
// node or FIFO handed on as a file would block whoever opens it).
int CollectFile(const char* path, const struct stat* info, int type, FTW*) {
    if (type != FTW_F || !info || !S_ISREG(info->st_mode)) return 0;
    try {
        Files().paths.emplace_back(path);
    } catch (const std::bad_alloc&) {
        return 1;  // ends the walk; the list is then emptied
    }
    return 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Percentage of `copied` in `size`, rounded: the ratio in single precision, then + 0.5 and cut.
// A source that grew while it was copied (or was empty when measured) counts as 100 %.
int Percentage(std::uint64_t copied, std::uint64_t size) {
    if (size == 0 || copied >= size) return 100;
    const float ratio = static_cast<float>(copied) / static_cast<float>(size) * 100.0f;
    // For a non-negative float widened to double, + 0.5 and truncation is exactly lround.
    return static_cast<int>(std::lround(static_cast<double>(ratio)));
}

std::string WithoutLeadingSlashes(const char* prefix, std::string& name) {
    return prefix + Utilities::StripLeadingSlashes(name);
}

}  // namespace

// ---- Process operations ----------------------------------------------------------------------

pid_t Utilities::Spawn(int mode, const char* path, char* const* argv) {
    const pid_t result = Platform::spawnv(mode, path, argv);
    const int error = errno;
    Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s spawned with pid %d", kSpawnSignature, Printable(path),
                    result);
    errno = error;
    return result;
}

pid_t Utilities::Nice(int mode, const char* path, char* const* argv, int priority) {
    const int saved = Platform::getprio(0);
    Platform::setprio(0, priority);  // the child created next runs with it
    const pid_t result = Spawn(mode, path, argv);
    const int error = errno;
    Platform::setprio(0, saved);
    Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s given priority %d", kNiceSignature, Printable(path),
                    priority);
    errno = error;
    return result;
}

bool Utilities::Stat(const std::string& path) {
    struct stat info;
    const int result = ::stat(path.c_str(), &info);
    Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s stat result = %d", kStatSignature, path.c_str(), result);
    return result == 0;
}

int Utilities::System(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1) {
        Platform::slogf(kLogCode, _SLOG_DEBUG1, "%sd: Error executing %s", kSystemSignature, command.c_str());
    } else {
        Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s executed, return status = %d", kSystemSignature,
                        command.c_str(), (status >> 8) & 0xFF);
    }
    return status;
}

bool Utilities::WaitFor(const std::string& path, std::uint8_t seconds, int pollMs) {
    const bool present = Platform::waitfor(path.c_str(), seconds * 1000, pollMs) == 0;
    if (present) {
        Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s present", kWaitForSignature, path.c_str());
    } else {
        Platform::slogf(kLogCode, _SLOG_DEBUG1, "%s: %s TIMEOUT within %hhu seconds", kWaitForSignature,
                        path.c_str(), seconds);
    }
    return present;
}

// ---- Files -------------------------------------------------------------------------------------

void Utilities::BoundedCopy(char* dst, const char* src, std::size_t size) {
    if (size == 0) return;
    std::strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

bool Utilities::IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Utilities::IsAccessible(const std::string& path, unsigned how) {
    int mode = F_OK;
    if (how == kAccessRead) mode = R_OK;
    if (how == kAccessWrite) mode = W_OK;
    if (how == kAccessExecute) mode = X_OK;
    return ::access(path.c_str(), mode) != -1;
}

std::int32_t Utilities::FileSize(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return -1;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(info.st_size));
}

bool Utilities::ChangeMode(const std::string& path, const std::string& octalMode) {
    // strtol alone reads "rw" or "" as 0 and would take every permission away: only a whole
    // octal number is a mode.
    const char* text = octalMode.c_str();
    char* end = nullptr;
    errno = 0;
    const long mode = std::strtol(text, &end, 8);
    if (end == text || errno != 0 || mode < 0 || mode > kMaxModeBits) return false;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (static_cast<std::size_t>(end - text) != octalMode.size()) return false;
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

std::string& Utilities::StripLeadingSlashes(std::string& s) {
    s.erase(0, s.find_first_not_of('/'));
    return s;
}

int Utilities::CreateEmptyFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return -1;
    return std::fclose(file);
}

bool Utilities::RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return false;
    if (!IsAccessible(path, kAccessExists)) return true;
    return ::unlink(path.c_str()) == 0;
}

int Utilities::SyncFile(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    const int fd = Platform::open(path, O_RDONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = Platform::fsync(fd);
    const int error = errno;
    Platform::close(fd);
    errno = error;
    return result;
}

bool Utilities::CopyFile(const std::string& src, const std::string& dst, bool removeSource,
                         CopyProgressCallback progress, void* context) {
    struct stat source;
    if (::stat(src.c_str(), &source) != 0) return false;
    // Opening the destination truncates it: when it is the source itself, nothing may be opened.
    struct stat target;
    if (::stat(dst.c_str(), &target) == 0 && SameFile(source, target)) return false;
    const std::uint64_t size = source.st_size > 0 ? static_cast<std::uint64_t>(source.st_size) : 0;

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyChunk]);
    if (!buffer) return false;
    std::FILE* in = std::fopen(src.c_str(), "rb");
    if (!in) return false;
    std::FILE* out = std::fopen(dst.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    struct stat written;
    const bool regularTarget = ::fstat(::fileno(out), &written) == 0 && S_ISREG(written.st_mode);

    bool complete = false;  // ran to the end of the source
    bool ioFailed = false;  // a read, write or the final flush of the destination failed
    std::uint64_t copied = 0;
    int reported = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, kCopyChunk, in);
        if (got == 0) {
            ioFailed = std::ferror(in) != 0;
            complete = !ioFailed;
            break;
        }
        if (std::fwrite(buffer.get(), 1, got, out) != got) {
            ioFailed = true;
            break;
        }
        if (progress) {
            copied += got;
            const int percent = Percentage(copied, size);
            if (percent != reported) {
                reported = percent;
                if (!progress(percent, context)) break;
            }
        }
    }
    if (std::fclose(out) != 0) ioFailed = true;
    std::fclose(in);

    if (ioFailed) {
        // A destination cut short must not pass for a copy; the source stays as it was.
        if (regularTarget) ::unlink(dst.c_str());
        return false;
    }
    const int synced = SyncFile(dst.c_str());
    if (complete && removeSource && synced == 0) std::remove(src.c_str());
    return complete;
}

// ---- Clocks --------------------------------------------------------------------------------------

double Utilities::MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::uint64_t Utilities::MonotonicMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint64_t Utilities::RealtimeMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

timespec& Utilities::MonotonicDeadline(timespec& ts, int ms) {
    if (ms < 0) ms = 0;  // a deadline in the past would not be a valid time-out either
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long nanos = now.tv_nsec + static_cast<long>(ms % 1000) * 1000000L;
    ts.tv_sec = now.tv_sec + ms / 1000 + nanos / 1000000000L;
    ts.tv_nsec = nanos % 1000000000L;
    return ts;
}

std::uint8_t Utilities::BlendPercent(unsigned to, unsigned from, unsigned percent) {
    const float start = static_cast<float>(from);
    const float end = static_cast<float>(to);
    const float value = std::roundf(start + static_cast<float>(percent) * ((end - start) / 100.0f));
    if (!(value > 0.0f)) return 0;
    // Beyond the 32-bit range the conversion saturates, as the target's does.
    if (value >= 4294967296.0f) return 0xFF;
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

// ---- Paths ---------------------------------------------------------------------------------------

std::string Utilities::RunPath(std::string& name) {
    return WithoutLeadingSlashes("/var/run/", name);
}

std::string Utilities::TempPath(std::string& name) {
    return WithoutLeadingSlashes("/tmp/", name);
}

std::string Utilities::SdCardPath(std::string& name) {
    return WithoutLeadingSlashes("/mnt/sd/", name);
}

std::string Utilities::DirName(const std::string& path) {
    std::vector<char> copy(path.begin(), path.end());
    copy.push_back('\0');
    const char* result = ::dirname(copy.data());
    return result ? std::string(result) : std::string();
}

std::string Utilities::BaseName(const std::string& path) {
    std::vector<char> copy(path.begin(), path.end());
    copy.push_back('\0');
    const char* result = ::basename(copy.data());
    return result ? std::string(result) : std::string();
}

std::vector<std::string> Utilities::ListFilesRecursive(const std::string& dir) {
    FileList& list = Files();
    std::lock_guard<std::mutex> hold(list.mutex);
    list.paths.clear();
    if (::nftw(dir.c_str(), CollectFile, kWalkDescriptors, kWalkFlags) != 0) list.paths.clear();
    try {
        return list.paths;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace CoreSystem
