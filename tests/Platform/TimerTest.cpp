// Pulse timers on the host: expiries arrive as pulses, repeat, disarm, merge and stop as on the target.
#include "PlatformTestSupport.h"

#include "CoreSystem/Platform/Timer.h"

namespace {

using namespace CoreSystem::Platform;
using namespace PlatformTest;

constexpr std::uint64_t kMs = 1000000;

int Arm(timer_t timer, int flags, itimerspec* old, std::uint64_t firstNs, std::uint64_t periodNs = 0) {
    itimerspec setting{};
    setting.it_value = {static_cast<time_t>(firstNs / 1000000000), static_cast<long>(firstNs % 1000000000)};
    setting.it_interval = {static_cast<time_t>(periodNs / 1000000000), static_cast<long>(periodNs % 1000000000)};
    return Platform::timer_settime(timer, flags, &setting, old);
}

/// A channel, a connection to it and a pulse timer (code 5, value 77, priority 12) on it.
class PulseTimer : public ::testing::Test {
protected:
    void SetUp() override {
        chid = ChannelCreate(0);
        coid = ConnectAttach(0, 0, chid, _NTO_SIDE_CHANNEL, 0);
        ASSERT_NE(coid, -1);
        struct sigevent event {};
        SIGEV_PULSE_INIT(&event, coid, 12, 5, 77);
        ASSERT_EQ(Platform::timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
    }
    void TearDown() override {
        Platform::timer_delete(timer);
        ChannelDestroy(chid);
    }

    /// Receives one pulse within `limit`; false when none came.
    bool receive(std::chrono::milliseconds limit, _pulse* pulse = nullptr) {
        _pulse local;
        const std::uint64_t ns = static_cast<std::uint64_t>(limit.count()) * kMs;
        TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, limit.count() ? &ns : nullptr, nullptr);
        return MsgReceivePulse(chid, pulse ? pulse : &local, sizeof local, nullptr) == 0;
    }
    /// Pulses already waiting in the channel.
    int queued() {
        int count = 0;
        while (receive(0ms)) ++count;
        return count;
    }

