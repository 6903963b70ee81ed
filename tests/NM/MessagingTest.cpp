// NM messaging between processes: direct and held-back delivery, receivers that die or restart,
// the receive queue, size limits and the lifetime of the client's threads.
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstring>
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
    std::vector<char> buffer(NM::kMaxPayload);
    for (int n = from; n < to; ++n) {
        int channel = -1;
        int size = client.recvMsg(&channel, buffer.data(), NM::kMaxPayload);
        std::string expected = prefix + std::to_string(n);
        if (size != static_cast<int>(expected.size()) || channel != index ||
            std::string(buffer.data(), static_cast<std::size_t>(size)) != expected) {
            std::fprintf(stderr, "frame %d: got '%.*s' on %d\n", n, size > 0 ? size : 0, buffer.data(),
                         channel);
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

/// Checks that a child printed `line` ("pid <its pid>" in it stands for its pid) and ended with status 0.
void expectPrinted(Child& child, std::string line) {
    const std::string pid = "pid " + std::to_string(child.pid);
    line.replace(line.find("pid <its pid>"), 13, pid);
    const std::string output = CoreSystemTest::ReadOutput(child);
    EXPECT_EQ(Wait(child), 0);
    EXPECT_NE(output.find(line), std::string::npos) << output;
}

class Messaging : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NMTest::createRegistryInChild(16), 0); }

    /// A receiver of `endpoint` that checks `count` numbered frames, announced on the board; one
    /// that `stays` then waits to be killed.
    Child orderedReceiver(const char* endpoint, const std::string& prefix, int count, int readyStep,
                          bool stays = false) {
        return Spawn([=] {
            NM::NMClient client(false);
            int index = client.getChannelIndex(endpoint);
            CHILD_CHECK(client.openReceiveChannel(index) == index);
            board->step = readyStep;
            CHILD_CHECK(receiveInOrder(client, index, prefix, count) == 0);
            return stays ? pause() : 0;
        });
    }

    CoreSystemTest::IsolatedHost host;
    NMTest::Board* board = NMTest::makeBoard();
};

TEST_F(Messaging, HeldBackMessagesFollowTheReceiverInOrder) {
    constexpr int kHeld = 1000;
    Child sender = Spawn(
        [&] {
            NM::NMClient client(false);
            int index = client.getChannelIndex("Target");
            CHILD_CHECK(sendNumbered(client, index, "m", 0, kHeld) == 0);
            CHILD_CHECK(client.heldBack(index) == static_cast<std::size_t>(kHeld));
            board->value[0] = index;
            // The first connection to the receiver fails: that must not be remembered as usable.
            Platform::FailNext(Platform::Call::ConnectAttach, ESRCH);
            board->step = 1;
            // Messages sent while older ones are still held back must go behind them.
            CHILD_CHECK(awaitStep(board, 2));
            CHILD_CHECK(sendNumbered(client, index, "m", kHeld, kHeld + 200) == 0);
            CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));
            return 0;
        },
        true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child receiver = orderedReceiver("Target", "m", kHeld + 200, 2);
    EXPECT_EQ(Wait(receiver), 0);
    expectPrinted(sender, "pid <its pid> queue [" + std::to_string(board->value[0]) + "] emptied\n");
}

TEST_F(Messaging, DeadReceiverIsDeclaredGoneAndARestartedOneGetsWhatFollows) {
    Child first = orderedReceiver("Svc", "a", 1, 1, true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child sender = Spawn(
        [&] {
            NM::NMClient client(false);
            int index = client.getChannelIndex("Svc");
            CHILD_CHECK(client.send(index, "a0", 2) == 2);
            CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));  // handed over
            board->step = 2;
            CHILD_CHECK(awaitStep(board, 3));  // the receiver has been killed
            CHILD_CHECK(client.send(index, "b", 1) == -1);
            CHILD_CHECK(NM::SlotPid(index) == -1 && NM::SlotChid(index) == -1);
            CHILD_CHECK(client.send(index, "c0", 2) == 2);  // held back now
            CHILD_CHECK(client.heldBack(index) == 1);
            board->step = 4;
            CHILD_CHECK(awaitStep(board, 5));  // a new receiver process has published
            CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));
            CHILD_CHECK(client.send(index, "c1", 2) == 2);
            return 0;
        },
        true);
    ASSERT_TRUE(awaitStep(board, 2));
    kill(first.pid, SIGKILL);
    Wait(first);
    board->step = 3;
    ASSERT_TRUE(awaitStep(board, 4));
    Child second = orderedReceiver("Svc", "c", 2, 5);
    EXPECT_EQ(Wait(second), 0);
    expectPrinted(sender,
                  "error pid <its pid> sendMessage ch 0 channel " + std::to_string(_NTO_SIDE_CHANNEL) + "\n");
}

