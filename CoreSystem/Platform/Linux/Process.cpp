// Processes, priorities, path waits and the cycle counter on a Linux host, with the target's
// results: spawn modes by fork and exec, per-thread priorities emulated in the layer and carried
// to children as a nice value, waitfor by polling, and a nanosecond cycle counter.
#include "CoreSystem/Platform/Process.h"

#include "CoreSystem/Platform/Posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace CoreSystem::Platform {

namespace {

// ---- Priorities ------------------------------------------------------------------------------
//
// Threads keep an emulated priority (1..255, 0 being the target's idle thread); the host's own
// scheduling is not changed by setprio, because a thread that lowered its nice value could not
// raise it again without privilege. A child started by spawnv runs with the calling thread's
// priority as far as the host allows:
//   - its nice value becomes NiceFor(priority) = 10 - priority, clamped to -20..19 (priority 10,
//     the target's default, is nice 0; 30 and above are nice -20; 1 is nice 9). When the host
//     refuses a value below the caller's own nice (no CAP_SYS_NICE, RLIMIT_NICE too low), the
//     child gets the lowest nice value the host allows, or keeps the caller's;
//   - CORESYSTEM_PRIORITY=<priority> is put in its environment, from which this layer takes the
//     priority of the child's threads (thread 1 and every thread it creates) at start-up.
// Thread 1 (the main thread) keeps its priority in a process-wide value, so that getprio(getpid())
// from any thread reads it; every other thread keeps its own. Threads created in the process
// start at the process's start priority (the host gives the layer no hook to copy the creator's).
// For other processes only their existence can be told: ESRCH when there is none, else EPERM.

constexpr const char* kPriorityVariable = "CORESYSTEM_PRIORITY";
constexpr int kDefaultPriority = 10;
constexpr int kLowestPriority = 1;
constexpr int kHighestPriority = 255;
constexpr int kNiceMin = -20;
constexpr int kNiceMax = 19;

bool ValidPriority(int priority) {
    return priority >= kLowestPriority && priority <= kHighestPriority;
}

int NiceFor(int priority) {
    return std::clamp(kDefaultPriority - priority, kNiceMin, kNiceMax);
}

int StartPriority() {
    static const int start = [] {
        const char* text = std::getenv(kPriorityVariable);
        if (!text || !*text) return kDefaultPriority;
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text, &end, 10);
        if (errno != 0 || *end != '\0' || value < kLowestPriority || value > kHighestPriority)
            return kDefaultPriority;
        return static_cast<int>(value);
    }();
    return start;
}

std::atomic<int> gThreadOnePriority{0};  // 0: not read from the environment yet
struct ThreadPriority {
    int value = 0;   // 0: start priority
    int atFork = 0;  // the forking thread's priority, for the child's thread 1
};
thread_local ThreadPriority tPriority;

bool IsThreadOne() {
    return gettid() == ::getpid();
}

int& OwnPriority() {
    if (tPriority.value == 0) tPriority.value = StartPriority();
    return tPriority.value;
}

int ThreadOnePriority() {
    int value = gThreadOnePriority.load(std::memory_order_acquire);
    if (value == 0) {
        int expected = 0;
        gThreadOnePriority.compare_exchange_strong(expected, StartPriority(), std::memory_order_acq_rel);
        value = gThreadOnePriority.load(std::memory_order_acquire);
    }
    return value;
}

// After a fork the forking thread is thread 1 of the child and keeps its priority there.
void RegisterForkHandlers() {
    // gettid() registers its own fork handler on first use; that must not happen inside ours,
    // while the C library holds its fork-handler lock.
    static const int registered =
        (gettid(),
         ::pthread_atfork([] { tPriority.atFork = IsThreadOne() ? ThreadOnePriority() : OwnPriority(); },
                          nullptr,
                          [] { gThreadOnePriority.store(tPriority.atFork, std::memory_order_release); }));
    (void)registered;
}

int CallerPriority() {
    return IsThreadOne() ? ThreadOnePriority() : OwnPriority();
}

// ---- Spawning ----------------------------------------------------------------------------------

