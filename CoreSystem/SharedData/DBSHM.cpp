// The process-wide database client: one mapping of "/DBSHM" per process, the name map, and the
// table operations on the monotonic milliseconds clock with their events to "CCMEvent".
#include "CoreSystem/SharedData/DBSHM.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedDataObject.h"
#include "CoreSystem/Utilities/Utilities.h"

namespace CoreSystem {

namespace {

DatabaseClientState& State() {
    return SharedData().database;
}

/// The table when the database is created or opened in this process, else null.
DatabaseTable* Opened() {
    DatabaseClientState& state = State();
    return state.opened.load(std::memory_order_acquire) ? &state.table : nullptr;
}

std::uint64_t MonotonicClock() {
    return Utilities::MonotonicMilliseconds();
}

/// Sends `codes` to "CCMEvent" through `events`, creating its client on first use (once, also
/// when several threads get here together). A failed send is not reported: the values stay stored.
void Send(EventClient& events, const std::uint32_t* codes, std::size_t count) {
    std::call_once(events.created, [&events] { events.client = std::make_unique<NM::NMClient>(false); });
    int index = events.channelIndex.load(std::memory_order_relaxed);
    if (index < 0) {  // resolved on first use; tried again while the registry has none
        index = events.client->getChannelIndex(kEventEndpoint);
        events.channelIndex.store(index, std::memory_order_relaxed);
    }
    for (std::size_t k = 0; k < count; ++k) {
        char message[sizeof codes[k]];
        std::memcpy(message, &codes[k], sizeof message);
        events.client->send(index, message, sizeof message);
    }
}

/// Maps the table and publishes it; the caller holds the open mutex.
void Publish(DatabaseClientState& state, void* table, int fd) {
    state.descriptor = fd;
    state.table = DatabaseTable(static_cast<DatabaseLayout*>(table), state.imageBase, MonotonicClock);
    state.opened.store(true, std::memory_order_release);
}

/// The image part of opening: the handles, the image base and the variable count.
void AttachImage(DatabaseClientState& state) {
    BinaryClient::open();
    void* image = BinaryClient::imageBase();
    if (!image) return;
    state.root.attachImage(image);
    state.programming.setBase(image);
    state.programming.setRecord(state.root.resolve(state.root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    state.variableCount = state.programming.listCount(state.programming.word(conf::ProgrammingConfiguration::kVariables));
    state.imageBase = image;
}

/// Sets `id` to the value a step from its current value leads to: 1, or 0 when there is none.
int Step(std::int32_t id, bool up) {
    DatabaseTable* table = Opened();
    double target = 0;
    if (!table || !table->stepTarget(id, up, target)) return 0;
    DBSHM::setVariable(id, target);
    return 1;
}

}  // namespace

void DBSHM::createDatabase() {
    DatabaseClientState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.openMutex);
        if (state.opened.load(std::memory_order_acquire)) return;
        int fd = -1;
        // Removes what it made when it cannot finish, so a failed owner leaves no short object.
        void* mapped = NM::createSharedMemory(kDatabaseObject, sizeof(DatabaseLayout), fd);
        if (mapped) {
            auto* table = static_cast<DatabaseLayout*>(mapped);  // zero-filled
            table->ownerChannel = Platform::ChannelCreate(_NTO_CHF_FIXED_PRIORITY);
            table->ownerPid = static_cast<std::int32_t>(getpid());
            table->mutex.init();
            std::memset(table->reserved, 0, sizeof table->reserved);
            Publish(state, mapped, fd);
        }
    }
    if (Opened()) {
        rebuildNameIndex();
    } else {
        openDatabase();  // it exists already
    }
}

void DBSHM::openDatabase() {
    DatabaseClientState& state = State();
    bool missing = false;
    {
        std::lock_guard<std::mutex> lock(state.openMutex);
        if (state.opened.load(std::memory_order_acquire)) return;
        int fd = -1;
        // A missing object and one too short to hold the table are the same to a client.
        void* mapped = NM::openSharedMemory(kDatabaseObject, sizeof(DatabaseLayout), fd);
        if (mapped) {
            const auto* table = static_cast<const DatabaseLayout*>(mapped);
            state.connectionId =
                Platform::ConnectAttach(0, table->ownerPid, table->ownerChannel, _NTO_SIDE_CHANNEL, 0);
            AttachImage(state);
            Publish(state, mapped, fd);
        } else {
            if (fd != -1) ::close(fd);
            missing = true;
        }
    }
    if (missing) {  // a client cannot run without the database
        std::fputs("DBSHM_main Open() ERROR, could not open DBSHM.\n", stderr);
        std::fflush(stderr);
        std::exit(1);
    }
    rebuildNameIndex();
}

void DBSHM::rebuildNameIndex() {
    DatabaseTable* opened = Opened();
    if (!opened) return;
    const DatabaseLayout* table = opened->table();
    std::map<std::string, std::int32_t> names;
    const std::int32_t last = std::min(table->lastNameIndex, kVariableEntries - 1);
    for (std::int32_t i = 0; i <= last; ++i) {
        const NameEntry& entry = table->names[i];
        const std::size_t length = strnlen(entry.name, kVariableNameBytes);
        names.emplace(std::string(entry.name, length), entry.id);  // the first id of a name stays
    }
    DatabaseClientState& state = State();
    std::unique_lock<std::shared_mutex> lock(state.nameLock);
    state.names.swap(names);
}

std::int32_t DBSHM::lookupVariableId(const std::string& name) {
    std::int32_t id = 0;
    findVariableId(name, id);
    return id;
}

int DBSHM::findVariableId(const std::string& name, std::int32_t& id) {
    DatabaseClientState& state = State();
    std::shared_lock<std::shared_mutex> lock(state.nameLock);
    const auto found = state.names.find(name);
    id = found == state.names.end() ? 0 : found->second;
    return found == state.names.end() ? 0 : 1;
}

int DBSHM::getVariable(std::int32_t id, double& value, std::uint64_t& lastChange) {
    value = 0;
    DatabaseTable* table = Opened();
    return table ? table->get(id, value, &lastChange) : 0;
}

int DBSHM::getVariable(std::int32_t id, double& value) {
    value = 0;
    DatabaseTable* table = Opened();
    return table ? table->get(id, value) : 0;
}

void DBSHM::getVariables(int n, const std::int32_t* ids, double* values, std::uint8_t* valid) {
    DatabaseTable* table = Opened();
    if (table) {
        table->getMany(n, ids, values, valid);
    } else {
        for (int k = 0; k < n; ++k) {
            values[k] = 0;
            if (valid) valid[k] = 0;
        }
    }
}

void DBSHM::getVariables(int n, const std::int32_t* ids, double* values) {
    getVariables(n, ids, values, nullptr);
}

void DBSHM::setVariable(std::int32_t id, double value) {
    DatabaseTable* table = Opened();
    if (!table) return;
    const std::uint32_t code = table->set(id, value);
    if (code != 0) Send(State().setOneClient, &code, 1);
}

void DBSHM::setVariables(int n, const std::int32_t* ids, double* values) {
    DatabaseTable* table = Opened();
    if (!table) return;
    std::vector<std::uint32_t> codes;  // allocates only when something is to be sent
    table->setMany(n, ids, values, codes);
    if (!codes.empty()) Send(State().setManyClient, codes.data(), codes.size());
}

int DBSHM::hasTimeout(std::int32_t id) {
    DatabaseTable* table = Opened();
    return table ? table->hasTimeout(id) : 0;
}

void DBSHM::invalidateVariable(std::int32_t id) {
    invalidateVariables(1, &id);
}

void DBSHM::invalidateVariables(int n, const std::int32_t* ids) {
    if (DatabaseTable* table = Opened()) table->invalidate(n, ids);
}

int DBSHM::valueTextId(std::int32_t id, std::uint32_t& textId) {
    DatabaseTable* table = Opened();
    return table ? table->valueTextId(id, textId) : 0;
}

int DBSHM::textIdForValue(std::int32_t id, double value, std::uint32_t& textId) {
    DatabaseTable* table = Opened();
    return table ? table->textIdForValue(id, value, textId) : 0;
}

std::uint32_t DBSHM::valueIndex(std::int32_t id, double value) {
    DatabaseTable* table = Opened();
    return table ? table->valueIndex(id, value) : 0;
}

int DBSHM::textIdAtIndex(std::int32_t id, std::uint32_t index, std::uint32_t& textId) {
    DatabaseTable* table = Opened();
    return table ? table->textIdAtIndex(id, index, textId) : 0;
}

int DBSHM::stepValueDown(std::int32_t id) {
    return Step(id, false);
}

int DBSHM::stepValueUp(std::int32_t id) {
    return Step(id, true);
}

bool DBSHM::variableEntry(std::int32_t id, VariableEntry& out) {
    DatabaseTable* table = Opened();
    return table && table->entry(id, out);
}

std::string DBSHM::variableName(std::int32_t id) {
    DatabaseClientState& state = State();
    std::shared_lock<std::shared_mutex> lock(state.nameLock);
    for (const auto& [name, named] : state.names) {
        if (named == id && !name.empty()) return name;
    }
    return {};
}

std::map<std::string, std::int32_t> DBSHM::nameMap() {
    DatabaseClientState& state = State();
    std::shared_lock<std::shared_mutex> lock(state.nameLock);
    return state.names;
}

DatabaseLayout* DBSHM::table() {
    DatabaseTable* table = Opened();
    return table ? table->table() : nullptr;
}

}  // namespace CoreSystem
