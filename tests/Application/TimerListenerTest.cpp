// TimerListener: periodic and single calls, replacement and destruction racing the callback, and
// the cases where a callback turns on its own listener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
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

void Count(void* counter) {
    ++*static_cast<std::atomic<int>*>(counter);
}

bool ThreadNamed(const std::string& name) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string text;
        if (std::getline(comm, text) && text == name) return true;
    }
    return false;
}

class TimerListenerTest : public ::testing::Test {
protected:
    void TearDown() override {
        CoreSystem::Platform::ClearFaults();
        CoreSystem::Platform::SetSlogObserver({});
    }
    CoreSystemTest::IsolatedHost host;
};

TEST_F(TimerListenerTest, CallsBackPeriodicallyOnceOrNotAtAll) {
    std::atomic<int> calls{0};
    TimerListener listener;
    EXPECT_EQ(listener.setCallback(Count, &calls, 0, 20), 0);  // a single shot
    ASSERT_TRUE(Eventually([&] { return calls == 1; }, 5s)) << "the single shot did not fire";
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, 1) << "a single shot fired again";
    EXPECT_EQ(listener.start(1000, 0), 0);  // a first time of 0 arms nothing
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(listener.start(5, 5), 0);
    ASSERT_TRUE(Eventually([&] { return calls >= 6; }, 5s)) << "periodic calls: " << calls;
    EXPECT_EQ(listener.stop(), 0);
    std::this_thread::sleep_for(20ms);  // a pulse sent just before stop may still be handled
    const int stopped = calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, stopped) << "called while stopped";
    EXPECT_EQ(listener.start(5, 5), 0);
    EXPECT_TRUE(Eventually([&] { return calls >= stopped + 3; }, 5s)) << "stop then start did not resume";
    EXPECT_TRUE(ThreadNamed("TimerListener"));
}

/// One installed callback's argument: retired once a later setCallback has returned.
struct Generation {
    std::atomic<bool> retired{false};
    std::atomic<int> calls{0};
    std::atomic<int>* lateCalls = nullptr;
};

void CheckGeneration(void* argument) {
    auto* generation = static_cast<Generation*>(argument);
    if (generation->retired) ++*generation->lateCalls;
    ++generation->calls;
    std::this_thread::sleep_for(100us);  // widens the window in which setCallback must wait
    if (generation->retired) ++*generation->lateCalls;
}

TEST_F(TimerListenerTest, ReplacedCallbackIsNeverCalledAfterSetCallbackReturns) {
    constexpr int kRounds = 200;
    std::atomic<int> lateCalls{0};
    std::vector<std::unique_ptr<Generation>> generations;
    TimerListener listener;
    for (int round = 0; round < kRounds; ++round) {
        generations.push_back(std::make_unique<Generation>());
        generations.back()->lateCalls = &lateCalls;
        ASSERT_EQ(listener.setCallback(CheckGeneration, generations.back().get(), 1, 1), 0);
        if (round > 0) generations[generations.size() - 2]->retired = true;
        ASSERT_TRUE(Eventually([&] { return generations.back()->calls > 0; }, 5s)) << "round " << round;
    }
    listener.stop();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(lateCalls, 0);
}

/// What a callback sees while its listener is destroyed.
struct Probe {
    std::atomic<bool> inside{false};
    std::atomic<bool> destroyed{false};
    std::atomic<int> lateCalls{0};
};

void SlowCallback(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    if (probe->destroyed) ++probe->lateCalls;
    probe->inside = true;
    std::this_thread::sleep_for(300us);
    if (probe->destroyed) ++probe->lateCalls;
}

TEST_F(TimerListenerTest, DestructionWaitsForTheRunningCallbackAndEndsTheCalls) {
    Probe probe;
    for (int round = 0; round < 50; ++round) {
        probe.inside = false;
        auto listener = std::make_unique<TimerListener>();
        ASSERT_EQ(listener->setCallback(SlowCallback, &probe, 1, 1), 0);
        ASSERT_TRUE(Eventually([&] { return probe.inside.load(); }, 5s)) << "round " << round;
        listener.reset();
        probe.destroyed = true;
        std::this_thread::sleep_for(2ms);
        probe.destroyed = false;
    }
    EXPECT_EQ(probe.lateCalls, 0);
}

struct SelfUse {
    TimerListener* listener = nullptr;
    std::atomic<int> first{0};
    std::atomic<int> second{0};
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
    std::atomic<bool> logged{false};
    CoreSystem::Platform::SetSlogObserver([&](const CoreSystem::Platform::SlogRecord& record) {
        if (record.text.find("destroyed from its own callback") != std::string::npos) logged = true;
    });
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

TEST_F(TimerListenerTest, ReceiveFailuresAreRetriedOrEndTheThread) {
    using CoreSystem::Platform::Call;
    // Interrupted receives are retried.
    CoreSystem::Platform::FailNext(Call::MsgReceivePulse, EINTR, 0, 3);
    std::atomic<int> calls{0};
    {
        TimerListener listener;
        listener.setCallback(Count, &calls, 2, 2);
        EXPECT_TRUE(Eventually([&] { return calls >= 2; }, 5s)) << "no call after interrupted receives";
    }
    // Any other failure ends the thread without a call; the destructor still returns.
    std::atomic<bool> logged{false};
    CoreSystem::Platform::SetSlogObserver([&](const CoreSystem::Platform::SlogRecord& record) {
        if (record.text.find("MsgReceivePulse failed") != std::string::npos) logged = true;
    });
    CoreSystem::Platform::FailNext(Call::MsgReceivePulse, EIO);
    calls = 0;
    {
        TimerListener listener;
        ASSERT_TRUE(Eventually([&] { return logged.load(); }, 5s)) << "the failed receive was not reported";
        listener.setCallback(Count, &calls, 2, 2);
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(TimerListenerTest, ManyListenersAtOnce) {
    constexpr int kListeners = 64;
    std::vector<std::atomic<int>> calls(kListeners);
    std::vector<std::unique_ptr<TimerListener>> listeners;
    for (int i = 0; i < kListeners; ++i) {
        listeners.push_back(std::make_unique<TimerListener>());
        ASSERT_EQ(listeners.back()->setCallback(Count, &calls[i], 2, 1 + i % 5), 0);
    }
    for (int i = 0; i < kListeners; ++i)
        ASSERT_TRUE(Eventually([&] { return calls[i] >= 5; }, 10s)) << "listener " << i << ": " << calls[i];
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