constexpr int kEintrRetries = 16;

// What a child reports through the start pipe before exec (or instead of it).
struct StartReport {
    int kind;  // kGrandchild: `value` is the pid of a P_NOWAITO child; kExecFailed: the errno
    int value;
};
constexpr int kGrandchild = 1;
constexpr int kExecFailed = 2;

// Everything the child needs, prepared before fork: after fork in a threaded process only
// async-signal-safe calls may be made, so nothing is allocated there.
struct Launch {
    std::vector<std::string> candidates;  // paths to try, in order
    bool shellFallback = false;           // spawnvp: a file without #! is run by /bin/sh
    char* const* argv = nullptr;
    std::vector<char*> shellArgv;  // {"/bin/sh", <candidate>, argv[1..], NULL}
    std::vector<std::string> environment;
    std::vector<char*> envp;
    int nice = 0;
    int niceFloor = 0;  // lowest nice value the host lets the caller set
};

void WriteReport(int fd, int kind, int value) {
    const StartReport report{kind, value};
    for (int retries = 0; retries < kEintrRetries; ++retries) {
        if (::write(fd, &report, sizeof report) >= 0 || errno != EINTR) return;
    }
}

// Child side, between fork and exec: signal handlers back to their defaults, the caller's signal
// mask restored, the nice value set, then exec. Returns only when every candidate failed.
[[noreturn]] void ExecChild(const Launch& launch, const sigset_t& callerMask, int reportFd) {
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action;
        if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
            action.sa_handler != SIG_IGN) {
            action.sa_handler = SIG_DFL;
            action.sa_flags = 0;
            ::sigaction(sig, &action, nullptr);
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);

    // The caller's own nice value is inherited; raising priority above it may be refused.
    if (::setpriority(PRIO_PROCESS, 0, launch.nice) != 0) {
        ::setpriority(PRIO_PROCESS, 0, std::max(launch.nice, launch.niceFloor));
    }

    int error = ENOENT;
    bool sawAccess = false;
    for (const std::string& candidate : launch.candidates) {
        ::execve(candidate.c_str(), launch.argv, launch.envp.data());
        error = errno;
        if (error == ENOEXEC && launch.shellFallback) {
            char** shellArgv = const_cast<char**>(launch.shellArgv.data());
            shellArgv[1] = const_cast<char*>(candidate.c_str());
            ::execve("/bin/sh", shellArgv, launch.envp.data());
            error = errno;
            break;
        }
        if (error == EACCES) {
            sawAccess = true;
            continue;
        }
        if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT)
            break;
    }
    if (sawAccess && (error == ENOENT || error == ENOTDIR)) error = EACCES;
    WriteReport(reportFd, kExecFailed, error);
    ::_exit(127);
}

bool PrepareLaunch(Launch& launch, const char* file, char* const argv[], bool searchPath) {
    launch.argv = argv;
    const std::string name(file);
    if (name.empty()) {
        errno = ENOENT;
        return false;
    }
    if (!searchPath || name.find('/') != std::string::npos) {
        launch.candidates.push_back(name);
    } else {
        const char* pathVariable = std::getenv("PATH");
        std::string path;
        if (pathVariable) {
            path = pathVariable;
        } else {
            const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
            path.resize(size > 0 ? size : 1);
            if (size > 0) ::confstr(_CS_PATH, &path[0], size);
            path.resize(std::strlen(path.c_str()));
        }
        std::size_t start = 0;
        for (;;) {
            const std::size_t colon = path.find(':', start);
            std::string directory =
                path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (directory.empty()) directory = ".";  // an empty element is the current directory
            directory += '/';
            directory += name;
            launch.candidates.push_back(std::move(directory));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    if (searchPath) {
        launch.shellFallback = true;
        launch.shellArgv.push_back(const_cast<char*>("/bin/sh"));
        launch.shellArgv.push_back(nullptr);  // the candidate, filled in by the child
        for (char* const* arg = argv + 1; *arg; ++arg) launch.shellArgv.push_back(*arg);
        launch.shellArgv.push_back(nullptr);
    }

    const int priority = CallerPriority();
    const std::string assignment = std::string(kPriorityVariable) + "=";
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, assignment.c_str(), assignment.size()) != 0)
            launch.environment.emplace_back(*entry);
    }
    launch.environment.push_back(assignment + std::to_string(priority));
    for (std::string& entry : launch.environment) launch.envp.push_back(&entry[0]);
    launch.envp.push_back(nullptr);

    launch.nice = NiceFor(priority);
    errno = 0;
    const int ownNice = ::getpriority(PRIO_PROCESS, 0);
    launch.niceFloor = errno == 0 ? ownNice : kNiceMax;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NICE, &limit) == 0) {
        const long floor = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 40
                               ? kNiceMin
                               : 20 - static_cast<long>(limit.rlim_cur);
        launch.niceFloor = std::min(launch.niceFloor, static_cast<int>(floor));
    }
    return true;
}

