// Tests of the 8-byte process-shared mutex and condition variable: exclusion, results, holder death
// and wake-ups between forked processes that share one anonymous mapping.
#include "CoreSystem/Platform/ProcessSync.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using CoreSystem::Platform::ProcessCondition;
using CoreSystem::Platform::ProcessMutex;
using CoreSystemTest::Child;
using CoreSystemTest::Eventually;
using CoreSystemTest::Spawn;
using CoreSystemTest::Wait;
using namespace std::chrono_literals;

constexpr int kKilled = 128 + SIGKILL;

struct Shared {
    ProcessMutex mutex;
    ProcessCondition condition;
    long counter;  // guarded by `mutex`, like turn, permits and flag
    int turn;
    int permits;
    int flag;
    std::atomic<int> ready;  // these are read without the mutex
    std::atomic<int> woken;
};

bool BlockedInFutex(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return static_cast<bool>(file >> number) && number == SYS_futex;
}

timespec MonotonicIn(std::chrono::nanoseconds delay) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long total = now.tv_sec * 1000000000LL + now.tv_nsec + delay.count();
    return timespec{static_cast<time_t>(total / 1000000000LL), static_cast<long>(total % 1000000000LL)};
}

class ProcessSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        memory_ = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(memory_, MAP_FAILED);
        shared_ = new (memory_) Shared{};
        ASSERT_EQ(shared_->mutex.init(), 0);
        ASSERT_EQ(shared_->condition.init(), 0);
    }
    void TearDown() override {
        if (memory_ != MAP_FAILED) munmap(memory_, sizeof(Shared));
    }
    /// The same shared memory mapped a second time, at another address.
    Shared& Alias() { return *static_cast<Shared*>(mremap(memory_, 0, sizeof(Shared), MREMAP_MAYMOVE)); }

    /// Body of a child: takes the mutex, counts, releases; 0 when every call succeeded.
    int CountOnce() {
        if (shared_->mutex.lock() != 0) return 1;
        ++shared_->counter;
        return shared_->mutex.unlock();
    }

    void* memory_ = MAP_FAILED;
    Shared* shared_ = nullptr;
};

TEST_F(ProcessSyncTest, MutexExcludesThreadsOfSeveralProcesses) {
    constexpr int kChildren = 4, kThreads = 2, kRounds = 10000;
    std::vector<Child> children;
    children.reserve(kChildren);
    for (int c = 0; c < kChildren; ++c) {
        children.push_back(Spawn([this, c] {
            Shared& s = c % 2 != 0 ? Alias() : *shared_;
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            threads.reserve(kThreads);
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] {
                    for (++s.ready; s.ready < kChildren * kThreads;) std::this_thread::yield();
                    for (int round = 0; round < kRounds; ++round) {
                        if (s.mutex.lock() != 0) ++failures;
                        const long value = s.counter;  // read early, written late: a wide window
                        for (volatile int spin = 0; spin < 100; spin = spin + 1) {
                        }
                        s.counter = value + 1;
                        if (s.mutex.unlock() != 0) ++failures;
                    }
                });
            }
            for (auto& thread : threads) thread.join();
            return failures.load();
        }));
    }
    for (auto& child : children) EXPECT_EQ(Wait(child, 60s), 0);
    EXPECT_EQ(shared_->counter, kChildren * kThreads * kRounds);
}

TEST_F(ProcessSyncTest, MutexIsNonRecursiveAndOnlyItsHolderReleasesIt) {
    ProcessMutex& mutex = shared_->mutex;
    ASSERT_EQ(mutex.lock(), 0);
    EXPECT_EQ(mutex.lock(), EDEADLK);
    EXPECT_EQ(mutex.trylock(), EBUSY);
    Child other = Spawn([&] { return mutex.unlock() == EPERM && mutex.trylock() == EBUSY ? 0 : 1; });
    EXPECT_EQ(Wait(other), 0);
    int threadUnlock = 0, threadTrylock = 0;
    std::thread([&] {
        threadUnlock = mutex.unlock();
        threadTrylock = mutex.trylock();
    }).join();
    EXPECT_EQ(threadUnlock, EPERM);
    EXPECT_EQ(threadTrylock, EBUSY);
    EXPECT_EQ(mutex.unlock(), 0);
    EXPECT_EQ(mutex.unlock(), EPERM);
    Child taker = Spawn([&] { return mutex.trylock() == 0 && mutex.unlock() == 0 ? 0 : 1; });
    EXPECT_EQ(Wait(taker), 0);
}

