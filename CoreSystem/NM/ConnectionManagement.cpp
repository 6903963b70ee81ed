// Connections from an NM client to the receivers of channel indexes.
#include "CoreSystem/NM/ConnectionManagement.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <mutex>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"

namespace NM {

namespace {

/// Serialises the two-phase attach of the threads of one process.
std::mutex gAttachMutex;
/// How long an attach waits for a registry that is being created to get its slot count.
constexpr int kCreationWaitMs = 2000;

/// The slot count of the registry whose header is mapped at `header`, checked against the size
/// of its object: the creator sizes the object before it writes the count, so an object larger
/// than its count is still being made (wait for the count, bounded), and one smaller than its
/// count is damaged (-1). After the wait the count read is used; its slots all lie in the object.
int settledSlotCount(RegistryHeader& header, int descriptor, bool& tookOver) {
    for (int waited = 0;; ++waited) {
        struct stat info;
        if (fstat(descriptor, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(RegistryHeader)))
            return -1;
        const auto sized = static_cast<std::size_t>(info.st_size);
        tookOver = header.mutex.lock() == EOWNERDEAD || tookOver;
        const int count = header.slotCount;
        header.mutex.unlock();
        if (count < 0 || RegistrySize(count) > sized) return -1;
        if (RegistrySize(count) == sized || waited >= kCreationWaitMs) return count;
        CoreSystem::Platform::delay(1);
    }
}

}  // namespace

ConnectionManagement::ConnectionManagement() {
    pthread_mutex_init(&cacheMutex_, nullptr);
}

ConnectionManagement::~ConnectionManagement() {
    pthread_mutex_lock(&cacheMutex_);
    for (auto& cached : cache_) {
        if (cached.second.connectionId != -1) CoreSystem::Platform::ConnectDetach(cached.second.connectionId);
    }
    pthread_mutex_unlock(&cacheMutex_);
    pthread_mutex_destroy(&cacheMutex_);
    if (registryDescriptor_ != -1) close(registryDescriptor_);
}

std::intptr_t ConnectionManagement::attachRegistry() {
    std::lock_guard<std::mutex> hold(gAttachMutex);
    RegistryState& registry = Registry();
    if (registry.base) return reinterpret_cast<std::intptr_t>(registry.base);

    // The size depends on the slot count stored in the object: map the header first.
    int descriptor = -1;
    auto* header =
        static_cast<RegistryHeader*>(openSharedMemory(kRegistryName, sizeof(RegistryHeader), descriptor));
    if (!header) {
        if (descriptor != -1) close(descriptor);
        return -1;
    }
    bool tookOver = false;  // the slots are repaired once they are mapped
    const int count = settledSlotCount(*header, descriptor, tookOver);
    munmap(header, sizeof(RegistryHeader));
    close(descriptor);
    // The header mapping is not used again. Never more slots than the object holds.
    auto* base =
        count < 0
            ? nullptr
            : static_cast<RegistryHeader*>(openSharedMemory(kRegistryName, RegistrySize(count), descriptor));
    if (!base) {
        if (descriptor != -1 && count >= 0) close(descriptor);
        return -1;
    }
    registryDescriptor_ = descriptor;
    registry.slots = reinterpret_cast<RegistrySlot*>(base + 1);
    registry.mappedSlots = count;
    registry.base = base;
    if (tookOver) {
        CoreSystem::Platform::ProcessLock hold(base->mutex);
        RepairAfterLock(EOWNERDEAD);
    }
    return reinterpret_cast<std::intptr_t>(base);
}

int ConnectionManagement::attach(Entry& entry, int pid, int chid) {
    entry.connectionId = CoreSystem::Platform::ConnectAttach(0, pid, chid, _NTO_SIDE_CHANNEL, 0);
    entry.pid = entry.connectionId == -1 ? -1 : pid;
    entry.chid = entry.connectionId == -1 ? -1 : chid;
    return entry.connectionId;
}

int ConnectionManagement::getConnection(int channelIndex) {
    if (SlotPid(channelIndex) == -1 || SlotChid(channelIndex) == -1) return -1;
    pthread_mutex_lock(&cacheMutex_);
    const int pid = SlotPid(channelIndex);
    const int chid = SlotChid(channelIndex);
    int connectionId = -1;
    auto found = cache_.find(channelIndex);
    if (found == cache_.end()) {
        Entry entry{-1, -1, -1};
        connectionId = attach(entry, pid, chid);
        cache_.emplace(channelIndex, entry);
    } else if (found->second.pid == pid && found->second.chid == chid && pid != -1) {
        connectionId = found->second.connectionId;
    } else {
        // The receiver was replaced (new process or new channel): reconnect.
        if (found->second.connectionId != -1) CoreSystem::Platform::ConnectDetach(found->second.connectionId);
        connectionId = (pid == -1 || chid == -1) ? (found->second = Entry{-1, -1, -1}).connectionId
                                                 : attach(found->second, pid, chid);
    }
    pthread_mutex_unlock(&cacheMutex_);
    return connectionId;
}

ConnectionManagement::Entry ConnectionManagement::forget(int channelIndex, int connectionId) {
    Entry was{-1, -1, -1};
    pthread_mutex_lock(&cacheMutex_);
    auto found = cache_.find(channelIndex);
    if (found != cache_.end() && found->second.connectionId != -1 &&
        (connectionId == -1 || found->second.connectionId == connectionId)) {
        was = found->second;
        CoreSystem::Platform::ConnectDetach(was.connectionId);
        found->second = Entry{-1, -1, -1};
    }
    pthread_mutex_unlock(&cacheMutex_);
    return was;
}

void ConnectionManagement::dropConnection(int channelIndex, int connectionId) {
    if (!ValidChannelIndex(channelIndex)) return;
    // A connection that is no longer cached was replaced meanwhile: the slot names its successor.
    const Entry failed = forget(channelIndex, connectionId);
    MarkSlotGoneIf(channelIndex, failed.pid, failed.chid);
}

void ConnectionManagement::withdraw(int channelIndex, int pid, int chid) {
    if (!ValidChannelIndex(channelIndex)) return;
    {
        CoreSystem::Platform::ProcessLock hold(Registry().slots[channelIndex].mutex);
        MarkSlotGoneIf(channelIndex, pid, chid);
    }
    forget(channelIndex, -1);
}

}  // namespace NM
