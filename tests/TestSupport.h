// Helpers shared by the tests: a private host namespace and directory per test case, and child
// processes run under a time limit and always reaped.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

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
    void removeSharedObjects() const;
    std::string word_;
    std::string root_;
};

/// A forked child whose standard output is captured.
struct Child {
    pid_t pid = -1;
    int outputFd = -1;  ///< read end of the child's standard output, or -1 when not captured
};

/// Runs `body` in a forked child; its return value becomes the exit status.
Child Spawn(const std::function<int()>& body, bool captureOutput = false);
/// Runs a program with arguments in a child (argv[0] is `path`). With `errorPath`, its standard
/// error goes to that file.
Child SpawnProgram(const std::string& path, const std::vector<std::string>& args,
                   bool captureOutput = false, const std::string& errorPath = "");

/// What a program printed and how it ended.
struct Outcome {
    int status;
    std::string out;
    std::string err;
};
/// Runs a program to its end (killed after `limit`) and collects its output.
Outcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));
/// Collects the output of a child started with SpawnProgram(..., true, errorPath).
Outcome Finish(Child& child, const std::string& errorPath,
               std::chrono::milliseconds limit = std::chrono::seconds(20));
/// Waits for the child to end; kills it (SIGKILL) when it runs past `limit`. Returns the exit
/// status, 128 + signal when it was killed by a signal, or -1 after the time limit.
int Wait(Child& child, std::chrono::milliseconds limit = std::chrono::seconds(20));
/// Reads what the child wrote to standard output so far (until end of file when `toEnd`).
std::string ReadOutput(Child& child, bool toEnd = true);
/// Polls `predicate` until it holds or `limit` passes. Returns its last value.
bool Eventually(const std::function<bool()>& predicate,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

/// Directory of the running test binary (to find the tools built beside it).
std::string BuildDirectory();

}  // namespace CoreSystemTest
