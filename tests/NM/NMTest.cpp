// NM between processes: the registry's bytes, name claims and dying lock holders; direct and held-back
// delivery, receivers that die or restart, the receive queue, size limits and the client's threads.
#include <fcntl.h>
#include <sys/resource.h>
#include <cstring>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "NMTestSupport.h"

namespace {

using namespace NMTest;

std::vector<unsigned char> registryBytes() {
    std::string path = "/dev/shm" + Platform::SharedObjectName(NM::kRegistryName);
    std::ifstream file(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

std::int32_t wordAt(const std::vector<unsigned char>& bytes, std::size_t offset) {
    std::int32_t word;
    std::memcpy(&word, bytes.data() + offset, sizeof word);
    return word;
}

class Registry : public ::testing::Test {
protected:
    CoreSystemTest::IsolatedHost host;
    Board* board = makeBoard();
};

TEST_F(Registry, LayoutAndClaimsMatchTheSharedFormat) {
    ASSERT_EQ(createRegistryInChild(4), 0);
    std::vector<unsigned char> bytes = registryBytes();
    ASSERT_EQ(bytes.size(), 24u + 48u * 4u);
    EXPECT_EQ(wordAt(bytes, 16), 4);
    EXPECT_EQ(wordAt(bytes, 20), 0);
    for (std::size_t slot = 0; slot < 4; ++slot) {  // free: all but the slot's mutex 0xFF
        const auto* fields = &bytes[24 + 48 * slot + 8];
        EXPECT_TRUE(std::all_of(fields, fields + 40, [](unsigned char byte) { return byte == 0xFF; }))
            << slot;
    }
    EXPECT_NE(createRegistryInChild(3), 0);  // exists: left untouched
    EXPECT_EQ(registryBytes(), bytes);

    // Claims: lowest free index, same index for the same name, case matters, a prefix is another
    // name, names that do not fit are refused rather than cut.
    Child claimer = Spawn([] {
        NM::NMClient client(false);
        CHILD_CHECK(client.getChannelIndex("ScreenAction") == 0);
        CHILD_CHECK(client.getChannelIndex("screenaction") == 1);
        CHILD_CHECK(client.getChannelIndex("Screen") == 2);
        CHILD_CHECK(client.getChannelIndex(std::string(32, 'x').c_str()) == -1);
        CHILD_CHECK(client.getChannelIndex(std::string(31, 'x').c_str()) == 3);
        CHILD_CHECK(client.getChannelIndex("Another") == -1);  // full
        CHILD_CHECK(client.getChannelIndex("ScreenAction") == 0 && client.getChannelIndex("Screen") == 2);
        CHILD_CHECK(NM::publishReceiver(4, 5) == -1 && NM::publishReceiver(-1, 5) == -1);
        CHILD_CHECK(NM::publishReceiver(1, 77) == 1);
        return 0;
    });
    const pid_t publisher = claimer.pid;
    ASSERT_EQ(Wait(claimer), 0);
    bytes = registryBytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[24 + 16])), "ScreenAction");
    for (std::size_t i = 24 + 16 + 12; i < 24 + 48; ++i) EXPECT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(wordAt(bytes, 24 + 8), -1);  // claimed, no receiver
    EXPECT_EQ(wordAt(bytes, 24 + 48 + 8), publisher);
    EXPECT_EQ(wordAt(bytes, 24 + 48 + 12), 77);
}

/// Makes "/Notification" by hand: `size` zero bytes with `count` in the header, or nothing more.
NM::RegistryHeader* makeRawRegistry(std::size_t size, int count) {
    int fd = Platform::shm_open(NM::kRegistryName, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (address == MAP_FAILED) return nullptr;
    static_cast<NM::RegistryHeader*>(address)->slotCount = count;
    return static_cast<NM::RegistryHeader*>(address);
}

/// Zero when, in a child, every call of a client fails as it must without a usable registry.
int unusableInChild() {
    return RunInChild([] {
        NM::NMClient client(false);
        CHILD_CHECK(NM::SlotCount() == 0 && client.getChannelIndex("x") == -1 && client.send(0, "x", 1) == -1);
        CHILD_CHECK(NM::publishReceiver(0, 1) == -1 && client.openReceiveChannel(0) == -1);
        CHILD_CHECK(client.queueMessage(0, "x", 1) == -1 && client.queueMessage(-1, "x", 1) == -1);
        return 0;
    });
}

TEST_F(Registry, OnlyAWholeRegistryIsAttached) {
    EXPECT_EQ(unusableInChild(), 0) << "no registry";
    // A creation that fails half-way leaves nothing that would block the next one.
    EXPECT_EQ(RunInChild([] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit small{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &small);
        return NM::createRegistry(100) == nullptr ? 0 : 1;
    }), 0);
    ASSERT_EQ(createRegistryInChild(0), 0);
    EXPECT_EQ(unusableInChild(), 0) << "zero slots";
    Platform::shm_unlink(NM::kRegistryName);

    // An object smaller than its count says is not attached.
    NM::RegistryHeader* header = makeRawRegistry(NM::RegistrySize(2), 100);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(unusableInChild(), 0) << "object smaller than its count";
    int fd = -1;  // the mapping itself refuses to reach past the object's end
    EXPECT_EQ(NM::openSharedMemory(NM::kRegistryName, NM::RegistrySize(100), fd), nullptr);
    if (fd != -1) close(fd);
    munmap(header, NM::RegistrySize(2));
    Platform::shm_unlink(NM::kRegistryName);

    // Being created: the object has its size, the creator has not yet written the count. An
    // attach meanwhile must end up with every slot, not with none and then the live count.
    constexpr int kSlots = 5000;
    header = makeRawRegistry(NM::RegistrySize(kSlots), 0);
    ASSERT_NE(header, nullptr);
    Child early = Spawn([&] {
        NM::NMClient client(false);
        CHILD_CHECK(NM::SlotCount() == kSlots && client.getChannelIndex("first") == 0);
        CHILD_CHECK(NM::publishReceiver(kSlots - 1, 1) == kSlots - 1);  // the last slot is mapped too
        return 0;
    });
    std::this_thread::sleep_for(200ms);
    header->mutex.init();
    header->mutex.lock();
    header->condition.init();
    header->slotCount = kSlots;
    auto* slots = reinterpret_cast<NM::RegistrySlot*>(header + 1);
    std::memset(slots, NM::kFreeSlotByte, sizeof(NM::RegistrySlot) * kSlots);
    for (int i = 0; i < kSlots; ++i) slots[i].mutex.init();
    header->mutex.unlock();
    EXPECT_EQ(Wait(early, 10s), 0);
    munmap(header, NM::RegistrySize(kSlots));
}

