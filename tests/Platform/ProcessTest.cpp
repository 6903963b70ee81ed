// Processes on the host: spawn modes and their results, priorities carried to children, waitfor
// with and without polling.
#include "CoreSystem/Platform/Process.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
using CoreSystemTest::ErrnoOf;

// Started as "<this test binary> --priority-child", the binary ends before any test runs, with the
// priority its threads start at as exit status (0 when thread 1 and a new thread disagree).
const bool gRanAsPriorityChild = [] {
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string self, flag;
    std::getline(std::getline(cmdline, self, '\0'), flag, '\0');
    if (flag != "--priority-child") return false;
    int threadPriority = -1;
    std::thread([&] { threadPriority = Platform::getprio(0); }).join();
    std::_Exit(threadPriority == Platform::getprio(0) ? threadPriority : 0);
}();

/// The priority a child spawned from the calling thread starts with, as the child reads it.
int ChildPriority() {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
    char* argv[] = {self, const_cast<char*>("--priority-child"), nullptr};
    return Platform::spawnv(P_WAIT, self, argv);
}

int SpawnShell(int mode, const char* script) {
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script), nullptr};
    return Platform::spawnv(mode, "/bin/sh", argv);
}

TEST(ProcessTest, SpawnModesReportExitStatusPidOrWhyTheProgramCouldNotStart) {
    CoreSystemTest::IsolatedHost host;
    EXPECT_EQ(SpawnShell(P_WAIT, "exit 3"), 3);
    EXPECT_EQ(SpawnShell(P_WAIT, "kill -9 $$"), 128 + SIGKILL);  // never mistaken for success
    const pid_t waitable = SpawnShell(P_NOWAIT, "exit 4");
    int status = 0;
    ASSERT_EQ(waitpid(waitable, &status, 0), waitable);
    EXPECT_EQ(WEXITSTATUS(status), 4);
    // A detached child writes its own pid and ends; neither it nor a helper is ours to reap.
    const std::string pidFile = host.root() + "/detached-pid";
    const pid_t detached = SpawnShell(P_NOWAITO, ("echo $$ > " + pidFile).c_str());
    ASSERT_GT(detached, 0);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] {
        pid_t reported = 0;
        return static_cast<bool>(std::ifstream(pidFile) >> reported) && reported == detached;
    }));
    EXPECT_EQ(waitpid(detached, &status, WNOHANG), -1);

    // PATH lookup, past a missing directory, of a script without "#!" that sh runs.
    const std::string script = host.root() + "/cs-exit-seven";
    std::ofstream(script) << "exit 7\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (host.root() + "/nowhere:" + host.root() + ":" + oldPath).c_str(), 1);
    char* seven[] = {const_cast<char*>("cs-exit-seven"), nullptr};
    EXPECT_EQ(Platform::spawnvp(P_WAIT, "cs-exit-seven", seven), 7);
    EXPECT_EQ(Platform::spawnv(P_WAIT, "cs-exit-seven", seven), -1);  // spawnv does not search
    setenv("PATH", oldPath.c_str(), 1);

    // Programs that cannot start fail in every mode with the reason.
    const std::string missing = host.root() + "/missing", data = host.root() + "/not-executable";
    std::ofstream(data) << "exit 0\n";
    for (int mode : {P_WAIT, P_NOWAIT, P_NOWAITO}) {
        errno = 0;
        EXPECT_EQ(ErrnoOf(Platform::spawnv(mode, missing.c_str(), seven)), ENOENT) << "mode " << mode;
        EXPECT_EQ(ErrnoOf(Platform::spawnv(mode, data.c_str(), seven)), EACCES) << "mode " << mode;
    }
    EXPECT_EQ(ErrnoOf(SpawnShell(2, "exit 0")), EINVAL);  // not a spawn mode
    // No child is left behind: none that ended, none that could not start.
    EXPECT_EQ(ErrnoOf(waitpid(-1, &status, WNOHANG)), ECHILD);
}

// Another thread forking children that live on (without exec) while spawns run: no spawn may
// wait for those children.
TEST(ProcessTest, SpawnDoesNotWaitForChildrenOfAnotherThread) {
    std::atomic<bool> done{false};
    std::vector<pid_t> forked;
    int release[2];
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    std::thread forker([&] {
        while (!done && forked.size() < 300) {
            const pid_t child = fork();
            if (child == 0) {  // lives until the spawns are over, at most 3 s
                close(release[1]);
                pollfd end{release[0], POLLIN, 0};
                poll(&end, 1, 3000);
                _exit(0);
            }
            if (child > 0) forked.push_back(child);
        }
    });
    auto slowest = Clock::duration::zero();
    char* argv[] = {const_cast<char*>("true"), nullptr};
    for (int n = 0; n < 30; ++n) {
        const auto start = Clock::now();
        EXPECT_EQ(Platform::spawnv(P_WAIT, "/bin/true", argv), 0);
        slowest = std::max(slowest, Clock::now() - start);
    }
    done = true;
    forker.join();
    close(release[1]);
    close(release[0]);
    for (pid_t child : forked) waitpid(child, nullptr, 0);
    EXPECT_LT(slowest, std::chrono::milliseconds(1500)) << forked.size() << " children forked meanwhile";
}

TEST(ProcessTest, SetprioReturnsThePreviousPriorityAndChildrenStartWithTheCallersPriority) {
    const int start = Platform::getprio(0);
    EXPECT_EQ(Platform::setprio(0, 20), start);
    for (int bad : {0, 256, -1}) {
        errno = 0;
        EXPECT_EQ(ErrnoOf(Platform::setprio(0, bad)), EINVAL);
    }
    EXPECT_EQ(Platform::getprio(getpid()), 20);  // this is thread 1
    EXPECT_EQ(ChildPriority(), 20);
    // Another thread starts at the start priority; its children get its own priority.
    std::thread([&] {
        EXPECT_EQ(Platform::setprio(0, 5), start);
        EXPECT_EQ(ChildPriority(), 5);
    }).join();

    // The host sees the priority as a nice value: 30 is nice -20, when raising it is allowed.
    EXPECT_EQ(Platform::setprio(0, 30), 20);
    EXPECT_EQ(ChildPriority(), 30);
    const int nice = geteuid() == 0 ? -20 : getpriority(PRIO_PROCESS, 0);
    EXPECT_EQ(SpawnShell(P_WAIT, "exit $(($(nice) + 20))"), nice + 20);
    Platform::setprio(0, start);
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
        EXPECT_EQ(ErrnoOf(Platform::waitfor(path.c_str(), 150, pollMs)), ETIMEDOUT);
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
