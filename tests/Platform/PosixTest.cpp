// POSIX services on the host: thread names and ids, namespaced semaphores, injected faults, delay.
#include "CoreSystem/Platform/Posix.h"

#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

namespace Platform = CoreSystem::Platform;

std::string NameOf(pthread_t thread) {
    char name[64] = {};
    pthread_getname_np(thread, name, sizeof name);
    return name;
}

TEST(PosixTest, ThreadNamesAreCutToFitAndIdsFollowFork) {
    EXPECT_EQ(Platform::pthread_setname_np(0, "NMClientDispatcher"), 0);
    EXPECT_EQ(NameOf(pthread_self()), "NMClientDispatc");
    // 14 ASCII bytes and a two-byte character: the cut drops the whole character.
    EXPECT_EQ(Platform::pthread_setname_np(pthread_self(), "AbcdefghijklmnĂx"), 0);
    EXPECT_EQ(NameOf(pthread_self()), "Abcdefghijklmn");

    const pid_t mine = Platform::gettid();
    EXPECT_EQ(mine, getpid());
    pid_t otherTid = 0;
    std::thread([&] { otherTid = Platform::gettid(); }).join();
    EXPECT_NE(otherTid, mine);
    CoreSystemTest::Child child =
        CoreSystemTest::Spawn([] { return Platform::gettid() == getpid() ? 0 : 1; });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

TEST(PosixTest, SemaphoreIsSharedWithinTheNamespaceOnly) {
    CoreSystemTest::IsolatedHost host;
    sem_t* sem = Platform::sem_open("/CsPosixTest", O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);

    CoreSystemTest::Child same = CoreSystemTest::Spawn([] {
        sem_t* peer = Platform::sem_open("/CsPosixTest", 0);
        return peer != SEM_FAILED && sem_post(peer) == 0 ? 0 : 1;
    });
    CoreSystemTest::Child other = CoreSystemTest::Spawn([] {
        setenv("CORESYSTEM_NAMESPACE", "another-device", 1);
        return Platform::sem_open("/CsPosixTest", 0) == SEM_FAILED && errno == ENOENT ? 0 : 1;
    });
    EXPECT_EQ(CoreSystemTest::Wait(same), 0);
    EXPECT_EQ(CoreSystemTest::Wait(other), 0);
    EXPECT_EQ(sem_trywait(sem), 0);  // the post of the peer in the same namespace
    sem_close(sem);
    EXPECT_EQ(Platform::sem_unlink("/CsPosixTest"), 0);
}

TEST(PosixTest, InjectedShmOpenFaultFailsExactlyTheChosenCalls) {
    CoreSystemTest::IsolatedHost host;
    auto opens = [] {
        const int fd = Platform::shm_open("/CsPosixFault", O_RDWR | O_CREAT, 0600);
        if (fd >= 0) close(fd);
        return fd >= 0 ? 0 : errno;
    };
    Platform::FailNext(Platform::Call::ShmOpen, EMFILE, 2, 2);
    Platform::FailNext(Platform::Call::Open, EIO);  // another call's fault stays apart
    EXPECT_EQ(opens(), 0);
    EXPECT_EQ(opens(), 0);
    EXPECT_EQ(opens(), EMFILE);
    EXPECT_EQ(opens(), EMFILE);
    EXPECT_EQ(opens(), 0);

    Platform::FailNext(Platform::Call::ShmOpen, ENOSPC);
    Platform::ClearFaults();
    EXPECT_EQ(opens(), 0);
    EXPECT_FALSE(Platform::InjectedFault(Platform::Call::Open));
    EXPECT_EQ(Platform::shm_unlink("/CsPosixFault"), 0);
}

TEST(PosixTest, DelayReportsTheTimeLeftWhenInterrupted) {
    EXPECT_EQ(Platform::delay(5), 0u);
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) {};  // no SA_RESTART: the sleep is cut short
    sigaction(SIGUSR1, &action, &previous);
    std::atomic<bool> done{false};
    std::thread interrupter([&done, sleeper = pthread_self()] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            pthread_kill(sleeper, SIGUSR1);
    });
    const unsigned left = Platform::delay(20000);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 20000u);
}

}  // namespace
