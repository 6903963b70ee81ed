// The process's view of the shared variables database "/DBSHM": created by its owner, opened once
// by every client, read and written by id with change events to "CCMEvent".
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/DatabaseTable.h"

namespace CoreSystem {

/// A messaging client created on first use, with its cached channel index of "CCMEvent".
struct EventClient {
    std::once_flag created;
    std::unique_ptr<NM::NMClient> client;
    std::atomic<int> channelIndex{-1};
};

/// The database client's process-wide state (a member of the shared-data object): the name map,
/// then the handles onto the image, then the plain state.
struct DatabaseClientState {
    /// Name -> variable id, rebuilt from the name table at create and open. Guarded by nameLock
    /// (shared for lookups), so a rebuild never races with readers of this process.
    std::map<std::string, std::int32_t> names;
    conf::ConfigurationRoot root;
    conf::ProgrammingConfiguration programming;

    mutable std::shared_mutex nameLock;
    /// Set (release) once the table is mapped; `table` and the fields below are fixed from then on.
    std::atomic<bool> opened{false};
    std::mutex openMutex;  ///< one create or open at a time within the process
    DatabaseTable table;
    int descriptor = -1;
    int connectionId = -1;  ///< to the owner's channel
    void* imageBase = nullptr;
    std::uint32_t variableCount = 0;
    EventClient setManyClient;  ///< for setVariables
    EventClient setOneClient;   ///< for setVariable
};

/// The shared variables database. Until the database is created or opened in this process,
/// every operation does nothing and returns 0. Ids outside 1 .. 9999 are ignored (getters report
/// not valid). Values are stored converted to the variable's storage type (ConvertToStorage).
///
/// Locking: each operation holds the table mutex (process-shared, in "/DBSHM") once; event codes
/// are sent after it is released, in input order. Name lookups take a process-local lock only.
class DBSHM {
public:
    /// Owner start-up: creates "/DBSHM" (zeroed, owner channel and pid, table mutex) and builds
    /// the name map. When the object exists already it opens it instead (openDatabase).
    static void createDatabase();
    /// Client start-up: maps "/DBSHM", connects to the owner, builds the name map and opens the
    /// configuration image (BinaryClient::open, which waits for the loader). When "/DBSHM" is
    /// missing or too short, prints "DBSHM_main Open() ERROR, could not open DBSHM." on standard
    /// error and ends the process with status 1. A second call does nothing.
    static void openDatabase();
    /// Rebuilds the name map from the name table (entries 0 .. N, N bounded by the table).
    static void rebuildNameIndex();

    /// The variable id of `name`, or 0.
    static std::int32_t lookupVariableId(const std::string& name);
    /// 1 and the id of `name` in `id`, or 0 and `id` 0.
    static int findVariableId(const std::string& name, std::int32_t& id);

    /// 1 and the value when it is valid; otherwise 0 and `value` 0. `lastChange` gets the
    /// variable's time of last change (monotonic ms).
    static int getVariable(std::int32_t id, double& value, std::uint64_t& lastChange);
    static int getVariable(std::int32_t id, double& value);
    /// `n` values (0 when not valid) and valid flags (1 or 0) under one hold of the table mutex.
    static void getVariables(int n, const std::int32_t* ids, double* values, std::uint8_t* valid);
    static void getVariables(int n, const std::int32_t* ids, double* values);

    /// Stores `value`; sends the event code when the value changed or came back to life.
    static void setVariable(std::int32_t id, double value);
    /// Stores `n` values under one hold, writes the converted values back into `values`, then
    /// sends the event codes in input order.
    static void setVariables(int n, const std::int32_t* ids, double* values);

    /// 1 for a variable whose value expires, else 0.
    static int hasTimeout(std::int32_t id);
    static void invalidateVariable(std::int32_t id);
    static void invalidateVariables(int n, const std::int32_t* ids);

    // Enumerated values, on the value table of the variable's definition in the image (ids 1 ..
    // variable count whose definition has a table; otherwise the results are 0).
    /// The reserved string id shown for the current (valid) value.
    static int valueTextId(std::int32_t id, std::uint32_t& textId);
    /// The reserved string id shown for `value` (a negative, NaN or too large value has none).
    static int textIdForValue(std::int32_t id, double value, std::uint32_t& textId);
    /// Position of `value` in the table; the number of entries when it is not there.
    static std::uint32_t valueIndex(std::int32_t id, double value);
    static int textIdAtIndex(std::int32_t id, std::uint32_t index, std::uint32_t& textId);
    /// Sets the variable to the previous (down) or next (up) table value, wrapping around; 0 when
    /// the current value is not in the table or the table has fewer than two entries.
    static int stepValueDown(std::int32_t id);
    static int stepValueUp(std::int32_t id);

    /// For inspectors: a copy of the entry of `id` (false without one) and a name of `id` (empty
    /// when it has none).
    static bool variableEntry(std::int32_t id, VariableEntry& out);
    static std::string variableName(std::int32_t id);
    /// The names of the name map in name order, for inspectors.
    static std::map<std::string, std::int32_t> nameMap();
    /// The mapped table (null before create or open), for the owner that fills it.
    static DatabaseLayout* table();
};

}  // namespace CoreSystem
