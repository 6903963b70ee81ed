// The framework's process-wide objects, built in one defined order before main and destroyed in
// reverse order at exit. Later subsystems add their members in their documented places.
#pragma once

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/ListManager.h"

namespace CoreSystem {

/// Everything the framework keeps for the life of a process.
struct SharedDataObject {
    /// The registry pointers. Plain data, zero before any constructor runs, so that the registry
    /// can be attached by the client below during its own construction.
    NM::RegistryState registry;
    /// The image client: its conf handles (root, culture root, text-slot cursor, culture runtime
    /// data, change counters), then its event map, then its plain state. Nothing is opened here.
    BinaryClientState binaryClient;
    /// The process-wide client (polling mode off); its constructor attaches the registry.
    NM::NMClient client{false};
    /// The database client: its name map, its root and programming configuration handles, then
    /// its plain state and its two lazily created messaging clients. Nothing is opened here.
    DatabaseClientState database;
    /// The list map and the list manager lock: nothing is attached here.
    ListManagerState lists;
};

/// The process's shared-data object.
SharedDataObject& SharedData();

}  // namespace CoreSystem
