// NM messaging between processes: direct and held-back delivery, receivers that die or restart,
// the receive queue, size limits and the lifetime of the client's threads.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Slog.h"
#include "NMTestSupport.h"

namespace {

namespace Platform = CoreSystem::Platform;
using namespace std::chrono_literals;
using CoreSystemTest::Child;
using CoreSystemTest::Eventually;
using CoreSystemTest::Spawn;
using CoreSystemTest::Wait;
using NMTest::awaitStep;

/// Receives frames and checks that they are "<prefix><n>" for n = from..to-1 in order.
int receiveInOrder(NM::NMClient& client, int index, const std::string& prefix, int to, int from = 0) {
    char buffer[NM::kMaxPayload];
    for (int n = from; n < to; ++n) {
        int channel = -1;
        const int size = std::max(0, client.recvMsg(&channel, buffer, sizeof buffer));
        if (channel != index ||
            std::string(buffer, static_cast<std::size_t>(size)) != prefix + std::to_string(n)) {
            std::fprintf(stderr, "frame %d: got '%.*s' on %d\n", n, size, buffer, channel);
            return 1;
        }
    }
    return 0;
}

int sendNumbered(NM::NMClient& client, int index, const std::string& prefix, int from, int to) {
    for (int n = from; n < to; ++n) {
        std::string text = prefix + std::to_string(n);
        if (client.send(index, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size()))
            return 1;
    }
    return 0;
}

class Messaging : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NMTest::createRegistryInChild(16), 0); }

    CoreSystemTest::IsolatedHost host;
    NMTest::Board* board = NMTest::makeBoard();
};

TEST_F(Messaging, HeldBackMessagesFollowTheReceiverInOrder) {
    // 1000 messages wait for a receiver. The first connection to it fails: that must not be
    // remembered as usable. The third delivery fails: that message is lost with one error line, the
    // failed connection is not used again and the rest waits for the receiver to publish anew.
    // Messages sent while older ones are still held back go behind them.
    constexpr int kHeld = 1000;
    Child sender = Spawn(
        [&] {
            {
                NM::NMClient client(false);
                int index = client.getChannelIndex("Target");
                CHILD_CHECK(sendNumbered(client, index, "m", 0, kHeld) == 0);
                CHILD_CHECK(client.heldBack(index) == static_cast<std::size_t>(kHeld));
                Platform::FailNext(Platform::Call::ConnectAttach, ESRCH);
                Platform::FailNext(Platform::Call::MsgSend, EBADF, 2);
                board->step = 1;
                CHILD_CHECK(awaitStep(board, 2));
                CHILD_CHECK(sendNumbered(client, index, "m", kHeld, kHeld + 200) == 0);
                CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));
                // The receiver makes a new client, so a new channel: the sender must not keep using
                // the old connection (and then declare the live receiver gone).
                CHILD_CHECK(awaitStep(board, 3));
                CHILD_CHECK(sendNumbered(client, index, "n", 0, 3) == 0);
                CHILD_CHECK(NMTest::channelMappings() == 1);  // the old connection was detached
            }
            CHILD_CHECK(NMTest::channelMappings() == 0);  // and the client's last one with it
            return 0;
        },
        true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child receiver = Spawn([&] {
        for (int round = 0;; ++round) {  // the second round with a new client
            NM::NMClient client(false);
            int index = client.getChannelIndex("Target");
            CHILD_CHECK(client.openReceiveChannel(index) == index);
            board->step = 2 + round;
            if (round == 1) return receiveInOrder(client, index, "n", 3);
            CHILD_CHECK(receiveInOrder(client, index, "m", 2) == 0);
            CHILD_CHECK(Eventually([&] { return NM::SlotPid(index) == -1; }));
            CHILD_CHECK(client.openReceiveChannel(index) == index);  // publish again
            CHILD_CHECK(receiveInOrder(client, index, "m", kHeld + 200, 3) == 0);
        }
    });
    EXPECT_EQ(Wait(receiver), 0);
    const std::string pid = "pid " + std::to_string(sender.pid);
    const std::string output = CoreSystemTest::ReadOutput(sender);
    EXPECT_EQ(Wait(sender), 0);
    const std::size_t error = output.find("error " + pid + " sendMessage ch 0 channel ");  // only one
    EXPECT_TRUE(error != std::string::npos && error == output.rfind("error ")) << output;
    EXPECT_NE(output.find(pid + " queue [0] emptied\n"), std::string::npos) << output;
}

