// The notification registry: its bytes, name claims across processes, and lock holders that die.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Posix.h"
#include "NMTestSupport.h"

namespace {

namespace Platform = CoreSystem::Platform;
using namespace std::chrono_literals;
using CoreSystemTest::Child;
using CoreSystemTest::Spawn;
using CoreSystemTest::Wait;

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
    NMTest::Board* board = NMTest::makeBoard();
};

TEST_F(Registry, LayoutAndClaimsMatchTheSharedFormat) {
    ASSERT_EQ(NMTest::createRegistryInChild(4), 0);
    std::vector<unsigned char> bytes = registryBytes();
    ASSERT_EQ(bytes.size(), 24u + 48u * 4u);
    EXPECT_EQ(wordAt(bytes, 16), 4);
    EXPECT_EQ(wordAt(bytes, 20), 0);
    for (std::size_t slot = 0; slot < 4; ++slot) {  // free: all but the slot's mutex 0xFF
        const auto* fields = &bytes[24 + 48 * slot + 8];
        EXPECT_TRUE(std::all_of(fields, fields + 40, [](unsigned char byte) { return byte == 0xFF; }))
            << slot;
    }
    EXPECT_NE(NMTest::createRegistryInChild(3), 0);  // exists: left untouched
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
    Child child = Spawn([] {
        NM::NMClient client(false);
        CHILD_CHECK(NM::SlotCount() == 0 && client.getChannelIndex("x") == -1 &&
                    client.send(0, "x", 1) == -1);
        CHILD_CHECK(NM::publishReceiver(0, 1) == -1 && client.openReceiveChannel(0) == -1);
        CHILD_CHECK(client.queueMessage(0, "x", 1) == -1 && client.queueMessage(-1, "x", 1) == -1);
        return 0;
    });
    return Wait(child);
}

TEST_F(Registry, OnlyAWholeRegistryIsAttached) {
    EXPECT_EQ(unusableInChild(), 0) << "no registry";
    // A creation that fails half-way leaves nothing that would block the next one.
    Child failing = Spawn([] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit small{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &small);
        return NM::createRegistry(100) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(Wait(failing), 0);
    ASSERT_EQ(NMTest::createRegistryInChild(0), 0);
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
    ASSERT_EQ(NMTest::createRegistryInChild(4), 0);
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
        EXPECT_TRUE(NMTest::awaitStep(board, 1));
        kill(holder.pid, SIGKILL);
        Wait(holder);
    }
    // One dies in the middle of a claim: the slot it left without a name is free again.
    Child claimer = Spawn([] {
        NM::NMClient client(false);
        Platform::FailNext(Platform::Call::KillInClaim, 0);
        client.getChannelIndex("Torn");
        return 1;
    });
    EXPECT_EQ(Wait(claimer), 128 + SIGKILL);

    Child survivor = Spawn([] {
        NM::NMClient client(false);
        const int index = client.getChannelIndex("Svc");
        CHILD_CHECK(client.getChannelIndex("New") == 1);  // claims take the registry mutex
        CHILD_CHECK(client.getChannelIndex("") == -1 || client.getChannelIndex("") == 2);
        CHILD_CHECK(NM::publishReceiver(index, 5) == index);  // publications take both mutexes
        return 0;
    });
    EXPECT_EQ(Wait(survivor, 10s), 0);
}

}  // namespace
