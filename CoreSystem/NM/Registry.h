// The notification registry "/Notification": the one table through which NM processes find the
// receivers of named endpoints, and the shared-memory helpers it is built with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CoreSystem/Platform/ProcessSync.h"

namespace NM {

/// Name of the registry's shared-memory object.
inline constexpr const char* kRegistryName = "/Notification";
/// Longest endpoint name a slot holds (the 32-byte field keeps its NUL).
inline constexpr int kMaxEndpointName = 31;
/// First name byte of a free slot; every slot byte outside its mutex is this after creation.
inline constexpr unsigned char kFreeSlotByte = 0xFF;

/// Registry header at offset 0 of the object.
struct RegistryHeader {
    CoreSystem::Platform::ProcessMutex mutex;          ///< serialises claims and the attach
    CoreSystem::Platform::ProcessCondition condition;  ///< broadcast when a receiver publishes
    std::int32_t slotCount;
    std::int32_t reserved;  ///< zero
};

/// One endpoint: slot i lies at offset 24 + 48 * i.
struct RegistrySlot {
    CoreSystem::Platform::ProcessMutex mutex;  ///< held across each send to this endpoint
    std::int32_t pid;                          ///< receiver process, -1 for none
    std::int32_t chid;                         ///< receiver channel, -1 for none
    char name[32];                             ///< NUL-terminated; first byte 0xFF: free
};

static_assert(sizeof(RegistryHeader) == 24, "registry header is 24 bytes");
static_assert(offsetof(RegistryHeader, condition) == 8);
static_assert(offsetof(RegistryHeader, slotCount) == 16);
static_assert(offsetof(RegistryHeader, reserved) == 20);
static_assert(sizeof(RegistrySlot) == 48, "registry slot is 48 bytes");
static_assert(offsetof(RegistrySlot, pid) == 8);
static_assert(offsetof(RegistrySlot, chid) == 12);
static_assert(offsetof(RegistrySlot, name) == 16);

/// Size in bytes of a registry with `slotCount` slots.
constexpr std::size_t RegistrySize(int slotCount) {
    return sizeof(RegistryHeader) + sizeof(RegistrySlot) * static_cast<std::size_t>(slotCount);
}

/// The process's view of the registry, part of the process-wide shared-data object. Both
/// pointers are set by createRegistry or the first successful attach and then stay set.
struct RegistryState {
    RegistryHeader* base;  ///< null while the process is not attached
    RegistrySlot* slots;   ///< base + 24
    int mappedSlots;       ///< slots this process mapped; nothing beyond them is ever touched
};

/// The registry state of this process.
RegistryState& Registry();

/// Creates the shared-memory object `name` (exclusively) with `size` zero bytes and maps it.
/// Stores the descriptor, which stays open and belongs to the caller, in `fd` (-1 on failure).
/// Returns the mapping, or null.
void* createSharedMemory(const char* name, std::size_t size, int& fd);
/// Maps `size` bytes of the existing object `name`; `fd` as above. Returns the mapping or null.
void* openSharedMemory(const char* name, std::size_t size, int& fd);

/// Creates "/Notification" with `slotCount` slots and attaches this process to it.
/// Returns the header, or null when the object could not be created (also when it exists).
RegistryHeader* createRegistry(int slotCount);
/// Channel index of endpoint `name`, claiming the lowest free slot for a new name.
/// -1 when the registry is absent or full, or when `name` is longer than 31 characters.
int findOrClaimSlot(const char* name);
/// Publishes the calling process as receiver of `channelIndex` on channel `chid` and wakes every
/// process waiting for receivers. Returns `channelIndex`, or -1 for an index outside the table.
int publishReceiver(int channelIndex, int chid);

/// To be called with the registry mutex held, with the result of the call that took it: after a
/// takeover from a holder that died (EOWNERDEAD), releases a slot it left claimed under the
/// empty name.
void RepairAfterLock(int lockResult);

/// Number of slots this process may use: the count stored in the header, but never more than
/// were mapped (0 while the process is not attached).
int SlotCount();
/// True when the registry is attached and `channelIndex` lies inside it.
bool ValidChannelIndex(int channelIndex);

/// Receiver pid and chid of a slot inside the registry, read without a lock (-1: none).
std::int32_t SlotPid(int channelIndex);
std::int32_t SlotChid(int channelIndex);
/// Writes -1 into the slot's chid and then its pid: the receiver is gone for every process.
void MarkSlotGone(int channelIndex);
/// MarkSlotGone, but only while the slot still names receiver `pid` on channel `chid`, so that a
/// receiver that has replaced it stays published. The caller holds the slot mutex. True when
/// cleared.
bool MarkSlotGoneIf(int channelIndex, std::int32_t pid, std::int32_t chid);

}  // namespace NM