TEST_F(Messaging, ReceiveQueueLimitPollingAndTwoIndexes) {
    // 2505 frames for two indexes, then a header-only frame, one shorter than a header and one for
    // an index the receiver does not serve: 2504 wait in order, the rest is dropped, the 2505th and
    // the stranger with a line each. A send returns once its frame is acknowledged, before it is
    // queued, so each acknowledgement shows that the frame before it was handled.
    Child receiver = Spawn(
        [&] {
            NM::NMClient client(true);
            int first = client.getChannelIndex("First");
            int second = client.getChannelIndex("Second");
            char buffer[NM::kMaxPayload] = {};
            int channel = -1;
            CHILD_CHECK(client.recvMsg(&channel, buffer, sizeof buffer) == -1);  // polling: nothing yet
            CHILD_CHECK(client.openReceiveChannel(first) == first);
            CHILD_CHECK(client.openReceiveChannel(second) == second);
            CHILD_CHECK(NM::SlotChid(first) == NM::SlotChid(second));  // one channel serves both
            board->step = 1;
            CHILD_CHECK(awaitStep(board, 2));
            for (int n = 0; n < 2504; ++n) {
                int tag = -1;
                CHILD_CHECK(client.recvMsg(&channel, reinterpret_cast<char*>(&tag), 4) == 4);
                CHILD_CHECK(tag == n && channel == (n % 2 == 0 ? first : second));
            }
            CHILD_CHECK(client.recvMsg(&channel, buffer, sizeof buffer) == -1);
            board->step = 3;
            // The largest payload is taken whole, and only `length` bytes of it are copied.
            int size = -1;
            CHILD_CHECK(Eventually([&] { return (size = client.recvMsg(&channel, buffer, 100)) != -1; }, 5s));
            CHILD_CHECK(size == NM::kMaxPayload && channel == first);
            CHILD_CHECK(buffer[0] == 'z' && buffer[99] == 'z' && buffer[100] != 'z');
            return 0;
        },
        true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child sender = Spawn([&] {
        NM::NMClient client(false);
        int first = client.getChannelIndex("First");
        int second = client.getChannelIndex("Second");
        for (int n = 0; n < 2505; ++n)
            CHILD_CHECK(client.send(n % 2 == 0 ? first : second, reinterpret_cast<const char*>(&n), 4) == 4);
        CHILD_CHECK(client.send(first, "", 0) == 0);
        int coid = Platform::ConnectAttach(0, NM::SlotPid(first), NM::SlotChid(first), _NTO_SIDE_CHANNEL, 0);
        CHILD_CHECK(Platform::MsgSend(coid, "ab", 2, nullptr, 0) == 0);
        const std::int32_t elsewhere[2] = {6, 7};  // index 6: served by nobody
        CHILD_CHECK(Platform::MsgSend(coid, elsewhere, sizeof elsewhere, nullptr, 0) == 0);
        board->step = 2;
        CHILD_CHECK(awaitStep(board, 3));
        const std::string largest(NM::kMaxPayload, 'z');
        return client.send(first, largest.data(), NM::kMaxPayload) == NM::kMaxPayload ? 0 : 1;
    });
    EXPECT_EQ(Wait(sender), 0);
    const std::string pid = "pid " + std::to_string(receiver.pid);
    const std::string output = CoreSystemTest::ReadOutput(receiver);
    EXPECT_EQ(Wait(receiver), 0);
    EXPECT_EQ(output, pid + " reach receive queue max\n" + pid +
                          " dropped a frame for channel index 6, which it does not serve\n");
}

TEST_F(Messaging, SizeLimitsAndTheLifetimeOfTheClientsThreads) {
    Child child = Spawn([] {
        using Clock = std::chrono::steady_clock;
        Clock::time_point destroying;
        // Oversized payloads are refused on every path, with a log record.
        {
            std::vector<Platform::SlogRecord> records;
            Platform::SetSlogObserver([&](const Platform::SlogRecord& record) { records.push_back(record); });
            NM::NMClient client(false);
            int index = client.getChannelIndex("Nobody");
            std::vector<char> payload(NM::kMaxPayload + 1, 'x');
            for (const bool queue : {false, true}) {
                try {
                    const int size = NM::kMaxPayload + 1;
                    const int taken = queue ? client.queueMessage(index, payload.data(), size)
                                            : client.send(index, payload.data(), size);
                    std::fprintf(stderr, "an oversized payload was taken (%d)\n", taken);
                    return 1;
                } catch (const std::runtime_error& error) {
                    CHILD_CHECK(std::string(error.what()) == "NM message size limit exceeded");
                }
            }
            CHILD_CHECK(client.heldBack(index) == 0);  // nothing oversized is ever held back
            CHILD_CHECK(client.send(index, payload.data(), NM::kMaxPayload) == NM::kMaxPayload);
            // One index holds back at most 2505 messages; the next is refused.
            for (int n = 1; n < 2505; ++n) CHILD_CHECK(client.send(index, "x", 1) == 1);
            CHILD_CHECK(client.send(index, "x", 1) == -1 && client.heldBack(index) == 2505);
            const std::string pid = std::to_string(getpid());  // also the thread's id: the main thread
            CHILD_CHECK(records.size() == 2 && records[0].opcode == NM::kSizeLimitOpcode &&
                        records[0].severity == _SLOG_ERROR);
            CHILD_CHECK(records[0].text ==
                        pid + " " + pid +
                            " | int NM::NMClient::sendMessage(int, int, const char*, int): "
                            "Message size 10241 is larger than NM max message size, 10240");
            Platform::SetSlogObserver(nullptr);
            destroying = Clock::now();
        }
        // The client's threads end with it: a transmit thread waiting for a receiver that never
        // comes, and a receive thread in its two-second receive.
        CHILD_CHECK(Clock::now() - destroying < 1s);
        {
            NM::NMClient client(false);
            client.openReceiveChannel(client.getChannelIndex("Mine"));
            std::this_thread::sleep_for(100ms);
            destroying = Clock::now();
        }
        CHILD_CHECK(Clock::now() - destroying < 2500ms);
        NM::NMClient observer(false);
        int mine = observer.getChannelIndex("Mine");
        CHILD_CHECK(NM::SlotPid(mine) == -1 && NM::SlotChid(mine) == -1);  // withdrawn
        // A client whose endpoint another client of this process has taken over leaves it.
        auto taken = std::make_unique<NM::NMClient>(false);
        taken->openReceiveChannel(mine);
        CHILD_CHECK(observer.openReceiveChannel(mine) == mine);
        const int successor = NM::SlotChid(mine);
        taken.reset();
        CHILD_CHECK(NM::SlotPid(mine) == getpid() && NM::SlotChid(mine) == successor);
        // Receiving clients leave no channel object behind: the observer's is the only one.
        for (int n = 0; n < 20; ++n) NM::NMClient(false).openReceiveChannel(mine);
        CHILD_CHECK(NMTest::sharedObjects(Platform::SharedObjectName("/nto.ch.").substr(1)) == 1);
        // A transmit thread sending to a receiver that never takes the frame: the message counts
        // as held back until it is handed over, and the destructor does not wait for it.
        const int hung = Platform::ChannelCreate(0);
        auto sending = std::make_unique<NM::NMClient>(false);
        const int index = sending->getChannelIndex("Hung");
        CHILD_CHECK(sending->send(index, "x", 1) == 1);
        CHILD_CHECK(NM::publishReceiver(index, hung) == index);
        std::this_thread::sleep_for(300ms);
        CHILD_CHECK(sending->heldBack(index) == 1);
        auto destroyed = std::async(std::launch::async, [&] { sending.reset(); });
        if (destroyed.wait_for(3s) != std::future_status::ready) {
            std::fprintf(stderr, "destroying a client sending to a hung receiver took over 3 s\n");
            _exit(1);
        }
        Platform::ChannelDestroy(hung);
        return 0;
    });
    EXPECT_EQ(Wait(child), 0);
}

TEST_F(Messaging, FailedSendOnAReplacedReceiverLeavesTheNewOnePublished) {
    // A send made on the connection to an old receiver, waiting on the slot mutex while a new
    // receiver takes the slot over, fails once the old one is dead: the new one stays published.
    Child old = Spawn([&] {
        NM::NMClient client(false);
        CHILD_CHECK(client.openReceiveChannel(client.getChannelIndex("Svc")) == 0);
        board->step = 1;
        return pause();
    });
    ASSERT_TRUE(awaitStep(board, 1));
    Child sender = Spawn([&] {
        NM::NMClient client(false);
        const int index = client.getChannelIndex("Svc");
        CHILD_CHECK(client.send(index, "a0", 2) == 2);  // connected to the old receiver
        NM::RegistrySlot& slot = NM::Registry().slots[index];
        slot.mutex.lock();
        int lateResult = 0;  // a thread, not a future: a failed check below must not wait for it
        std::thread late([&] { lateResult = client.send(index, "b", 1); });
        // Wait until the send blocks on the slot mutex in the kernel.
        auto* word = reinterpret_cast<std::uint32_t*>(&slot.mutex);
        CHILD_CHECK(
            Eventually([&] { return (__atomic_load_n(word, __ATOMIC_ACQUIRE) & 0x80000000u) != 0; }, 5s));
        board->step = 2;
        CHILD_CHECK(awaitStep(board, 3));                  // the old receiver is dead
        const int successor = Platform::ChannelCreate(0);  // the new receiver's channel
        __atomic_store_n(&slot.chid, successor, __ATOMIC_RELEASE);
        __atomic_store_n(&slot.pid, getpid(), __ATOMIC_RELEASE);
        slot.mutex.unlock();
        late.join();
        CHILD_CHECK(lateResult == -1);
        CHILD_CHECK(NM::SlotPid(index) == getpid() && NM::SlotChid(index) == successor);
        Platform::ChannelDestroy(successor);
        return 0;
    });
    EXPECT_TRUE(awaitStep(board, 2)) << "the late send did not wait for the slot mutex";
    kill(old.pid, SIGKILL);
    Wait(old);
    board->step = 3;
    EXPECT_EQ(Wait(sender), 0);
}

}  // namespace