    IsolatedHost host;
    int chid = -1, coid = -1;
    timer_t timer{};
};

TEST_F(PulseTimer, PulsesCarryTheEventRepeatAndMergeNeverComeEarlyAndStopAfterDelete) {
    const auto start = Clock::now();
    ASSERT_EQ(Arm(timer, 0, nullptr, 10000 * kMs), 0);
    ASSERT_EQ(Arm(timer, 0, nullptr, 30 * kMs, 10 * kMs), 0);  // replaces the first setting
    _pulse pulse{};
    ASSERT_TRUE(receive(5s, &pulse)) << "no first pulse";
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_EQ(pulse.code, 5);
    EXPECT_EQ(pulse.value.sival_int, 77);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(receive(5s)) << "pulse " << i + 2 << " did not come";

    itimerspec old{};  // a zero value disarms and reports the setting it replaces
    ASSERT_EQ(Arm(timer, 0, &old, 0), 0);
    EXPECT_EQ(old.it_interval.tv_nsec, static_cast<long>(10 * kMs));
    queued();  // one sent before the disarm may still be there
    EXPECT_FALSE(receive(50ms)) << "a disarmed timer sent a pulse";

    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto absoluteStart = Clock::now();
    ASSERT_EQ(Arm(timer, TIMER_ABSTIME, nullptr, (now.tv_sec * 1000 + now.tv_nsec / kMs + 40) * kMs), 0);
    ASSERT_TRUE(receive(5s)) << "no pulse at an absolute time";
    EXPECT_GE(Clock::now() - absoluteStart, 39ms);
    ASSERT_EQ(Arm(timer, TIMER_ABSTIME, nullptr, 1), 0);  // long past: at once
    EXPECT_TRUE(receive(5s)) << "no pulse for an absolute time in the past";

    // The receiver's own time limit still holds while it keeps a later timer.
    ASSERT_EQ(Arm(timer, 0, nullptr, 40 * kMs), 0);
    const auto waitStart = Clock::now();
    EXPECT_FALSE(receive(10ms)) << "a pulse before the timer's expiry";
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(Clock::now() - waitStart, 35ms);
    // Once nobody waits, the expiry still reaches the channel without a receiver to send it.
    EXPECT_TRUE(Eventually([&] { return receive(0ms); }, 5s))
        << "the timer's pulse waited for a receiver to send it";
    // Re-armed earlier by another thread while a receiver waits for the old expiry.
    ASSERT_EQ(Arm(timer, 0, nullptr, 10000 * kMs), 0);
    std::thread rearm([this] {
        std::this_thread::sleep_for(20ms);
        Arm(timer, 0, nullptr, 10 * kMs);
    });
    const auto waited = Clock::now();
    EXPECT_TRUE(receive(5s)) << "no pulse after re-arming earlier";
    EXPECT_LT(Clock::now() - waited, 4s);
    rearm.join();

    struct sigevent event {};
    timer_t other;
    // Clock, notification type, priority, code: one of each out of range.
    for (const auto& [clock, notify, priority, code] :
         {std::tuple{CLOCK_PROCESS_CPUTIME_ID, SIGEV_PULSE, 12, 5}, {CLOCK_MONOTONIC, int{SIGEV_SIGNAL}, 12, 5},
          {CLOCK_MONOTONIC, SIGEV_PULSE, 0, 5}, {CLOCK_MONOTONIC, SIGEV_PULSE, 12, 128}}) {
        SIGEV_PULSE_INIT(&event, coid, priority, code, 0);
        event.sigev_notify = notify;
        EXPECT_EQ(ErrnoOf(Platform::timer_create(clock, &event, &other)), EINVAL);
    }
    itimerspec bad{};
    bad.it_value.tv_nsec = 1000000000;
    EXPECT_EQ(ErrnoOf(Platform::timer_settime(timer, 0, &bad, nullptr)), EINVAL);

    // An expiry nobody received stays when re-armed, ahead of a pulse of its priority sent after it.
    ASSERT_EQ(Arm(timer, 0, nullptr, 5 * kMs), 0);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(MsgSendPulse(coid, 12, 6, 0), 0);
    ASSERT_EQ(Arm(timer, 0, nullptr, 10000 * kMs), 0);
    ASSERT_TRUE(receive(0ms, &pulse));
    EXPECT_EQ(pulse.code, 5) << "the expiry was lost, or a pulse sent after it went ahead";
    queued();

    ASSERT_EQ(Arm(timer, 0, nullptr, kMs, kMs), 0);
    ASSERT_TRUE(receive(5s)) << "no first pulse";
    std::this_thread::sleep_for(80ms);  // about 80 expiries, none received (fewer on a loaded machine)
    ASSERT_EQ(Arm(timer, 0, nullptr, 0), 0);  // disarmed, so that counting races no expiry
    EXPECT_EQ(queued(), 1) << "not exactly one undelivered pulse of one timer";
    ASSERT_EQ(Arm(timer, 0, nullptr, 5 * kMs, 5 * kMs), 0);
    ASSERT_TRUE(receive(5s)) << "the timer stopped after its pulse was taken";
    for (const auto until = Clock::now() + 40ms; Clock::now() < until;) {  // taking others meanwhile
        ASSERT_EQ(MsgSendPulse(coid, 20, 6, 0), 0);
        ASSERT_TRUE(receive(5s));
    }
    ASSERT_EQ(Arm(timer, 0, nullptr, 0), 0);
    EXPECT_EQ(queued(), 1) << "not one undelivered pulse while pulses of a higher priority were taken";
    ASSERT_EQ(Arm(timer, 0, nullptr, kMs, kMs), 0);  // deleted while armed
    ASSERT_EQ(Platform::timer_delete(timer), 0);
    queued();
    EXPECT_FALSE(receive(30ms)) << "a pulse after timer_delete";
    EXPECT_EQ(Arm(timer, 0, nullptr, kMs), -1);
    EXPECT_EQ(Platform::timer_delete(timer), -1);
    std::thread late([&] {  // a timer made while a receiver already waits on its channel
        std::this_thread::sleep_for(20ms);
        SIGEV_PULSE_INIT(&event, coid, 12, 5, 77);
        Platform::timer_create(CLOCK_MONOTONIC, &event, &timer);
        Arm(timer, 0, nullptr, kMs);
    });
    EXPECT_TRUE(receive(5s)) << "no pulse of a timer made while the receiver waited";
    late.join();
}

}  // namespace
