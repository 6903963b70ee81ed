// TimerListener: periodic and single calls, replacement and destruction racing the callback, and
// the cases where a callback turns on its own listener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/Application/TimerListener.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Slog.h"
#include "TestSupport.h"

namespace {

using CoreSystem::TimerListener;
using CoreSystemTest::Eventually;
using namespace std::chrono_literals;

void Count(void* counter) { ++*static_cast<std::atomic<int>*>(counter); }

class TimerListenerTest : public ::testing::Test {
protected:
    void TearDown() override {
        CoreSystem::Platform::ClearFaults();
        CoreSystem::Platform::SetSlogObserver({});
    }
    /// Sets `logged` once a log line contains `text`.
    void watchLog(std::string text) {
        CoreSystem::Platform::SetSlogObserver([this, text](const CoreSystem::Platform::SlogRecord& record) {
            if (record.text.find(text) != std::string::npos) logged = true;
        });
    }
    CoreSystemTest::IsolatedHost host;
    std::atomic<bool> logged{false};
};

TEST_F(TimerListenerTest, CallsBackPeriodicallyOnceOrNotAtAllUntilAReceiveFails) {
    // Interrupted receives are retried.
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::MsgReceivePulse, EINTR, 0, 3);
    std::atomic<int> calls{0};
    auto listener = std::make_unique<TimerListener>();
    EXPECT_EQ(listener->setCallback(Count, &calls, 0, 20), 0);  // a single shot
    ASSERT_TRUE(Eventually([&] { return calls == 1; }, 5s)) << "the single shot did not fire";
    EXPECT_EQ(listener->start(1000, 0), 0);  // a first time of 0 arms nothing
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, 1) << "a single shot fired again, or a first time of 0 armed the timer";

    EXPECT_EQ(listener->start(5, 5), 0);
    ASSERT_TRUE(Eventually([&] { return calls >= 6; }, 5s)) << "periodic calls: " << calls;
    EXPECT_EQ(listener->stop(), 0);
    std::this_thread::sleep_for(20ms);  // a pulse sent just before stop may still be handled
    const int stopped = calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, stopped) << "called while stopped";
    EXPECT_EQ(listener->start(5, 5), 0);
    EXPECT_TRUE(Eventually([&] { return calls >= stopped + 3; }, 5s)) << "stop then start did not resume";

    // Any other failed receive ends the thread; the destructor still returns.
    listener.reset();
    const int before = calls;
    watchLog("MsgReceivePulse failed");
    CoreSystem::Platform::FailNext(CoreSystem::Platform::Call::MsgReceivePulse, EIO);
    listener = std::make_unique<TimerListener>();
    ASSERT_TRUE(Eventually([&] { return logged.load(); }, 5s)) << "the failed receive was not reported";
    listener->setCallback(Count, &calls, 2, 2);
    std::this_thread::sleep_for(30ms);
    listener.reset();
    EXPECT_EQ(calls, before) << "called after the thread ended";
}

/// A callback's argument that counts the calls made once `over` is set (late calls).
struct Watch {
    std::atomic<bool> over{false};
    std::atomic<int> calls{0}, *late = nullptr;
};

void Watched(void* argument) {
    auto* watch = static_cast<Watch*>(argument);
    if (watch->over) ++*watch->late;
    ++watch->calls;
    std::this_thread::sleep_for(200us);  // widens the window in which setCallback or ~TimerListener must wait
    if (watch->over) ++*watch->late;
}

TEST_F(TimerListenerTest, NoCallAfterReplacementOrDestructionHasReturned) {
    // Replaced from another thread, round after round: the old callback stops when setCallback returns.
    std::atomic<int> late{0};
    std::vector<std::unique_ptr<Watch>> watches;
    TimerListener listener;
    for (int round = 0; round < 200; ++round) {
        watches.push_back(std::make_unique<Watch>());
        watches.back()->late = &late;
        ASSERT_EQ(listener.setCallback(Watched, watches.back().get(), 1, 1), 0);
        if (round > 0) watches[watches.size() - 2]->over = true;
        ASSERT_TRUE(Eventually([&] { return watches.back()->calls > 0; }, 5s)) << "round " << round;
    }
    // Destroyed while its callback runs: the destructor waits for it, and no call follows.
    for (int round = 0; round < 50; ++round) {
        Watch watch;
        watch.late = &late;
        auto doomed = std::make_unique<TimerListener>();
        ASSERT_EQ(doomed->setCallback(Watched, &watch, 1, 1), 0);
        ASSERT_TRUE(Eventually([&] { return watch.calls > 0; }, 5s)) << "round " << round;
        doomed.reset();
        watch.over = true;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(late, 0);
}

struct SelfUse {
    TimerListener* listener = nullptr;
    std::atomic<int> first{0}, second{0};
};

TEST_F(TimerListenerTest, CallbackMayReplaceItselfButNotDestroyItsListener) {
    // setCallback from inside the callback: no deadlock, and the old callback is not called again.
    SelfUse use;
    TimerListener listener;
    use.listener = &listener;
    auto replaceSelf = [](void* argument) {
        auto* self = static_cast<SelfUse*>(argument);
        ++self->first;
        self->listener->setCallback(Count, &self->second, 2, 2);
    };
    ASSERT_EQ(listener.setCallback(replaceSelf, &use, 2, 2), 0);
    ASSERT_TRUE(Eventually([&] { return use.second >= 3; }, 5s)) << "the replacement was not called";
    EXPECT_EQ(use.first, 1);

    // Destroying from inside its own callback is logged and neither deadlocks nor touches freed memory.
    watchLog("destroyed from its own callback");
    SelfUse doomed;
    doomed.listener = new TimerListener;
    auto destroySelf = [](void* argument) {
        auto* self = static_cast<SelfUse*>(argument);
        ++self->first;
        delete self->listener;
    };
    ASSERT_EQ(doomed.listener->setCallback(destroySelf, &doomed, 1, 1), 0);
    ASSERT_TRUE(Eventually([&] { return logged.load(); }, 5s)) << "no log line for the self-destruction";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(doomed.first, 1);
}

TEST_F(TimerListenerTest, WorksInAForkedChild) {
    if (CoreSystemTest::kThreadSanitizer) GTEST_SKIP() << "a forked child of a threaded process cannot start threads here";
    std::atomic<int> calls{0};
    TimerListener parent;
    ASSERT_EQ(parent.setCallback(Count, &calls, 2, 2), 0);
    ASSERT_TRUE(Eventually([&] { return calls >= 1; }, 5s));
    CoreSystemTest::Child child = CoreSystemTest::Spawn([] {
        std::atomic<int> own{0};
        TimerListener listener;
        listener.setCallback(Count, &own, 5, 5);
        return Eventually([&] { return own >= 3; }, 5s) ? 0 : 1;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child, 10s), 0);
    const int before = calls;
    EXPECT_TRUE(Eventually([&] { return calls >= before + 3; }, 5s)) << "the parent's listener stopped";
}

}  // namespace
