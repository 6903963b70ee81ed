// Processes, priorities, path waits and the cycle counter on the target: the system's own calls.
#include "CoreSystem/Platform/Process.h"

namespace CoreSystem::Platform {

int spawnv(int mode, const char* path, char* const argv[]) {
    return ::spawnv(mode, path, argv);
}
int spawnvp(int mode, const char* file, char* const argv[]) {
    return ::spawnvp(mode, file, argv);
}
int getprio(pid_t pid) {
    return ::getprio(pid);
}
int setprio(pid_t pid, int priority) {
    return ::setprio(pid, priority);
}
int waitfor(const char* path, int delayMs, int pollMs) {
    return ::waitfor(path, delayMs, pollMs);
}
std::uint64_t ClockCycles() noexcept {
    return ::ClockCycles();
}
std::uint64_t CyclesPerSecond() noexcept {
    return SYSPAGE_ENTRY(qtime)->cycles_per_sec;
}

}  // namespace CoreSystem::Platform