TEST_F(Messaging, ReceiverThatRecreatesItsClientIsReachedAgain) {
    // Same process, new channel: the sender must not keep using the old connection and then
    // declare the live receiver gone.
    Child receiver = Spawn([&] {
        for (int round = 0; round < 2; ++round) {
            NM::NMClient client(false);
            int index = client.getChannelIndex("Svc");
            client.openReceiveChannel(index);
            board->step = 1 + 2 * round;
            CHILD_CHECK(receiveInOrder(client, index, "r" + std::to_string(round) + "-", 3) == 0);
        }
        return 0;
    });
    Child sender = Spawn([&] {
        {
            NM::NMClient client(false);
            int index = client.getChannelIndex("Svc");
            for (int round = 0; round < 2; ++round) {
                CHILD_CHECK(awaitStep(board, 1 + 2 * round));
                CHILD_CHECK(sendNumbered(client, index, "r" + std::to_string(round) + "-", 0, 3) == 0);
            }
            CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));
            CHILD_CHECK(NMTest::channelMappings() == 1);  // the old connection was detached
        }
        CHILD_CHECK(NMTest::channelMappings() == 0);  // and the client's last one with it
        return 0;
    });
    EXPECT_EQ(Wait(sender), 0);
    EXPECT_EQ(Wait(receiver), 0);
}

