// Helpers shared by the tests: a private host namespace and directory per test case, and child
// processes run under a time limit and always reaped.
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ListManager.h"

namespace CoreSystemTest {

/// Gives the current test case its own namespace word (CORESYSTEM_NAMESPACE) and root directory
/// (CORESYSTEM_ROOT), and removes both with everything in them when it goes out of scope.
class IsolatedHost {
public:
    IsolatedHost();
    ~IsolatedHost();
    IsolatedHost(const IsolatedHost&) = delete;
    IsolatedHost& operator=(const IsolatedHost&) = delete;
    const std::string& word() const { return word_; }
    const std::string& root() const { return root_; }

private:
    std::string word_, root_;
};

/// Creates a fresh simulated board in the host's root (as "coresys board init" does), with OTP
/// writes landing on `writeTarget` ("nor", "legacy" or "both"). Fails the test when it cannot.
void CreateBoard(const IsolatedHost& host, const std::string& writeTarget = "nor");
/// The lines of the board's event log in the host's root (empty when there is none).
std::vector<std::string> BoardLog(const IsolatedHost& host);

/// A forked child; `outputFd` is the read end of its standard output, or -1 when not captured.
struct Child {
    pid_t pid = -1;
    int outputFd = -1;
};

/// Runs `body` in a forked child; its return value becomes the exit status.
Child Spawn(const std::function<int()>& body, bool captureOutput = false);

using Environment = std::vector<std::pair<std::string, std::string>>;  ///< variables added for one program

/// How a program ended and what it printed.
struct Outcome {
    int status;
    std::string out, err;
};

/// A running program whose standard output is captured and whose standard error goes to a file;
/// killed and reaped at the latest when it goes out of scope.
class Program {
public:
    Program(const std::string& path, const std::vector<std::string>& args,
            const Environment& environment = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return child_.pid; }
    /// What it printed on standard output so far (as read by printed() or finish()).
    const std::string& output() const { return out_; }
    /// True once what it printed so far contains `text`.
    bool printed(const std::string& text);
    /// Waits for its end (killed after `limit`) and returns everything it printed.
    Outcome finish(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    Child child_;
    int errorFd_ = -1;
    std::string out_;
};

/// Runs a program to its end (killed after `limit`) and collects its output.
Outcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));

/// Waits for the child to end; kills it (SIGKILL) when it runs past `limit`. Returns the exit
/// status, 128 + signal when it was killed by a signal, or -1 after the time limit.
int Wait(Child& child, std::chrono::milliseconds limit = std::chrono::seconds(20));
/// Reads what the child wrote to standard output so far, or (`toEnd`) up to its end, at most 1 min.
std::string ReadOutput(Child& child, bool toEnd = true);
/// Polls `predicate` until it holds or `limit` passes. Returns its last value.
bool Eventually(const std::function<bool()>& predicate,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

/// A value-initialised T in anonymous shared memory, seen by children forked afterwards; null when
/// it cannot be mapped.
template <typename T>
T* SharedWithChildren() {
    void* memory = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : new (memory) T{};
}

/// The configuration of the simulated device's tests: two cultures (current 1), four strings,
/// two reserved strings, two variables (one with values), one list and the applications "Radio"
/// and "NVMgr". The same content as docs/examples/radio.json.
conf::ImageDescription ExampleConfiguration();
/// The image of `description` (the test fails when the builder refuses it).
std::vector<std::uint8_t> BuildConfiguration(
    const conf::ImageDescription& description = ExampleConfiguration());

/// Sets up the shared data of a simulated device as its loader and its database owner do, from a
/// short-lived child (so the owner's process-wide state stays out of the caller): the image of
/// `description` in "/BINARY_CONFIGURATION" with its marker, and "/DBSHM" with its variables.
/// False (and the test fails) when either is refused.
bool LoadDevice(const conf::ImageDescription& description = ExampleConfiguration());

/// True while process `pid` (its main thread) sleeps in a futex wait.
bool BlockedInFutex(pid_t pid);
/// True in a ThreadSanitizer build, whose forked children of a threaded process may not start
/// threads: tests of such children skip themselves there (the other builds run them).
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
inline constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
inline constexpr bool kThreadSanitizer = false;
#endif

/// Directory of the running test binary (to find the tools built beside it).
std::string BuildDirectory();

/// Sets up a simulated device with an image and lists, as its loader and list owner do: loads the
/// image of `description` (replacing one loaded before), then starts (or restarts) the lists with
/// the directories `first` and `second` in a short-lived child, keeping the owner's process-wide
/// state out of the caller. Returns the owner's report; the test fails when a step is refused.
std::vector<CoreSystem::ListStart> StartDevice(
    const std::string& first, const std::string& second,
    const conf::ImageDescription& description = ExampleConfiguration());
/// Restarts the list owner of the device StartDevice set up (the image stays loaded).
std::vector<CoreSystem::ListStart> RestartLists(const std::string& first, const std::string& second);

/// The coresys program built beside the tests, and one run of it to its end with `environment` added.
std::string CoresysPath();
Outcome RunCoresys(const std::vector<std::string>& args, const Environment& environment = {});

/// The error number a call left when it returned `result` -1, else 0 (a call that did not fail).
inline int ErrnoOf(long result) {
    return result == -1 ? errno : 0;
}

/// What the file at `path` holds ("" when it cannot be read).
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Runs `body` in a forked child and waits for it (see Wait); returns its exit status.
inline int RunInChild(const std::function<int()>& body, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    Child child = Spawn(body);
    return Wait(child, limit);
}

}  // namespace CoreSystemTest
