// Processes on the host: spawn modes and their results, priorities per thread and in children,
// waitfor with and without polling.
#include "CoreSystem/Platform/Process.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Platform = CoreSystem::Platform;
using Clock = std::chrono::steady_clock;

// Started as "<this test binary> --priority-child <file>", the binary writes "<priority of thread
// 1> <priority of a new thread> <nice>" to <file> and ends before any test runs.
const bool gRanAsPriorityChild = [] {
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
    if (args.size() != 3 || args[1] != "--priority-child") return false;
    int threadPriority = -1;
    std::thread([&] { threadPriority = Platform::getprio(0); }).join();
    std::ofstream(args[2]) << Platform::getprio(0) << ' ' << threadPriority << ' '
                           << getpriority(PRIO_PROCESS, 0);
    std::_Exit(0);
}();

// Starts the priority child from the calling thread and returns what it wrote.
std::string ChildPriorities(const std::string& dir) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return "no self";
    const std::string out = dir + "/priorities";
    char* argv[] = {self, const_cast<char*>("--priority-child"), const_cast<char*>(out.c_str()), nullptr};
    if (Platform::spawnv(P_WAIT, self, argv) != 0) return "spawn failed";
    std::string text;
    std::getline(std::ifstream(out), text);
    return text;
}

int SpawnShell(int mode, const char* script) {
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script), nullptr};
    return Platform::spawnv(mode, "/bin/sh", argv);
}

bool NoChildLeft() {
    int status = 0;
    return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(ProcessTest, SpawnReportsExitStatusOrWhyTheProgramCouldNotStart) {
    CoreSystemTest::IsolatedHost host;
    EXPECT_EQ(SpawnShell(P_WAIT, "exit 3"), 3);
    EXPECT_EQ(SpawnShell(P_WAIT, "kill -9 $$"), 128 + SIGKILL);  // never mistaken for success

    // PATH lookup, past a missing directory, including a script without "#!" that sh runs.
    ASSERT_EQ(mkdir((host.root() + "/bin").c_str(), 0755), 0);
    const std::string script = host.root() + "/bin/cs-exit-seven";
    std::ofstream(script) << "exit 7\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (host.root() + "/nowhere:" + host.root() + "/bin:" + oldPath).c_str(), 1);
    char* seven[] = {const_cast<char*>("cs-exit-seven"), nullptr};
    EXPECT_EQ(Platform::spawnvp(P_WAIT, "cs-exit-seven", seven), 7);
    EXPECT_EQ(Platform::spawnv(P_WAIT, "cs-exit-seven", seven), -1);  // spawnv does not search
    setenv("PATH", oldPath.c_str(), 1);

    // Programs that cannot start fail in every mode with the reason, and leave no child behind.
    const std::string data = host.root() + "/not-executable";
    std::ofstream(data) << "exit 0\n";
    for (int mode : {P_WAIT, P_NOWAIT, P_NOWAITO}) {
        SCOPED_TRACE(mode);
        errno = 0;
        EXPECT_EQ(Platform::spawnv(mode, (host.root() + "/missing").c_str(), seven), -1);
        EXPECT_EQ(errno, ENOENT);
        errno = 0;
        EXPECT_EQ(Platform::spawnv(mode, data.c_str(), seven), -1);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_TRUE(NoChildLeft());

    char* noName[] = {nullptr};
    errno = 0;
    EXPECT_EQ(Platform::spawnv(P_WAIT, "/bin/sh", noName), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(SpawnShell(2, "exit 0"), -1);  // not a spawn mode
    EXPECT_EQ(errno, EINVAL);
}

TEST(ProcessTest, NoWaitChildIsWaitableAndDetachedChildLeavesNoZombie) {
    CoreSystemTest::IsolatedHost host;
    const pid_t waitable = SpawnShell(P_NOWAIT, "exit 4");
    int status = 0;
    ASSERT_EQ(waitpid(waitable, &status, 0), waitable);
    EXPECT_EQ(WEXITSTATUS(status), 4);

    // The detached child writes its own pid and ends; neither it nor a helper is ours to reap.
    const std::string pidFile = host.root() + "/detached-pid";
    const std::string script = "echo $$ > " + pidFile + ".tmp && mv " + pidFile + ".tmp " + pidFile;
    const pid_t detached = SpawnShell(P_NOWAITO, script.c_str());
    ASSERT_GT(detached, 0);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return access(pidFile.c_str(), F_OK) == 0; }));
    pid_t reported = 0;
    std::ifstream(pidFile) >> reported;
    EXPECT_EQ(reported, detached);
    EXPECT_EQ(waitpid(detached, &status, WNOHANG), -1);
    EXPECT_TRUE(NoChildLeft());
}

