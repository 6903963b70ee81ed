// POSIX services on the host: thread names and ids, namespaced semaphores, injected faults, delay.
#include "CoreSystem/Platform/Posix.h"

#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace {

namespace Platform = CoreSystem::Platform;
using namespace CoreSystemTest;

TEST(PosixTest, ThreadNamesAreCutToFitAndIdsFollowFork) {
    char name[16] = {};
    EXPECT_EQ(Platform::pthread_setname_np(0, "NMClientDispatcher"), 0);
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "NMClientDispatc");
    // 14 ASCII bytes and a two-byte character: the cut drops the whole character.
    EXPECT_EQ(Platform::pthread_setname_np(pthread_self(), "AbcdefghijklmnĂx"), 0);
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "Abcdefghijklmn");

    EXPECT_EQ(Platform::gettid(), getpid());  // asked before the fork below
    pid_t otherTid = 0;
    std::thread([&] { otherTid = Platform::gettid(); }).join();
    EXPECT_NE(otherTid, getpid());
    Child child = Spawn([] { return Platform::gettid() == getpid() ? 0 : 1; });
    EXPECT_EQ(Wait(child), 0);
}

TEST(PosixTest, SemaphoreIsSharedWithinTheNamespaceOnly) {
    IsolatedHost host;
    sem_t* sem = Platform::sem_open("/CsPosixTest", O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);
    Child same = Spawn([] { return Platform::sem_open("/CsPosixTest", 0) != SEM_FAILED ? 0 : 1; });
    Child other = Spawn([] {
        setenv("CORESYSTEM_NAMESPACE", "another-device", 1);
        return Platform::sem_open("/CsPosixTest", 0) == SEM_FAILED && errno == ENOENT ? 0 : 1;
    });
    EXPECT_EQ(Wait(same), 0);
    EXPECT_EQ(Wait(other), 0);
    sem_close(sem);
    EXPECT_EQ(Platform::sem_unlink("/CsPosixTest"), 0);
}

TEST(PosixTest, InjectedShmOpenFaultFailsExactlyTheChosenCalls) {
    IsolatedHost host;
    auto opens = [] {
        const int fd = Platform::shm_open("/CsPosixFault", O_RDWR | O_CREAT, 0600);
        if (fd >= 0) close(fd);
        return fd >= 0 ? 0 : errno;
    };
    Platform::FailNext(Platform::Call::ShmOpen, EMFILE, 2, 2);
    Platform::FailNext(Platform::Call::Open, EIO);  // another call's fault stays apart
    int call = 0;
    for (int expected : {0, 0, EMFILE, EMFILE, 0}) EXPECT_EQ(opens(), expected) << "call " << ++call;
    Platform::FailNext(Platform::Call::ShmOpen, ENOSPC);
    Platform::ClearFaults();
    EXPECT_EQ(opens(), 0);
    EXPECT_EQ(Platform::shm_unlink("/CsPosixFault"), 0);
}

TEST(PosixTest, DelayReportsTheTimeLeftWhenInterrupted) {
    EXPECT_EQ(Platform::delay(5), 0u);
    const auto previous = signal(SIGALRM, [](int) {});  // sleeps are cut short even with SA_RESTART
    alarm(1);
    const unsigned left = Platform::delay(20000);
    signal(SIGALRM, previous);
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 20000u);
}

}  // namespace