TEST_F(ProcessSyncTest, MutexOfADeadHolderPassesToTheNextLocker) {
    Shared& s = *shared_;
    // A locker already blocked when the holding process is killed.
    Child holder = Spawn([&] {
        if (s.mutex.lock() != 0) return 1;
        ++s.ready;
        return pause();
    });
    EXPECT_TRUE(Eventually([&] { return s.ready == 1; }));
    Child waiter = Spawn([&] { return CountOnce(); });
    EXPECT_TRUE(Eventually([&] { return BlockedInFutex(waiter.pid); }));
    kill(holder.pid, SIGKILL);
    EXPECT_EQ(Wait(holder), kKilled);
    EXPECT_EQ(Wait(waiter, 10s), 0);

    // Lockers arriving after the holding process or thread died.
    holder = Spawn([&] { return s.mutex.lock() == 0 ? raise(SIGKILL) : 1; });
    EXPECT_EQ(Wait(holder), kKilled);
    EXPECT_TRUE(Eventually([&] { return s.mutex.trylock() == 0; }, 5s));
    EXPECT_EQ(s.mutex.unlock(), 0);
    Child late = Spawn([&] {
        std::thread([&] { s.mutex.lock(); }).join();
        return CountOnce();
    });
    EXPECT_EQ(Wait(late, 10s), 0);

    // The dead holder's thread id now names a live thread of another process: the mutex's two words
    // (holder thread id, holder process id) are set as such a holder would have left them.
    Child stranger = Spawn([] { return pause(); });
    Child gone = Spawn([] { return 0; });
    const std::uint32_t forged[2] = {static_cast<std::uint32_t>(stranger.pid),
                                     static_cast<std::uint32_t>(gone.pid)};
    EXPECT_EQ(Wait(gone), 0);
    std::memcpy(static_cast<void*>(&s.mutex), forged, sizeof forged);
    late = Spawn([&] { return CountOnce(); });
    EXPECT_EQ(Wait(late, 10s), 0);
    kill(stranger.pid, SIGKILL);
    Wait(stranger);

    // A waiter woken by a holder that then dies gets the mutex back.
    Child sleeper = Spawn([&] {
        if (s.mutex.lock() != 0) return 1;
        ++s.ready;
        while (s.flag == 0) {
            if (s.condition.wait(s.mutex) != 0) return 2;
        }
        ++s.counter;
        return s.mutex.unlock();
    });
    EXPECT_TRUE(Eventually([&] { return s.ready == 2; }));
    holder = Spawn([&] {
        if (s.mutex.lock() != 0) return 1;
        s.flag = 1;
        return s.condition.signal() == 0 ? raise(SIGKILL) : 1;
    });
    EXPECT_EQ(Wait(holder), kKilled);
    EXPECT_EQ(Wait(sleeper, 10s), 0);
    EXPECT_EQ(s.counter, 4);
    EXPECT_TRUE(Eventually([&] { return s.mutex.trylock() == 0; }, 5s));
}

TEST_F(ProcessSyncTest, ConditionSignalAndBroadcastWakeWaitersInOtherProcesses) {
    constexpr int kWaiters = 3;
    Shared& s = *shared_;
    auto takePermit = [&s] {
        if (s.mutex.lock() != 0) return 1;
        ++s.ready;
        while (s.permits == 0) {
            if (s.condition.wait(s.mutex) != 0) return 2;
        }
        --s.permits;
        ++s.woken;
        return s.mutex.unlock();
    };
    // A waiter killed while waiting must not disturb the later ones.
    Child killed = Spawn(takePermit);
    EXPECT_TRUE(Eventually([&] { return s.ready == 1 && BlockedInFutex(killed.pid); }));
    kill(killed.pid, SIGKILL);
    EXPECT_EQ(Wait(killed), kKilled);

    std::vector<Child> waiters;
    waiters.reserve(kWaiters);
    for (int i = 0; i < kWaiters; ++i) waiters.push_back(Spawn(takePermit));
    EXPECT_TRUE(Eventually([&] { return s.ready == 1 + kWaiters; }));
    for (int permits : {1, kWaiters - 1}) {
        EXPECT_EQ(s.mutex.lock(), 0);
        s.permits = permits;
        EXPECT_EQ(permits == 1 ? s.condition.signal() : s.condition.broadcast(), 0);
        EXPECT_EQ(s.mutex.unlock(), 0);
        EXPECT_TRUE(Eventually([&] { return s.woken == (permits == 1 ? 1 : kWaiters); }));
    }
    for (auto& waiter : waiters) EXPECT_EQ(Wait(waiter, 10s), 0);
}

TEST_F(ProcessSyncTest, ConditionTimedwaitEndsAfterItsMonotonicDeadline) {
    Shared& s = *shared_;
    EXPECT_EQ(s.condition.wait(s.mutex), EPERM);
    ASSERT_EQ(s.mutex.lock(), 0);
    const timespec deadline = MonotonicIn(200ms);
    EXPECT_EQ(s.condition.timedwait(s.mutex, deadline), ETIMEDOUT);
    const timespec now = MonotonicIn(0ns);
    EXPECT_TRUE(now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec));
    EXPECT_LT(now.tv_sec, deadline.tv_sec + 5);
    EXPECT_EQ(s.mutex.trylock(), EBUSY);  // held again
    EXPECT_EQ(s.condition.timedwait(s.mutex, MonotonicIn(-1s)), ETIMEDOUT);
    EXPECT_EQ(s.condition.timedwait(s.mutex, timespec{now.tv_sec, 1000000000L}), EINVAL);
    EXPECT_EQ(s.mutex.unlock(), 0);
}

TEST_F(ProcessSyncTest, ConditionLosesNoWakeUpInAPingPongBetweenProcesses) {
    constexpr int kRounds = 5000;
    Shared& s = *shared_;
    // The parent waits for its turn; the partner polls with trylock, so that it often takes the
    // mutex the moment a wait releases it and signals before the waiter sleeps.
    Child partner = Spawn([&] {
        for (int round = 0; round < kRounds; ++round) {
            for (;;) {
                const int result = s.mutex.trylock();
                if (result == EBUSY) continue;
                if (result != 0) return 1;
                if (s.turn == 1) break;
                if (s.mutex.unlock() != 0) return 1;
            }
            s.turn = 0;
            ++s.counter;
            if (s.condition.signal() != 0 || s.mutex.unlock() != 0) return 1;
        }
        return 0;
    });
    int result = s.mutex.lock();
    for (int round = 0; round < kRounds && result == 0; ++round) {
        s.turn = 1;
        while (s.turn != 0 && result == 0) result = s.condition.timedwait(s.mutex, MonotonicIn(5s));
    }
    EXPECT_EQ(result, 0) << "after " << s.counter << " rounds";
    EXPECT_EQ(s.mutex.unlock(), 0);
    EXPECT_EQ(Wait(partner, result == 0 ? 30s : 0s), 0);
    EXPECT_EQ(s.counter, kRounds);
}

}  // namespace
