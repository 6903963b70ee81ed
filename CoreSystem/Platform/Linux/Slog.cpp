// slogf on a Linux host: each record is one line "<opcode> <severity> <text>" sent to the system
// log and, when CORESYSTEM_SLOG asks for it, to standard error or appended to a file.
#include "CoreSystem/Platform/Slog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace CoreSystem::Platform {

namespace {

constexpr int kMaxSeverity = _SLOG_DEBUG2;
constexpr int kEintrRetries = 16;

// Never destroyed, so records logged while other statics are torn down still find it.
struct ObserverSlot {
    std::mutex mutex;
    std::function<void(const SlogRecord&)> observer;
};
ObserverSlot& Slot() {
    static auto* slot = new ObserverSlot;
    return *slot;
}
thread_local bool tInsideObserver = false;

int SyslogPriority(int severity) {
    static constexpr int kPriorities[kMaxSeverity + 1] = {LOG_EMERG,  LOG_CRIT, LOG_ERR,   LOG_WARNING,
                                                          LOG_NOTICE, LOG_INFO, LOG_DEBUG, LOG_DEBUG};
    return kPriorities[severity];
}

// One write() per line, so that lines from several processes never mix. Only a record larger
// than the pipe or disk takes in one go is finished with further writes.
void WriteLine(int fd, const std::string& line) {
    std::size_t done = 0;
    int retries = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR && ++retries < kEintrRetries) {
            continue;
        } else {
            return;
        }
    }
}

void AppendToFile(const char* path, const std::string& line) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        static std::once_flag warned;
        const int error = errno;
        std::call_once(warned, [&] {
            errno = error;  // for %m
            ::syslog(LOG_WARNING, "%s=%s cannot be opened: %m", kSlogVariable, path);
        });
        return;
    }
    WriteLine(fd, line);
    ::close(fd);
}

std::string Format(const char* fmt, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(small, sizeof small, fmt ? fmt : "", args);
    std::string text;
    if (size < 0) {
        text = fmt ? fmt : "";
    } else if (static_cast<std::size_t>(size) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(size));
    } else {
        text.resize(static_cast<std::size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), fmt, again);
        text.resize(static_cast<std::size_t>(size));
    }
    va_end(again);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

int slogf(int opcode, int severity, const char* fmt, ...) {
    // _SLOG_TEXTBIT only marks the data as text; as on the target it also copies it to stderr.
    const bool textBit = (severity & _SLOG_TEXTBIT) != 0;
    severity &= ~_SLOG_TEXTBIT;
    if (severity < 0 || severity > kMaxSeverity) {
        errno = EINVAL;
        return -1;
    }

    va_list args;
    va_start(args, fmt);
    SlogRecord record{opcode, severity, Format(fmt, args)};
    va_end(args);

    std::string line = std::to_string(opcode) + " " + std::to_string(severity) + " " + record.text;
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(nullptr, LOG_PID, LOG_USER); });
    ::syslog(SyslogPriority(severity), "%s", line.c_str());

    // A record is one line wherever it goes: embedded line breaks become spaces.
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    line += '\n';
    const char* extra = std::getenv(kSlogVariable);
    const bool toStderr = textBit || (extra && std::strcmp(extra, "stderr") == 0);
    if (toStderr) WriteLine(STDERR_FILENO, line);
    if (extra && *extra && std::strcmp(extra, "stderr") != 0) AppendToFile(extra, line);

    if (!tInsideObserver) {
        ObserverSlot& slot = Slot();
        std::lock_guard<std::mutex> hold(slot.mutex);
        if (slot.observer) {
            // A record the observer logs itself skips it (the slot is held).
            struct Inside {
                Inside() { tInsideObserver = true; }
                ~Inside() { tInsideObserver = false; }
            } inside;
            slot.observer(record);
        }
    }
    // The system log accepts every record on a host, so there is no ENOENT case here.
    return static_cast<int>(line.size());
}

void SetSlogObserver(std::function<void(const SlogRecord&)> observer) {
    ObserverSlot& slot = Slot();
    std::lock_guard<std::mutex> hold(slot.mutex);
    slot.observer = std::move(observer);
}

}  // namespace CoreSystem::Platform
