// Processes and POSIX services on the host: spawn modes and their results, priorities carried to
// children, waitfor, thread names and ids, namespaced names and semaphores, injected faults, delay,
// and slogf records reaching the observer and the CORESYSTEM_SLOG destination whole.
#include "CoreSystem/Platform/Process.h"

#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "PlatformTestSupport.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

namespace {

using namespace CoreSystem::Platform;
using namespace PlatformTest;

constexpr int kCode = _SLOG_SETCODE(_SLOGC_TEST, 7);

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

TEST(ProcessTest, SpawnModesReportTheOutcomeWaitForNoOtherChildAndPassOnTheCallersPriority) {
    IsolatedHost host;
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
    EXPECT_TRUE(Eventually([&] {
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
        EXPECT_EQ(ErrnoOf(Platform::spawnv(mode, missing.c_str(), seven)), ENOENT) << "mode " << mode;
        EXPECT_EQ(ErrnoOf(Platform::spawnv(mode, data.c_str(), seven)), EACCES) << "mode " << mode;
    }
    EXPECT_EQ(ErrnoOf(SpawnShell(2, "exit 0")), EINVAL);  // not a spawn mode
    // No child is left behind: none that ended, none that could not start.
    EXPECT_EQ(ErrnoOf(waitpid(-1, &status, WNOHANG)), ECHILD);

    // Another thread forking children that live on (without exec) while spawns run: no spawn may
    // wait for those children.
    std::atomic<bool> done{false};
    std::vector<pid_t> forked;
    std::thread forker([&] {
        while (!done && forked.size() < 300) {
            const pid_t child = fork();
            if (child == 0) {  // lives until killed below, at most 3 s
                alarm(3);
                _exit(pause());
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
    for (pid_t child : forked) kill(child, SIGKILL);
    for (pid_t child : forked) waitpid(child, nullptr, 0);
    EXPECT_LT(slowest, 1500ms) << forked.size() << " children forked meanwhile";

    const int start = Platform::getprio(0);
    EXPECT_EQ(Platform::setprio(0, 20), start);
    for (int bad : {0, 256, -1}) EXPECT_EQ(ErrnoOf(Platform::setprio(0, bad)), EINVAL) << bad;
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

TEST(PosixTest, ThreadNamesAreCutToFitIdsFollowForkDelayReportsTheTimeLeftAndWakeUpsCount) {
    // The second: 14 ASCII bytes and a two-byte character, which the cut drops whole.
    for (const auto& [given, kept] :
         {std::pair{"NMClientDispatcher", "NMClientDispatc"}, {"AbcdefghijklmnĂx", "Abcdefghijklmn"}}) {
        char name[16] = {};
        EXPECT_EQ(Platform::pthread_setname_np(0, given), 0);
        pthread_getname_np(pthread_self(), name, sizeof name);
        EXPECT_STREQ(name, kept);
    }

    EXPECT_EQ(Platform::gettid(), getpid());  // asked before the fork below
    pid_t otherTid = 0;
    std::thread([&] { otherTid = Platform::gettid(); }).join();
    EXPECT_NE(otherTid, getpid());
    EXPECT_EQ(RunInChild([] { return Platform::gettid() == getpid() ? 0 : 1; }), 0);

    EXPECT_EQ(Platform::delay(5), 0u);
    const auto previous = signal(SIGALRM, [](int) {});  // sleeps are cut short even with SA_RESTART
    alarm(1);
    const unsigned left = Platform::delay(20000);
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 20000u);

    // A wake-up keeps its posts, one per wait, and a post from another thread ends a wait under
    // way (the alarm bounds the waits); a signal ends a wait even with SA_RESTART (in a child, so
    // that a wait that never ends is cut off).
    Platform::ThreadWake wake;
    alarm(1);
    ASSERT_EQ(wake.post() + wake.post(), 0);
    ASSERT_EQ(wake.wait(), 0);
    ASSERT_EQ(wake.wait(), 0);
    std::thread poster([&] {
        Platform::delay(20);
        wake.post();
    });
    EXPECT_EQ(wake.wait(), 0);
    poster.join();
    alarm(0);
    EXPECT_EQ(RunInChild([&] {
        alarm(1);
        return wake.wait() == -1 && errno == EINTR ? 0 : 1;
    }, std::chrono::seconds(5)), 0);
    signal(SIGALRM, previous);
}

TEST(EnvironmentTest, NamesAndSemaphoresStayInTheNamespaceDevicePathsUnderTheRootAndWaitforSeesThem) {
    EXPECT_EQ(SharedObjectName("/NMRegistry", "dev2"), "/dev2.NMRegistry");
    EXPECT_EQ(SharedObjectName("NMRegistry", "dev2"), "/dev2.NMRegistry");
    EXPECT_EQ(SharedObjectName("/NMRegistry", ""), "/NMRegistry");
    EXPECT_EQ(DevicePath("/dev/i2c1", "/tmp/board/"), "/tmp/board/dev/i2c1");
    EXPECT_EQ(DevicePath("/dev/i2c1", ""), "/dev/i2c1");
    EXPECT_EQ(DevicePath("media/usb0", "/tmp/board"), "media/usb0");  // relative: left alone
    EXPECT_EQ(DevicePath("", "/tmp/board"), "");
    // Without arguments, both come from the environment.
    IsolatedHost host;
    EXPECT_EQ(SharedObjectName("/NMRegistry"), "/" + host.word() + ".NMRegistry");
    EXPECT_EQ(DevicePath("/mnt/marker"), host.root() + "/mnt/marker");

    sem_t* sem = Platform::sem_open("/CsPosixTest", O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);
    EXPECT_EQ(RunInChild([] { return Platform::sem_open("/CsPosixTest", 0) != SEM_FAILED ? 0 : 1; }), 0);
    EXPECT_EQ(RunInChild([] {
        setenv("CORESYSTEM_NAMESPACE", "another-device", 1);
        return Platform::sem_open("/CsPosixTest", 0) == SEM_FAILED && errno == ENOENT ? 0 : 1;
    }), 0);
    sem_close(sem);
    EXPECT_EQ(Platform::sem_unlink("/CsPosixTest"), 0);
    Platform::FailNext(Platform::Call::ShmOpen, EMFILE);  // shared objects take injected faults
    EXPECT_EQ(ErrnoOf(Platform::shm_open("/CsPosixFault", O_RDWR | O_CREAT, 0600)), EMFILE);

    for (int pollMs : {0, 30}) {
        SCOPED_TRACE(pollMs);
        const std::string path = host.root() + "/later-" + std::to_string(pollMs);
        auto begin = Clock::now();
        EXPECT_EQ(ErrnoOf(Platform::waitfor(path.c_str(), 150, pollMs)), ETIMEDOUT);
        EXPECT_GE(Clock::now() - begin, 150ms);

        std::thread creator([&] {
            std::this_thread::sleep_for(60ms);
            std::ofstream(path) << "ready";
        });
        begin = Clock::now();
        EXPECT_EQ(Platform::waitfor(path.c_str(), 10000, pollMs), 0);
        EXPECT_LT(Clock::now() - begin, 5s);
        creator.join();
    }
}

TEST(SlogTest, RecordsReachTheObserverAndTheFileWholeAndBadSeverityIsRefused) {
    std::vector<std::string> seen;  // code, severity and text of each record
    Platform::SetSlogObserver([&seen](const Platform::SlogRecord& record) {
        seen.push_back(std::to_string(record.opcode) + " " + std::to_string(record.severity) + " " + record.text);
    });
    const std::string text = "disk " + std::string(600, 'x') + " full";
    const int size = slogf(kCode, _SLOG_ERROR, "%s after %d tries\n", text.c_str(), 3);
    EXPECT_GT(slogf(kCode, _SLOG_DEBUG2, "lowest"), 0);
    EXPECT_EQ(ErrnoOf(slogf(kCode, 16, "no")), EINVAL);
    EXPECT_EQ(slogf(kCode, -1, "no"), -1);
    Platform::SetSlogObserver({});

    const std::string code = std::to_string(kCode);
    EXPECT_EQ(size, static_cast<int>((code + " 2 " + text + " after 3 tries\n").size()));
    EXPECT_EQ(seen, (std::vector<std::string>{code + " 2 " + text + " after 3 tries", code + " 7 lowest"}));

    // Records of concurrent processes reach the file as whole lines.
    IsolatedHost host;
    const std::string path = host.root() + "/slog.txt";
    setenv(Platform::kSlogVariable, path.c_str(), 1);
    constexpr int kRecords = 300;
    auto write = [](char fill) {
        const std::string half(150, fill);
        for (int i = 0; i < kRecords; ++i) slogf(kCode, _SLOG_INFO, "%s\n%s\n", half.c_str(), half.c_str());
        return 0;
    };
    Child a = Spawn([&] { return write('a'); }), b = Spawn([&] { return write('b'); });
    EXPECT_EQ(Wait(a), 0);
    EXPECT_EQ(Wait(b), 0);
    setenv(Platform::kSlogVariable, "", 1);

    // Each record is one line; its inner line break became a space.
    auto line = [&](char fill) { return code + " 5 " + std::string(150, fill) + " " + std::string(150, fill); };
    std::ifstream file(path);
    int count[2] = {0, 0};
    for (std::string text; std::getline(file, text);) {
        ASSERT_TRUE(text == line('a') || text == line('b')) << text;
        ++count[text.back() - 'a'];
    }
    EXPECT_EQ(count[0], kRecords);
    EXPECT_EQ(count[1], kRecords);
}

}  // namespace