TEST_F(Messaging, ReceiveQueueLimitPollingAndTwoIndexes) {
    Child receiver = Spawn(
        [&] {
            NM::NMClient client(true);
            int first = client.getChannelIndex("First");
            int second = client.getChannelIndex("Second");
            char buffer[NM::kMaxPayload];
            int channel = -1;
            CHILD_CHECK(client.recvMsg(&channel, buffer, sizeof buffer) == -1);  // polling: nothing yet
            CHILD_CHECK(client.openReceiveChannel(first) == first);
            CHILD_CHECK(client.openReceiveChannel(second) == second);
            CHILD_CHECK(NM::SlotChid(first) == NM::SlotChid(second));  // one channel serves both
            board->step = 1;
            CHILD_CHECK(awaitStep(board, 3));
            // 2505 frames were sent: 2504 wait here, the last was dropped with a line.
            for (int n = 0; n < 2504; ++n) {
                int size = client.recvMsg(&channel, buffer, sizeof buffer);
                CHILD_CHECK(size == 4);
                int tag;
                std::memcpy(&tag, buffer, sizeof tag);
                CHILD_CHECK(tag == n && channel == (n % 2 == 0 ? first : second));
            }
            CHILD_CHECK(client.recvMsg(&channel, buffer, sizeof buffer) == -1);
            std::memset(buffer, 0, sizeof buffer);
            board->step = 4;
            // Largest payload, a header-only frame (dropped), and frames shorter than a header.
            // A frame for an index this client does not serve is dropped too. The next frame to
            // arrive must be the largest one, and only `length` bytes of it are copied.
            CHILD_CHECK(awaitStep(board, 5));
            int size = -1;
            CHILD_CHECK(Eventually([&] { return (size = client.recvMsg(&channel, buffer, 100)) != -1; }, 5s));
            CHILD_CHECK(size == NM::kMaxPayload && channel == first);
            CHILD_CHECK(buffer[0] == 'z' && buffer[99] == 'z' && buffer[100] != 'z');
            CHILD_CHECK(client.recvMsg(&channel, buffer, sizeof buffer) == -1);
            return 0;
        },
        true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child sender = Spawn([&] {
        NM::NMClient client(false);
        int first = client.getChannelIndex("First");
        int second = client.getChannelIndex("Second");
        for (int n = 0; n < 2505; ++n) {
            CHILD_CHECK(client.send(n % 2 == 0 ? first : second, reinterpret_cast<const char*>(&n), 4) == 4);
        }
        board->step = 2;
        CHILD_CHECK(awaitStep(board, 4));
        std::string largest(NM::kMaxPayload, 'z');
        CHILD_CHECK(client.send(first, "", 0) == 0);
        int coid = Platform::ConnectAttach(0, NM::SlotPid(first), NM::SlotChid(first), _NTO_SIDE_CHANNEL, 0);
        CHILD_CHECK(Platform::MsgSend(coid, "ab", 2, nullptr, 0) == 0);
        const std::int32_t elsewhere[2] = {second + 5, 7};
        CHILD_CHECK(Platform::MsgSend(coid, elsewhere, sizeof elsewhere, nullptr, 0) == 0);
        board->value[0] = elsewhere[0];
        CHILD_CHECK(client.send(first, largest.data(), NM::kMaxPayload) == NM::kMaxPayload);
        board->step = 5;
        return 0;
    });
    // The last send returns once its frame is acknowledged, before it is queued or dropped: the
    // receiver starts taking frames only after the drop has been reported.
    const std::string receiverPid = "pid " + std::to_string(receiver.pid);
    const std::string dropped = receiverPid + " reach receive queue max\n";
    std::string output;
    EXPECT_TRUE(awaitStep(board, 2));
    EXPECT_TRUE(Eventually([&] {
        output += CoreSystemTest::ReadOutput(receiver, false);
        return output.find(dropped) != std::string::npos;
    }));
    board->step = 3;
    EXPECT_EQ(Wait(sender), 0);
    output += CoreSystemTest::ReadOutput(receiver);
    EXPECT_EQ(Wait(receiver), 0);
    EXPECT_EQ(output, dropped + receiverPid + " dropped a frame for channel index " +
                          std::to_string(board->value[0]) + ", which it does not serve\n");
}

TEST_F(Messaging, OversizedPayloadsAreRefusedOnEveryPath) {
    Child child = Spawn([] {
        std::vector<Platform::SlogRecord> records;
        Platform::SetSlogObserver([&](const Platform::SlogRecord& record) { records.push_back(record); });
        NM::NMClient client(false);
        int index = client.getChannelIndex("Nobody");
        std::vector<char> payload(NM::kMaxPayload + 1, 'x');
        auto refused = [&](auto&& call) {
            try {
                call();
            } catch (const std::runtime_error& error) {
                return std::string(error.what()) == "NM message size limit exceeded";
            }
            return false;
        };
        CHILD_CHECK(refused([&] { client.send(index, payload.data(), NM::kMaxPayload + 1); }));
        CHILD_CHECK(refused([&] { client.queueMessage(index, payload.data(), NM::kMaxPayload + 1); }));
        CHILD_CHECK(client.heldBack(index) == 0);  // nothing oversized is ever held back
        CHILD_CHECK(client.send(index, payload.data(), NM::kMaxPayload) == NM::kMaxPayload);
        // One index holds back at most 2505 messages; the next is refused.
        for (int n = 1; n < 2505; ++n) CHILD_CHECK(client.send(index, "x", 1) == 1);
        CHILD_CHECK(client.send(index, "x", 1) == -1);
        CHILD_CHECK(client.heldBack(index) == 2505);
        CHILD_CHECK(records.size() == 2);
        CHILD_CHECK(records[0].opcode == NM::kSizeLimitOpcode && records[0].severity == _SLOG_ERROR);
        const std::string tail =
            " | int NM::NMClient::sendMessage(int, int, const char*, int): Message size 10241 is "
            "larger than NM max message size, 10240";
        const std::string& text = records[0].text;
        CHILD_CHECK(text.rfind(std::to_string(getpid()) + " ", 0) == 0 && text.size() > tail.size() &&
                    text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
        Platform::SetSlogObserver(nullptr);
        return 0;
    });
    EXPECT_EQ(Wait(child), 0);
}

TEST_F(Messaging, ClientThreadsEndWithTheClient) {
    Child child = Spawn([] {
        auto timed = [](auto&& body) {
            auto start = std::chrono::steady_clock::now();
            body();
            return std::chrono::steady_clock::now() - start;
        };
        // A transmit thread waiting for a receiver that never comes.
        auto waiting = timed([] {
            NM::NMClient client(false);
            client.send(client.getChannelIndex("Never"), "x", 1);
        });
        CHILD_CHECK(waiting < 1s);
        // A receive thread in its two-second receive.
        auto receiving = timed([] {
            NM::NMClient client(false);
            client.openReceiveChannel(client.getChannelIndex("Mine"));
            std::this_thread::sleep_for(100ms);
        });
        CHILD_CHECK(receiving < 2500ms);
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
        // Receiving clients leave no channel object behind.
        for (int n = 0; n < 20; ++n) NM::NMClient(false).openReceiveChannel(mine);
        CHILD_CHECK(NMTest::channelObjects() == 1);  // the observer's own
        // A transmit thread sending to a receiver that never takes the frame: the message counts
        // as held back until it is handed over, and the destructor does not wait for it.
        const int hung = Platform::ChannelCreate(0);
        auto sending = std::make_unique<NM::NMClient>(false);
        const int index = sending->getChannelIndex("Hung");
        CHILD_CHECK(sending->send(index, "x", 1) == 1);
        CHILD_CHECK(NM::publishReceiver(index, hung) == index);
        std::this_thread::sleep_for(300ms);
        CHILD_CHECK(sending->heldBack(index) == 1);
        std::atomic<bool> destroyed{false};
        std::thread destroyer([&] {
            sending.reset();
            destroyed = true;
        });
        if (!Eventually([&] { return destroyed.load(); }, 3s)) {
            std::fprintf(stderr, "destroying a client sending to a hung receiver took over 3 s\n");
            _exit(1);
        }
        destroyer.join();
        Platform::ChannelDestroy(hung);
        return 0;
    });
    EXPECT_EQ(Wait(child), 0);
}

TEST_F(Messaging, FailedSendOnAReplacedReceiverLeavesTheNewOnePublished) {
    // A send made on the connection to an old receiver, waiting on the slot mutex while a new
    // receiver takes the slot over, fails once the old one is dead: the new one stays published.
    Child old = orderedReceiver("Svc", "a", 1, 1, true);
    ASSERT_TRUE(awaitStep(board, 1));
    Child successor = orderedReceiver("Other", "c", 1, 2);
    ASSERT_TRUE(awaitStep(board, 2));
    Child sender = Spawn([&] {
        NM::NMClient client(false);
        const int index = client.getChannelIndex("Svc");
        const int other = client.getChannelIndex("Other");
        CHILD_CHECK(client.send(index, "a0", 2) == 2);  // connected to the old receiver
        NM::RegistrySlot& slot = NM::Registry().slots[index];
        slot.mutex.lock();
        std::thread late([&] { board->value[1] = client.send(index, "b", 1); });
        // Wait until the send blocks on the slot mutex in the kernel.
        auto* word = reinterpret_cast<std::uint32_t*>(&slot.mutex);
        CHILD_CHECK(Eventually([&] { return (__atomic_load_n(word, __ATOMIC_ACQUIRE) & 0x80000000u) != 0; }, 5s));
        board->step = 3;
        CHILD_CHECK(awaitStep(board, 4));  // the old receiver is dead
        const int pid = NM::SlotPid(other);
        const int chid = NM::SlotChid(other);
        __atomic_store_n(&slot.chid, chid, __ATOMIC_RELEASE);
        __atomic_store_n(&slot.pid, pid, __ATOMIC_RELEASE);
        slot.mutex.unlock();
        late.join();
        CHILD_CHECK(board->value[1] == -1);
        CHILD_CHECK(NM::SlotPid(index) == pid && NM::SlotChid(index) == chid);
        // The successor serves "Other" only, so it drops what is addressed to "Svc"; what it gets
        // on its own index shows that it is reached.
        CHILD_CHECK(client.send(other, "c0", 2) == 2);
        return 0;
    });
    EXPECT_TRUE(awaitStep(board, 3)) << "the late send did not wait for the slot mutex";
    kill(old.pid, SIGKILL);
    Wait(old);
    board->step = 4;
    EXPECT_EQ(Wait(sender), 0);
    EXPECT_EQ(Wait(successor, 5s), 0);
}

TEST_F(Messaging, FailedDeliveryKeepsTheRestForTheNextReceiver) {
    // The third held-back delivery fails: that message is lost with its error line, the failed
    // connection is not used again, and the rest waits for the receiver to publish anew.
    Child receiver = Spawn([&] {
        NM::NMClient client(false);
        int index = client.getChannelIndex("Flaky");
        CHILD_CHECK(awaitStep(board, 1));
        client.openReceiveChannel(index);
        CHILD_CHECK(receiveInOrder(client, index, "m", 2) == 0);
        CHILD_CHECK(Eventually([&] { return NM::SlotPid(index) == -1; }));
        CHILD_CHECK(client.openReceiveChannel(index) == index);  // publish again
        return receiveInOrder(client, index, "m", 6, 3);
    });
    Child sender = Spawn(
        [&] {
            NM::NMClient client(false);
            int index = client.getChannelIndex("Flaky");
            CHILD_CHECK(sendNumbered(client, index, "m", 0, 6) == 0);
            Platform::FailNext(Platform::Call::MsgSend, EBADF, 2);
            board->step = 1;
            CHILD_CHECK(Eventually([&] { return client.heldBack(index) == 0; }));
            return 0;
        },
        true);
    EXPECT_EQ(Wait(receiver), 0);
    const std::string errorLine = "error pid " + std::to_string(sender.pid) + " sendMessage ch 0 channel ";
    const std::string output = CoreSystemTest::ReadOutput(sender);
    EXPECT_EQ(Wait(sender), 0);
    EXPECT_NE(output.find(errorLine), std::string::npos) << output;
    EXPECT_EQ(output.find(errorLine), output.rfind(errorLine)) << output;  // exactly one failure
    EXPECT_NE(output.find("queue [0] emptied"), std::string::npos) << output;
}

}  // namespace
