// System logging on the target: the system logger itself, plus the process's own observer.
#include "CoreSystem/Platform/Slog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace CoreSystem::Platform {

namespace {
std::mutex gObserverMutex;
std::function<void(const SlogRecord&)> gObserver;
}  // namespace

int slogf(int opcode, int severity, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    int rc = ::vslogf(opcode, severity, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(gObserverMutex);
    if (gObserver) gObserver(SlogRecord{opcode, severity, text});
    return rc;
}

void SetSlogObserver(std::function<void(const SlogRecord&)> observer) {
    std::lock_guard<std::mutex> hold(gObserverMutex);
    gObserver = std::move(observer);
}

}  // namespace CoreSystem::Platform