TEST_F(Registry, ProcessKilledHoldingALockDoesNotStopTheOthers) {
    ASSERT_EQ(createRegistryInChild(4), 0);
    // One process dies holding the registry mutex, another holding the slot mutex of "Svc".
    for (const bool slotMutex : {false, true}) {
        board->step = 0;
        Child holder = Spawn([&] {
            NM::NMClient client(false);
            const int index = client.getChannelIndex("Svc");
            (slotMutex ? NM::Registry().slots[index].mutex : NM::Registry().base->mutex).lock();
            board->step = 1;
            pause();
            return 0;
        });
        EXPECT_TRUE(awaitStep(board, 1));
        kill(holder.pid, SIGKILL);
        Wait(holder);
    }
    // One dies in the middle of a claim: the slot it left without a name is free again.
    EXPECT_EQ(RunInChild([] {
        NM::NMClient client(false);
        Platform::FailNext(Platform::Call::KillInClaim, 0);
        client.getChannelIndex("Torn");
        return 1;
    }), 128 + SIGKILL);

    EXPECT_EQ(RunInChild([] {
        NM::NMClient client(false);
        const int index = client.getChannelIndex("Svc");
        CHILD_CHECK(client.getChannelIndex("New") == 1);  // claims take the registry mutex
        CHILD_CHECK(client.getChannelIndex("") == -1 || client.getChannelIndex("") == 2);
        CHILD_CHECK(NM::publishReceiver(index, 5) == index);  // publications take both mutexes
        return 0;
    }), 0);
}


TEST(WakeBatch, HoldsWakeUpsBackOnlyInABurstAndNeverForLong) {
    // A lone frame and frames of a request and reply exchange (10 us apart) are never held back;
    // four in a row within 3 us start a burst. In a burst at most 64 frames wait behind one
    // wake-up, a slower frame (5 us) keeps the burst, and a time-out or a pause of 24 us ends it.
    NM::WakeBatch off(0);
    NM::WakeBatch batch(3000);
    std::uint64_t now = 1000000;
    const auto next = [&](std::uint64_t gap) {
        now += gap;
        EXPECT_FALSE(off.mayHold(now));
        return batch.mayHold(now);
    };
    const auto startBurst = [&] {
        for (int n = 1; n <= 4; ++n) EXPECT_EQ(next(1000), n == 4) << n;
    };
    for (int n = 0; n < 6; ++n) EXPECT_FALSE(next(10000)) << n;
    startBurst();
    for (int n = 1; n < NM::WakeBatch::kMostHeld; ++n) {
        batch.held();
        EXPECT_TRUE(next(1000)) << n;
    }
    batch.held();
    EXPECT_FALSE(next(1000));  // the 65th: the consumer is woken
    batch.woken(false);
    EXPECT_TRUE(next(5000));
    batch.held();
    batch.woken(true);  // no frame followed in time
    startBurst();
    EXPECT_FALSE(next(24000));
}

/// Receives frames and checks that they are "<prefix><n>" for n = from..to-1 in order.
int receiveInOrder(NM::NMClient& client, int index, const std::string& prefix, int to, int from = 0) {
    char buffer[NM::kMaxPayload];
    for (int n = from; n < to; ++n) {
        int channel = -1;
        const int size = std::max(0, client.recvMsg(&channel, buffer, sizeof buffer));
        if (channel != index || std::string(buffer, static_cast<std::size_t>(size)) != prefix + std::to_string(n)) {
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

class Messaging : public Registry {
protected:
    void SetUp() override { ASSERT_EQ(createRegistryInChild(16), 0); }
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
                CHILD_CHECK(channelMappings() == 1);  // the old connection was detached
            }
            CHILD_CHECK(channelMappings() == 0);  // and the client's last one with it
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
    EXPECT_EQ(RunInChild([] {
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
                std::string refusal = "none";
                try {
                    const int size = NM::kMaxPayload + 1;
                    queue ? client.queueMessage(index, payload.data(), size) : client.send(index, payload.data(), size);
                } catch (const std::runtime_error& error) {
                    refusal = error.what();
                }
                CHILD_CHECK(refusal == "NM message size limit exceeded");
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
        CHILD_CHECK(sharedObjects(Platform::SharedObjectName("/nto.ch.").substr(1)) == 1);
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
    }), 0);
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
        CHILD_CHECK(Eventually([&] { return (__atomic_load_n(word, __ATOMIC_ACQUIRE) & 0x80000000u) != 0; }, 5s));
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