// Reads one report; false at end of file (every writer closed its end: exec succeeded).
// Reading and waiting for a child are retried for as long as signals interrupt them: the child
// execs or ends promptly, and giving up early would misreport its start or leave a zombie.
bool ReadReport(int fd, StartReport& report) {
    ssize_t n;
    do {
        n = ::read(fd, &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof report);
}

pid_t WaitChild(pid_t pid, int* status) {
    pid_t done;
    do {
        done = ::waitpid(pid, status, 0);
    } while (done < 0 && errno == EINTR);
    return done;
}

// Write ends of start pipes while their spawn is under way. A fork by another thread would copy
// them into its child, where they would keep the spawn reading until that child ends: such a
// child closes them at once, keeping only the one its own spawn needs. The mutex is held while a
// pipe is made and listed or closed and unlisted, and across every fork, so that no child gets a
// write end the list does not show.
constexpr int kStartPipeSlots = 64;
std::atomic<int> gStartPipes[kStartPipeSlots];  // fd + 1; 0: free
std::mutex gStartPipeMutex;
thread_local int tOwnStartPipe = -1;

void CloseOthersStartPipes() {
    gStartPipeMutex.unlock();
    for (std::atomic<int>& slot : gStartPipes) {
        const int fd = slot.load(std::memory_order_relaxed) - 1;
        if (fd >= 0 && fd != tOwnStartPipe) ::close(fd);
    }
}

// Registered while the process starts, before any thread can fork: a fork that began before the
// handlers existed would copy a pipe made meanwhile.
[[maybe_unused]] const int gStartPipeHandlers =
    ::pthread_atfork([] { gStartPipeMutex.lock(); }, [] { gStartPipeMutex.unlock(); }, CloseOthersStartPipes);

/// Makes the start pipe and lists its write end. Returns its slot (-1: not listed) or -2.
int OpenStartPipe(int fds[2]) {
    std::lock_guard<std::mutex> hold(gStartPipeMutex);
    if (::pipe2(fds, O_CLOEXEC) != 0) return -2;
    for (int i = 0; i < kStartPipeSlots; ++i) {
        if (gStartPipes[i].load(std::memory_order_relaxed) == 0) {
            gStartPipes[i].store(fds[1] + 1, std::memory_order_relaxed);
            return i;
        }
    }
    return -1;
}

void CloseStartPipeWriteEnd(int fd, int slot) {
    std::lock_guard<std::mutex> hold(gStartPipeMutex);
    if (slot >= 0) gStartPipes[slot].store(0, std::memory_order_relaxed);
    ::close(fd);
}

int Spawn(int mode, const char* file, char* const argv[], bool searchPath) {
    if (mode != P_WAIT && mode != P_NOWAIT && mode != P_NOWAITO) {
        errno = EINVAL;
        return -1;
    }
    if (!file || !argv || !argv[0]) {
        errno = EINVAL;
        return -1;
    }
    RegisterForkHandlers();
    Launch launch;
    try {
        if (!PrepareLaunch(launch, file, argv, searchPath)) return -1;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }

    int fds[2];
    const int pipeSlot = OpenStartPipe(fds);
    if (pipeSlot == -2) return -1;
    tOwnStartPipe = fds[1];
    sigset_t all;
    sigset_t callerMask;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &callerMask);

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (mode == P_NOWAITO) {
            // The child starts the program in a grandchild and ends at once; the grandchild then
            // belongs to init, so neither leaves a zombie nor a status for the caller's wait().
            const pid_t grandchild = ::fork();
            if (grandchild == 0) ExecChild(launch, callerMask, fds[1]);
            WriteReport(fds[1], grandchild > 0 ? kGrandchild : kExecFailed,
                        grandchild > 0 ? grandchild : errno);
            ::_exit(0);
        }
        ExecChild(launch, callerMask, fds[1]);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    tOwnStartPipe = -1;
    CloseStartPipeWriteEnd(fds[1], pipeSlot);
    if (child < 0) {
        ::close(fds[0]);
        errno = forkError;
        return -1;
    }

    pid_t started = child;
    int execError = 0;
    StartReport report{};
    while (ReadReport(fds[0], report)) {
        if (report.kind == kGrandchild) started = report.value;
        if (report.kind == kExecFailed) execError = report.value;
    }
    ::close(fds[0]);

    int status = 0;
    if (mode == P_NOWAITO || execError != 0) {
        // The P_NOWAITO middle child has ended or is about to; a child whose exec failed too.
        WaitChild(child, &status);
        if (mode == P_NOWAITO && execError == 0 && started == child) execError = ECHILD;
    }
    if (execError != 0) {
        errno = execError;
        return -1;
    }
    if (mode != P_WAIT) return started;
    if (WaitChild(child, &status) != child) return -1;
    // The exit status of a child that ended normally; one killed by a signal gives 128 + signal,
    // as a shell reports it, so that it never looks like success.
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// ---- waitfor -----------------------------------------------------------------------------------

// With no polling interval asked for, the layer still has to notice the path: it looks this often.
constexpr int kInternalPollMs = 10;

long long NowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool Exists(const char* path) {
    struct stat info;
    return ::stat(path, &info) == 0;
}

}  // namespace

