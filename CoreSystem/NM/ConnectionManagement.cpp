// Connections from an NM client to the receivers of channel indexes.
#include "CoreSystem/NM/ConnectionManagement.h"

#include <unistd.h>
#include <mutex>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Neutrino.h"

namespace NM {

namespace {
/// Serialises the two-phase attach of the threads of one process.
std::mutex gAttachMutex;
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
    header->mutex.lock();
    const int count = header->slotCount;
    header->mutex.unlock();
    close(descriptor);
    // The header mapping is not used again; a corrupt count would map beyond the object.
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
    registry.base = base;
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

void ConnectionManagement::dropConnection(int channelIndex) {
    if (!ValidChannelIndex(channelIndex)) return;
    MarkSlotGone(channelIndex);
    pthread_mutex_lock(&cacheMutex_);
    auto found = cache_.find(channelIndex);
    if (found != cache_.end()) {
        if (found->second.connectionId != -1) CoreSystem::Platform::ConnectDetach(found->second.connectionId);
        found->second = Entry{-1, -1, -1};
    }
    pthread_mutex_unlock(&cacheMutex_);
}

}  // namespace NM
