// Tests of the 8-byte process-shared mutex and condition variable: exclusion, results, holder death
// and wake-ups between forked processes that share one anonymous mapping.
#include "CoreSystem/Platform/Linux/ProcStat.h"
#include "CoreSystem/Platform/ProcessSync.h"

#include "PlatformTestSupport.h"

#include <sys/syscall.h>

namespace {

using namespace PlatformTest;

constexpr int kKilled = 128 + SIGKILL;

struct Shared {
    Platform::ProcessMutex mutex;
    Platform::ProcessCondition condition;
    long counter;  // guarded by `mutex`, like turn and permits
    int turn, permits;
    std::atomic<int> ready, woken;  // read without the mutex
};

timespec At(Clock::time_point when) {
    const auto since = when.time_since_epoch();
    return timespec{static_cast<time_t>(since / 1s), static_cast<long>((since % 1s).count())};
}

class ProcessSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(shared_ = SharedWithChildren<Shared>(), nullptr);
        ASSERT_EQ(shared_->mutex.init(), 0);
        ASSERT_EQ(shared_->condition.init(), 0);
    }
    void TearDown() override { munmap(shared_, sizeof(Shared)); }
    /// The same shared memory mapped a second time, at another address.
    Shared& Alias() { return *static_cast<Shared*>(mremap(shared_, 0, sizeof(Shared), MREMAP_MAYMOVE)); }

    Shared* shared_ = nullptr;
};

// Children lock with lock() or with lockBriefly(), which spins before it sleeps, some through a second
// mapping; the holder now and then keeps the mutex far longer than a spin lasts, so lockers also sleep.
TEST_F(ProcessSyncTest, LockAndBriefLockExcludeEachOtherAcrossProcesses) {
    constexpr int kChildren = 6, kRounds = 10000;
    std::vector<Child> children;
    for (int c = 0; c < kChildren; ++c) {
        children.push_back(Spawn([this, c] {
            Shared& s = c % 2 != 0 ? Alias() : *shared_;
            for (++s.ready; s.ready < kChildren;) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                if ((c % 3 != 0 ? s.mutex.lockBriefly() : s.mutex.lock()) != 0) return 1;
                const long value = s.counter;  // read early, written late: a wide window
                for (volatile int spin = 0; spin < 100; spin = spin + 1) {
                }
                if (round % 1000 == 0) std::this_thread::sleep_for(1ms);
                s.counter = value + 1;
                if (s.mutex.unlock() != 0) return 1;
            }
            return 0;
        }));
    }
    for (auto& child : children) EXPECT_EQ(Wait(child, 60s), 0);
    EXPECT_EQ(shared_->counter, kChildren * kRounds);
}

