// The notification registry: creation, attach helpers, name claims and receiver publication.
#include "CoreSystem/NM/Registry.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Posix.h"

namespace NM {

namespace {

/// Maps `size` bytes of `fd`, refusing an object too small to hold them (touching a mapping
/// beyond the end of its object would crash the process).
void* mapDescriptor(int fd, std::size_t size) {
    struct stat info;
    if (fstat(fd, &info) != 0 || static_cast<std::size_t>(info.st_size) < size || size == 0) return nullptr;
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : address;
}

std::int32_t loadWord(const std::int32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
void storeWord(std::int32_t& word, std::int32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}

}  // namespace

void* createSharedMemory(const char* name, std::size_t size, int& fd) {
    fd = CoreSystem::Platform::shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0777);
    if (fd == -1) return nullptr;
    void* address = nullptr;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) address = mapDescriptor(fd, size);
    if (!address) {
        // Leave nothing half-made behind: an empty object would block every later creation.
        close(fd);
        CoreSystem::Platform::shm_unlink(name);
        fd = -1;
        return nullptr;
    }
    std::memset(address, 0, size);
    return address;
}

void* openSharedMemory(const char* name, std::size_t size, int& fd) {
    fd = CoreSystem::Platform::shm_open(name, O_RDWR, 0);
    if (fd == -1) return nullptr;
    return mapDescriptor(fd, size);
}

RegistryHeader* createRegistry(int slotCount) {
    RegistryState& registry = Registry();
    int fd = -1;
    void* base = slotCount < 0 ? nullptr : createSharedMemory(kRegistryName, RegistrySize(slotCount), fd);
    registry.base = static_cast<RegistryHeader*>(base);
    registry.mappedSlots = 0;
    if (!base) return nullptr;
    RegistryHeader* header = registry.base;
    header->mutex.init();
    header->mutex.lock();
    header->condition.init();
    header->slotCount = slotCount;
    header->reserved = 0;
    auto* slots = reinterpret_cast<RegistrySlot*>(header + 1);
    std::memset(slots, kFreeSlotByte, sizeof(RegistrySlot) * static_cast<std::size_t>(slotCount));
    for (int i = 0; i < slotCount; ++i) slots[i].mutex.init();
    registry.slots = slots;
    registry.mappedSlots = slotCount;
    header->mutex.unlock();
    return header;
}

int SlotCount() {
    const RegistryState& registry = Registry();
    if (!registry.base) return 0;
    const std::int32_t stored = loadWord(registry.base->slotCount);
    return stored < registry.mappedSlots ? (stored < 0 ? 0 : stored) : registry.mappedSlots;
}

bool ValidChannelIndex(int channelIndex) {
    return channelIndex >= 0 && channelIndex < SlotCount();
}

int findOrClaimSlot(const char* name) {
    RegistryState& registry = Registry();
    if (!registry.base || !name || std::strlen(name) > static_cast<std::size_t>(kMaxEndpointName)) return -1;
    CoreSystem::Platform::ProcessLock hold(registry.base->mutex);
    if (hold.tookOver()) RepairAfterLock(EOWNERDEAD);
    int firstFree = -1;
    const int count = SlotCount();
    for (int i = 0; i < count; ++i) {
        RegistrySlot& slot = registry.slots[i];
        if (static_cast<unsigned char>(slot.name[0]) == kFreeSlotByte) {
            if (firstFree < 0) firstFree = i;
        } else if (std::strncmp(slot.name, name, sizeof slot.name) == 0) {
            return i;
        }
    }
    if (firstFree < 0) return -1;
    RegistrySlot& slot = registry.slots[firstFree];
    std::memset(slot.name, 0, sizeof slot.name);
    CoreSystem::Platform::CrashPoint(CoreSystem::Platform::Call::KillInClaim);
    std::memcpy(slot.name, name, std::strlen(name));
    return firstFree;
}

void RepairAfterLock(int lockResult) {
    if (lockResult != EOWNERDEAD) return;
    RegistryState& registry = Registry();
    const int count = SlotCount();
    for (int i = 0; i < count; ++i) {
        RegistrySlot& slot = registry.slots[i];
        if (slot.name[0] == '\0') std::memset(slot.name, kFreeSlotByte, sizeof slot.name);
    }
}

int publishReceiver(int channelIndex, int chid) {
    if (!ValidChannelIndex(channelIndex)) return -1;
    RegistryState& registry = Registry();
    RegistrySlot& slot = registry.slots[channelIndex];
    {
        CoreSystem::Platform::ProcessLock hold(slot.mutex);
        storeWord(slot.chid, chid);
        storeWord(slot.pid, static_cast<std::int32_t>(getpid()));
    }
    // Broadcast under the registry mutex: a transmit thread between its scan and its wait holds
    // that mutex, so it cannot miss this publication.
    CoreSystem::Platform::ProcessLock hold(registry.base->mutex);
    if (hold.tookOver()) RepairAfterLock(EOWNERDEAD);
    registry.base->condition.broadcast();
    return channelIndex;
}

std::int32_t SlotPid(int channelIndex) {
    return loadWord(Registry().slots[channelIndex].pid);
}
std::int32_t SlotChid(int channelIndex) {
    return loadWord(Registry().slots[channelIndex].chid);
}
void MarkSlotGone(int channelIndex) {
    RegistrySlot& slot = Registry().slots[channelIndex];
    storeWord(slot.chid, -1);
    storeWord(slot.pid, -1);
}

bool MarkSlotGoneIf(int channelIndex, std::int32_t pid, std::int32_t chid) {
    if (pid == -1 || SlotPid(channelIndex) != pid || SlotChid(channelIndex) != chid) return false;
    MarkSlotGone(channelIndex);
    return true;
}

}  // namespace NM