int spawnv(int mode, const char* path, char* const argv[]) {
    return Spawn(mode, path, argv, false);
}

int spawnvp(int mode, const char* file, char* const argv[]) {
    return Spawn(mode, file, argv, true);
}

int getprio(pid_t pid) {
    if (pid == 0) return CallerPriority();
    if (pid == ::getpid()) return ThreadOnePriority();
    if (pid < 0 || (::kill(pid, 0) != 0 && errno != EPERM)) {
        errno = ESRCH;
        return -1;
    }
    errno = EPERM;
    return -1;
}

int setprio(pid_t pid, int priority) {
    if (!ValidPriority(priority)) {
        errno = EINVAL;
        return -1;
    }
    RegisterForkHandlers();
    if ((pid == 0 && IsThreadOne()) || pid == ::getpid()) {
        ThreadOnePriority();  // start priority in place first
        return gThreadOnePriority.exchange(priority, std::memory_order_acq_rel);
    }
    if (pid == 0) return std::exchange(OwnPriority(), priority);
    if (pid < 0 || (::kill(pid, 0) != 0 && errno != EPERM)) {
        errno = ESRCH;
        return -1;
    }
    errno = EPERM;
    return -1;
}

int waitfor(const char* path, int delayMs, int pollMs) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (Exists(path)) return 0;
    const long long deadline = NowNs() + std::max(delayMs, 0) * 1000000LL;
    const long long interval = (pollMs > 0 ? pollMs : kInternalPollMs) * 1000000LL;
    for (;;) {
        const long long left = deadline - NowNs();
        if (left <= 0) break;
        const long long nap = std::min(left, interval);
        timespec pause{static_cast<time_t>(nap / 1000000000LL), static_cast<long>(nap % 1000000000LL)};
        ::nanosleep(&pause, nullptr);  // a signal only shortens this nap; the deadline holds
        if (Exists(path)) return 0;
    }
    errno = ETIMEDOUT;
    return -1;
}

std::uint64_t ClockCycles() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t CyclesPerSecond() noexcept {
    return 1000000000ULL;
}

}  // namespace CoreSystem::Platform