TEST_F(ProcessSyncTest, ReportsMisuseAndTimeoutsAndPassesADeadHoldersMutexToTheNextLocker) {
    Shared& s = *shared_;
    ASSERT_EQ(s.mutex.lock(), 0);
    EXPECT_EQ(s.mutex.trylock(), EBUSY);
    // Another process and another thread of this one find it taken and may not release it. The
    // other process does not change what the mutex records of its holder either: the holder's own
    // relock is still refused, not taken for a takeover.
    auto takenByAnother = [&] { return s.mutex.unlock() == EPERM && s.mutex.trylock() == EBUSY; };
    EXPECT_EQ(RunInChild([&] { return takenByAnother() ? 0 : 1; }), 0);
    EXPECT_EQ(s.mutex.lock(), EDEADLK);
    std::thread([&] { EXPECT_TRUE(takenByAnother()); }).join();

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(s.condition.timedwait(s.mutex, At(start + 200ms)), ETIMEDOUT);
    const Clock::duration waited = Clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(s.condition.timedwait(s.mutex, At(start - 1s)), ETIMEDOUT);
    EXPECT_EQ(s.condition.timedwait(s.mutex, timespec{0, 1000000000L}), EINVAL);

    EXPECT_EQ(s.mutex.unlock(), 0);  // held again after the timed-out waits
    EXPECT_EQ(s.mutex.unlock(), EPERM);
    EXPECT_EQ(s.condition.wait(s.mutex), EPERM);

    // A locker already blocked when the holding process is killed gets the lock, and is told that
    // it took it over; then it dies holding it.
    Child holder = Spawn([&] { return s.mutex.lock() != 0 ? 1 : (++s.ready, pause()); });
    EXPECT_TRUE(Eventually([&] { return s.ready == 1; }));
    Child waiter = Spawn([&] { return s.mutex.lock() == EOWNERDEAD ? raise(SIGKILL) : 1; });
    EXPECT_TRUE(Eventually([&] { return CoreSystemTest::BlockedInFutex(waiter.pid); }));
    kill(holder.pid, SIGKILL);
    EXPECT_EQ(Wait(holder), kKilled);
    EXPECT_EQ(Wait(waiter, 10s), kKilled);

    // A later locker takes it over in a thread that ends holding it; then trylock takes it over.
    EXPECT_EQ(RunInChild([&] {
        int locked = -1;
        std::thread([&] { locked = s.mutex.lock(); }).join();
        return locked == EOWNERDEAD && s.mutex.trylock() == EOWNERDEAD && s.mutex.unlock() == 0 ? 0 : 1;
    }), 0);
    // lockBriefly() detects a dead holder too, and records itself as the holder.
    EXPECT_EQ(RunInChild([&] { return s.mutex.lock() != 0 ? 1 : raise(SIGKILL); }), kKilled);
    EXPECT_EQ(RunInChild([&] {
        alarm(5);
        const bool tookOver = s.mutex.lockBriefly() == EOWNERDEAD && s.mutex.lockBriefly() == EDEADLK;
        return tookOver && s.mutex.unlock() == 0 ? 0 : 1;
    }), 0);

    // The mutex's words as a dead holder left them, its ids now reused: its thread id names a
    // live thread of another process (this thread), or its process id was given to a new process
    // whose main thread has the holder's thread id (a holder that was a main thread).
    Child reused = Spawn([] { return pause(); });
    const auto reusedPid = static_cast<std::uint32_t>(reused.pid);
    const std::string stat = "/proc/" + std::to_string(reusedPid) + "/task/" + std::to_string(reusedPid) + "/stat";
    const std::uint64_t started = CoreSystem::Platform::Linux::startTicks(stat.c_str());
    ASSERT_NE(started, 0u);
    Child gone = Spawn([] { return 0; });
    const std::uint32_t forged[][2] = {
        {static_cast<std::uint32_t>(syscall(SYS_gettid)), static_cast<std::uint32_t>(gone.pid)},
        {reusedPid, CoreSystem::Platform::Linux::HolderToken(reusedPid, started + 1)},
    };
    EXPECT_EQ(Wait(gone), 0);
    for (const auto& words : forged) {
        std::memcpy(static_cast<void*>(&s.mutex), words, sizeof words);
        const int status = RunInChild([&] {
            alarm(5);  // a lock left to the wrong holder would never come back
            return s.mutex.lock() == EOWNERDEAD && s.mutex.unlock() == 0 ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << "holder " << words[0] << " (" << 128 + SIGALRM << ": not taken over)";
    }
    kill(reused.pid, SIGKILL);
    Wait(reused);
}

TEST_F(ProcessSyncTest, ConditionWakesWaitersInOtherProcessesAndLosesNoWakeUp) {
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
    std::vector<Child> waiters;
    for (int i = 0; i < kWaiters; ++i) waiters.push_back(Spawn(takePermit));
    EXPECT_TRUE(Eventually([&] { return s.ready == kWaiters; }));
    for (int permits : {1, kWaiters - 1}) {  // one signal, then one broadcast for the rest
        EXPECT_EQ(s.mutex.lock(), 0);
        s.permits = permits;
        EXPECT_EQ(permits == 1 ? s.condition.signal() : s.condition.broadcast(), 0);
        EXPECT_EQ(s.mutex.unlock(), 0);
        EXPECT_TRUE(Eventually([&] { return s.woken == (permits == 1 ? 1 : kWaiters); }));
    }
    for (auto& waiter : waiters) EXPECT_EQ(Wait(waiter, 10s), 0);

    // A ping-pong between processes loses no wake-up.
    constexpr int kRounds = 5000;
    // The parent waits for its turn; the partner polls with trylock, so that it often takes the
    // mutex the moment a wait releases it and signals before the waiter sleeps.
    Child partner = Spawn([&] {
        for (long done = 0; done < kRounds;) {
            const int result = s.mutex.trylock();
            if (result == EBUSY) continue;
            if (result != 0) return 1;
            if (s.turn == 1) {
                s.turn = 0;
                done = ++s.counter;
                if (s.condition.signal() != 0) return 1;
            }
            if (s.mutex.unlock() != 0) return 1;
        }
        return 0;
    });
    int result = s.mutex.lock();
    for (int round = 0; round < kRounds && result == 0; ++round) {
        s.turn = 1;
        while (s.turn != 0 && result == 0) result = s.condition.timedwait(s.mutex, At(Clock::now() + 5s));
    }
    EXPECT_EQ(result, 0) << "after " << s.counter << " rounds";
    EXPECT_EQ(s.mutex.unlock(), 0);
    EXPECT_EQ(Wait(partner, result == 0 ? 30s : 0s), 0);
    EXPECT_EQ(s.counter, kRounds);
}

}  // namespace