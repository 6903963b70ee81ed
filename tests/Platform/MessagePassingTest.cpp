// Message passing on the host: what the framework relies on, across processes and under death.
#include "PlatformTestSupport.h"

namespace {

using namespace CoreSystem::Platform;
using namespace PlatformTest;

/// Memory shared with forked children, for ids and results.
struct Board {
    volatile int chid, ready, result, error;
};

class MessagePassing : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(board = SharedWithChildren<Board>(), nullptr); }
    void TearDown() override { munmap(board, sizeof(Board)); }

    bool waitReady(int value = 1) { return Eventually([&] { return board->ready >= value; }, 10s); }

    IsolatedHost host;
    Board* board = nullptr;
};

TEST_F(MessagePassing, DeadOrDestroyedReceiverFailsEverySenderPromptly) {
    // The receiver takes one message and never replies, leaves more queued, then dies. It owns
    // many channels besides: the kernel must learn of this one's owner too.
    Child receiver = Spawn([&] {
        board->chid = ChannelCreate(0);
        for (int n = 0; n < 40; ++n) ChannelCreate(0);
        board->ready = 1;
        char buffer[64];
        if (MsgReceive(board->chid, buffer, sizeof buffer, nullptr) <= 0) return 1;
        board->ready = 2;
        pause();
        return 0;
    });
    ASSERT_TRUE(waitReady());
    auto sendAndFail = [](int coid) {
        return Spawn([coid] {
            long rc = MsgSend(coid, "ping", 4, nullptr, 0);
            return rc == -1 && (errno == ESRCH || errno == EBADF) ? 0 : 1;
        });
    };
    const int coid = ConnectAttach(0, receiver.pid, board->chid, _NTO_SIDE_CHANNEL, 0);
    ASSERT_NE(coid, -1);
    Child replyBlocked = sendAndFail(coid);
    ASSERT_TRUE(waitReady(2));
    // Send-blocked senders, more than the channel has slots: the last ones wait for a free slot.
    std::vector<Child> sendBlocked;
    for (int n = 0; n < 70; ++n) sendBlocked.push_back(sendAndFail(coid));
    std::this_thread::sleep_for(200ms);
    auto killedAt = std::chrono::steady_clock::now();
    kill(receiver.pid, SIGKILL);
    EXPECT_EQ(Wait(replyBlocked, 5s), 0);
    for (Child& sender : sendBlocked) EXPECT_EQ(Wait(sender, 5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, 600ms);  // woken by the kernel, not polled
    Wait(receiver);
    EXPECT_EQ(MsgSend(coid, "late", 4, nullptr, 0), -1);
    // A process's first channel sweeps away the objects of dead owners' channels, not one that a
    // live owner is making (it exists, nothing written yet).
    auto object = [](pid_t owner) {
        return "/dev/shm" + SharedObjectName(("/nto.ch." + std::to_string(owner) + ".999").c_str());
    };
    std::ofstream{object(getpid())};
    std::ofstream{object(receiver.pid)};
    EXPECT_EQ(RunInChild([] { return ChannelCreate(0) > 0 ? 0 : 1; }), 0);
    EXPECT_EQ(access(object(getpid()).c_str(), F_OK), 0) << "a channel being made was removed";
    EXPECT_NE(access(object(receiver.pid).c_str(), F_OK), 0) << "a dead owner's channel was left";
    unlink(object(getpid()).c_str());
    EXPECT_EQ(ConnectDetach(coid), 0);
    EXPECT_EQ(ConnectAttach(0, receiver.pid, board->chid, _NTO_SIDE_CHANNEL, 0), -1);

    // Destroying a channel fails a blocked sender and every later send on its old connection,
    // even once the owner has made a new channel.
    const int chid = ChannelCreate(0);
    const int stale = ConnectAttach(0, 0, chid, _NTO_SIDE_CHANNEL, 0);
    ASSERT_NE(stale, -1);
    std::thread blocked([&] { board->error = ErrnoOf(MsgSend(stale, "x", 1, nullptr, 0)); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ChannelDestroy(chid), 0);
    blocked.join();
    EXPECT_EQ(board->error, EBADF);
    const int fresh = ChannelCreate(0);
    EXPECT_NE(fresh, chid);  // ids are not reused
    EXPECT_EQ(MsgSend(stale, "x", 1, nullptr, 0), -1);
    EXPECT_EQ(MsgSendPulse(stale, -1, 1, 1), -1);
    EXPECT_EQ(ConnectDetach(stale), 0);
    EXPECT_EQ(ConnectDetach(stale), -1);

    // The message of a sender killed while it waits to be received is never received.
    Child killed = Spawn([fresh] {
        MsgSend(ConnectAttach(0, getppid(), fresh, _NTO_SIDE_CHANNEL, 0), "dead", 4, nullptr, 0);
        return 0;
    });
    std::this_thread::sleep_for(100ms);
    kill(killed.pid, SIGKILL);
    Wait(killed);
    char buffer[64];
    TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, nullptr, nullptr);
    EXPECT_EQ(MsgReceive(fresh, buffer, sizeof buffer, nullptr), -1);
    ChannelDestroy(fresh);
}

TEST_F(MessagePassing, SendersKilledInTheMiddleOfAnUpdateLoseNoSlot) {
    // Each sender dies holding the channel lock, between marking its slot free and linking it
    // into the free list: as many as the channel has slots. The next user repairs the channel.
    Child server = Spawn([&] {
        board->chid = ChannelCreate(0);
        board->ready = 1;
        char buffer[64];
        for (;;) {
            const int rcvid = MsgReceive(board->chid, buffer, sizeof buffer, nullptr);
            if (rcvid > 0) MsgReply(rcvid, 0, nullptr, 0);
        }
        return 0;
    });
    ASSERT_TRUE(waitReady());
    const int coid = ConnectAttach(0, server.pid, board->chid, _NTO_SIDE_CHANNEL, 0);
    for (int n = 0; n < 64; ++n) {
        const int status = RunInChild([coid] {
            FailNext(Call::KillInFree, 0);
            MsgSend(coid, "x", 1, nullptr, 0);
            return 1;
        }, 5s);
        EXPECT_EQ(status, 128 + SIGKILL) << "sender " << n;
    }
    const std::uint64_t limit = 2000000000;
    TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_SEND, nullptr, &limit, nullptr);
    EXPECT_EQ(MsgSend(coid, "y", 1, nullptr, 0), 0) << "no slot came back (errno " << errno << ")";
    kill(server.pid, SIGKILL);
    Wait(server);
}