TEST(ProcessTest, PrioritiesArePerThreadAndChildrenStartWithTheCallersPriority) {
    CoreSystemTest::IsolatedHost host;
    const int start = Platform::getprio(0);
    EXPECT_EQ(start, getenv("CORESYSTEM_PRIORITY") ? start : 10);  // the target's default
    EXPECT_EQ(Platform::setprio(0, 20), start);
    EXPECT_EQ(Platform::getprio(getpid()), 20);  // this is thread 1
    for (int bad : {0, 256, -1}) {
        errno = 0;
        EXPECT_EQ(Platform::setprio(0, bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }

    // Another thread starts at the start priority and changes its own; thread 1 is reachable by pid.
    std::thread([&] {
        EXPECT_EQ(Platform::setprio(0, 5), start);
        EXPECT_EQ(Platform::setprio(getpid(), 21), 20);
        EXPECT_EQ(Platform::getprio(0), 5);
        EXPECT_EQ(ChildPriorities(host.root()), "5 5 5");
        // A fork makes the forking thread thread 1 of the child, with its priority.
        CoreSystemTest::Child forked = CoreSystemTest::Spawn(
            [] { return Platform::getprio(0) == 5 && Platform::getprio(getpid()) == 5 ? 0 : 1; });
        EXPECT_EQ(CoreSystemTest::Wait(forked), 0);
    }).join();
    EXPECT_EQ(Platform::getprio(0), 21);

    // Priority 30 is nice -20; without the right to raise it the child keeps what it may have.
    Platform::setprio(0, 30);
    const std::string expected =
        geteuid() == 0 ? "30 30 -20" : "30 30 " + std::to_string(getpriority(PRIO_PROCESS, 0));
    EXPECT_EQ(ChildPriorities(host.root()), expected);
    Platform::setprio(0, start);

    // Of other processes only whether they exist can be told.
    CoreSystemTest::Child gone = CoreSystemTest::Spawn([] { return 0; });
    const pid_t gonePid = gone.pid;
    CoreSystemTest::Wait(gone);
    EXPECT_EQ(Platform::getprio(gonePid), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(Platform::setprio(1, 10), -1);
    EXPECT_EQ(errno, EPERM);
}

TEST(ProcessTest, WaitforReturnsWhenThePathAppearsOrAfterTheDelay) {
    CoreSystemTest::IsolatedHost host;
    for (int pollMs : {0, 30}) {
        SCOPED_TRACE(pollMs);
        const std::string path = host.root() + "/later-" + std::to_string(pollMs);
        EXPECT_EQ(Platform::waitfor(host.root().c_str(), 0, pollMs), 0);
        EXPECT_EQ(Platform::waitfor(path.c_str(), 0, pollMs), -1);

        auto begin = Clock::now();
        errno = 0;
        EXPECT_EQ(Platform::waitfor(path.c_str(), 150, pollMs), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(150));

        std::thread creator([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            std::ofstream(path) << "ready";
        });
        begin = Clock::now();
        EXPECT_EQ(Platform::waitfor(path.c_str(), 10000, pollMs), 0);
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));
        creator.join();
    }
}

}  // namespace