TEST_F(MessagePassing, SendersWaitForRepliesPulsesQueueByPriorityAndTimeoutsCoverOneCall) {
    const int chid = ChannelCreate(0);
    const int coid = ConnectAttach(0, 0, chid, _NTO_SIDE_CHANNEL, 0);
    ASSERT_NE(coid, -1);
    // A thread that sends again keeps its slot between its sends; with every slot kept, a new
    // message still gets one. Every call here is bounded (a TimerTimeout covers one call).
    const std::uint64_t oneSecond = 1000000000;
    const auto within = [&](int states) { TimerTimeout(CLOCK_MONOTONIC, states, nullptr, &oneSecond, nullptr); };
    std::atomic<int> failed{0};
    std::thread server([&] {
        char request[sizeof(_pulse)];
        for (int id = 1; id != 0;) {  // until a pulse
            within(_NTO_TIMEOUT_RECEIVE);
            id = MsgReceive(chid, request, sizeof request, nullptr);
            if (id < 0 || (id > 0 && MsgReply(id, 0, nullptr, 0) != 0)) return void(++failed);
        }
    });
    for (int n = 0; n < 64; ++n) {
        std::thread([&] {
            for (const char* text : {"a", "b"}) {
                within(_NTO_TIMEOUT_SEND);
                if (MsgSend(coid, text, 1, nullptr, 0) != 0) ++failed;
            }
        }).join();
    }
    within(_NTO_TIMEOUT_SEND);
    EXPECT_EQ(MsgSend(coid, "c", 1, nullptr, 0), 0) << "no kept slot was taken back";
    MsgSendPulse(coid, 10, 1, 0);
    server.join();
    ASSERT_EQ(failed, 0);
    // A receive that leaves something queued does not take the channel for empty.
    _pulse taken;
    for (int n : {1, 2}) ASSERT_EQ(MsgSendPulse(coid, 10, 1, n), 0);
    for (int n : {1, 2}) {
        within(_NTO_TIMEOUT_RECEIVE);
        ASSERT_EQ(MsgReceivePulse(chid, &taken, sizeof taken, nullptr), 0) << "pulse " << n << " not received";
    }
    Child sender = Spawn([&] {
        int coid = ConnectAttach(0, getppid(), chid, _NTO_SIDE_CHANNEL, 0);
        if (coid < _NTO_SIDE_CHANNEL) return 10;
        char reply[4] = {};
        const char message[] = "a message longer than a pulse, cut by the receiver";
        if (MsgSend(coid, message, sizeof message, reply, sizeof reply) != 42) return 11;
        board->result = 1;
        if (std::memcmp(reply, "abcd", 4) != 0) return 12;
        if (ErrnoOf(MsgSend(coid, "x", 1, nullptr, 0)) != EPERM) return 13;
        return 0;
    });
    char buffer[64];
    struct _msg_info info;
    int rcvid = MsgReceive(chid, buffer, 32, &info);
    ASSERT_GT(rcvid, 0);
    EXPECT_EQ(info.msglen, 32);  // a short buffer cuts the message, it is not an error
    EXPECT_EQ(info.srcmsglen, 51);
    EXPECT_EQ(info.pid, sender.pid);
    EXPECT_EQ(std::string(buffer, 9), "a message");
    std::this_thread::sleep_for(50ms);  // the sender stays blocked meanwhile
    EXPECT_EQ(board->result, 0);
    ASSERT_EQ(MsgReply(rcvid, 42, "abcdefgh", 8), 0);  // the sender's buffer takes 4 bytes
    rcvid = MsgReceive(chid, buffer, 32, &info);
    ASSERT_GT(rcvid, 0);
    ASSERT_EQ(MsgError(rcvid, EPERM), 0);
    EXPECT_EQ(Wait(sender), 0);
    EXPECT_EQ(MsgReply(rcvid, 0, nullptr, 0), -1);  // already answered

    // A message waits behind pulses for MsgReceivePulse, which must leave it queued.
    std::thread queued([&] { board->result = static_cast<int>(MsgSend(coid, "msg", 3, nullptr, 0)); });
    std::this_thread::sleep_for(50ms);  // lets the message queue first (the test holds either way)
    ASSERT_EQ(MsgSendPulse(coid, 10, -3, -123456), 0);
    ASSERT_EQ(MsgSendPulse(coid, 20, 127, 7), 0);
    _pulse pulse;
    ASSERT_EQ(MsgReceivePulse(chid, &pulse, sizeof pulse, nullptr), 0);
    EXPECT_EQ(pulse.code, 127);  // higher priority first
    EXPECT_EQ(pulse.value.sival_int, 7);
    ASSERT_EQ(MsgReceivePulse(chid, &pulse, sizeof pulse, nullptr), 0);
    EXPECT_EQ(pulse.type, 0);
    EXPECT_EQ(pulse.subtype, 0);
    EXPECT_EQ(pulse.code, -3);
    EXPECT_EQ(pulse.value.sival_int, -123456);
    rcvid = MsgReceive(chid, buffer, sizeof(_pulse), nullptr);
    ASSERT_GT(rcvid, 0);
    EXPECT_EQ(std::string(buffer, 3), "msg");
    ASSERT_EQ(MsgReply(rcvid, 5, nullptr, 0), 0);
    queued.join();
    EXPECT_EQ(board->result, 5);
    // Pulses have their own pool: many more than a channel has message slots wait, in order.
    for (int n = 0; n < 500; ++n) ASSERT_EQ(MsgSendPulse(coid, 10, 1, n), 0) << n;
    for (int n = 0; n < 500; ++n) {
        ASSERT_EQ(MsgReceivePulse(chid, &pulse, sizeof pulse, nullptr), 0);
        ASSERT_EQ(pulse.value.sival_int, n);
    }
    // What it cannot do is refused.
    EXPECT_EQ(MsgSendPulse(coid, 10, 128, 0), -1);
    EXPECT_EQ(ErrnoOf(MsgReceivePulse(chid, &pulse, sizeof pulse - 1, nullptr)), EFAULT);
    EXPECT_EQ(ErrnoOf(ChannelCreate(_NTO_CHF_UNBLOCK)), EINVAL);
    EXPECT_EQ(ChannelDestroy(987654), -1);
    EXPECT_EQ(ConnectAttach(0, getpid(), 987654, _NTO_SIDE_CHANNEL, 0), -1);
    const int fdLike = ConnectAttach(0, 0, chid, 100, 0);  // without the side-channel flag
    EXPECT_GE(fdLike, 100);
    EXPECT_LT(fdLike, _NTO_SIDE_CHANNEL);
    EXPECT_EQ(ConnectDetach(fdLike), 0);
    EXPECT_EQ(MsgReceive(chid + 1000, buffer, sizeof buffer, nullptr), -1);

    // Timeouts: a poll returns at once; a relative timeout fails after it; neither leaks into the next call.
    ASSERT_EQ(TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ErrnoOf(MsgReceive(chid, buffer, sizeof buffer, nullptr)), ETIMEDOUT);
    const std::uint64_t fiftyMs = 50000000;
    auto start = std::chrono::steady_clock::now();
    TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, &fiftyMs, nullptr);
    EXPECT_EQ(ErrnoOf(MsgReceive(chid, buffer, sizeof buffer, nullptr)), ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, &fiftyMs, nullptr);
    EXPECT_EQ(ConnectDetach(-5), -1);  // any call clears the armed timeout
    std::thread late([&] {
        std::this_thread::sleep_for(150ms);
        MsgSendPulse(coid, -1, 3, 0);
    });
    EXPECT_EQ(MsgReceive(chid, buffer, sizeof buffer, nullptr), 0);
    late.join();

    // A send nobody receives times out and is withdrawn; one that is received but not replied to
    // times out too, and the late reply then reports the sender gone.
    TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_SEND | _NTO_TIMEOUT_REPLY, nullptr, &fiftyMs, nullptr);
    EXPECT_EQ(ErrnoOf(MsgSend(coid, "first", 5, nullptr, 0)), ETIMEDOUT);
    std::thread second([&] {
        TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_SEND | _NTO_TIMEOUT_REPLY, nullptr, &fiftyMs, nullptr);
        board->error = ErrnoOf(MsgSend(coid, "second", 6, nullptr, 0));
    });
    rcvid = MsgReceive(chid, buffer, sizeof buffer, nullptr);
    ASSERT_GT(rcvid, 0);
    EXPECT_EQ(std::string(buffer, 6), "second");  // "first" was withdrawn
    second.join();
    EXPECT_EQ(board->error, ETIMEDOUT);
    EXPECT_EQ(ErrnoOf(MsgReply(rcvid, 0, nullptr, 0)), ESRCH);

    // Replying to a sender that died returns ESRCH instead of failing the server.
    Child doomed = Spawn([&] {
        int remote = ConnectAttach(0, getppid(), chid, _NTO_SIDE_CHANNEL, 0);
        MsgSend(remote, "doomed", 6, nullptr, 0);
        return 0;
    });
    rcvid = MsgReceive(chid, buffer, sizeof buffer, nullptr);
    ASSERT_GT(rcvid, 0);
    // Killed asleep: a sender killed in its first microseconds of spinning passes for alive.
    EXPECT_TRUE(Eventually([&] { return BlockedInFutex(doomed.pid); }, 5s));
    kill(doomed.pid, SIGKILL);
    Wait(doomed);
    EXPECT_EQ(ErrnoOf(MsgReply(rcvid, 0, nullptr, 0)), ESRCH);
    ChannelDestroy(chid);
}

}  // namespace
