// The application manager: an application's view of the device's programming configuration.
// Translates between the application's local numbers (actions, events, variables, reserved
// strings) and the system-wide ids used on the bus and in the shared data.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CoreSystem/Application/ApplicationChannel.h"
#include "CoreSystem/SharedData/Conf.h"

namespace CoreSystem {

/// Name of the non-volatile memory application whose actions 0, 2 and 6 the manager requests.
inline constexpr const char* kNVMgrName = "NVMgr";

/// The actions map of a record laid out for the lookup every received message makes: a table
/// indexed by the id's distance from the smallest id while the ids lie close together (as a
/// configuration numbers them), else the pairs sorted by id.
class ActionIndex {
public:
    /// Rebuilds the index from `actions` (system-wide id -> local number).
    void build(const std::map<std::uint32_t, std::uint32_t>& actions);
    /// The local number of `id`, or `id` itself when the map does not list it.
    std::uint32_t translate(std::uint32_t id) const {
        const std::uint32_t offset = id - first_;
        if (offset < dense_.size()) return dense_[offset].listed ? dense_[offset].local : id;
        return sparse_.empty() ? id : translateSparse(id);
    }
    /// Number of actions indexed.
    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::uint32_t local;
        bool listed;
    };
    std::uint32_t translateSparse(std::uint32_t id) const;

    std::uint32_t first_ = 0;
    std::vector<Slot> dense_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sparse_;
    std::size_t size_ = 0;
};

/// The translation tables of one application entry of the configuration.
struct ApplicationRecord {
    std::map<std::uint32_t, std::uint32_t> actions;  ///< system-wide action id -> local action number
    ActionIndex actionIndex;                         ///< `actions` for receiving, built by the scan
    std::map<int, std::uint32_t> events;             ///< local event number -> system-wide event id
    std::map<int, int> reservedStrings;              ///< local number -> system-wide string id
    std::map<int, int> variables;                    ///< local number -> system-wide variable id
    std::uint8_t* applicationReference = nullptr;    ///< the entry's reference record, or none
};

/// Application key (channel index of the entry's "<name>Action" endpoint, -1 without endpoint)
/// -> its record. A later entry with the same key replaces (and frees) the earlier record.
using ApplicationRecords = std::map<int, std::unique_ptr<ApplicationRecord>>;

/// What a configuration scan found for one application name.
struct ApplicationTables {
    ApplicationRecords applications;
    int ownKey = -1;  ///< key of the first matching entry; -1 for none or without endpoint
    /// System-wide ids of "NVMgr"'s actions with local numbers 0, 2 and 6; none when the
    /// configuration does not give them.
    std::optional<std::uint32_t> nvmgrAction0, nvmgrAction2, nvmgrAction6;

    /// The record under `key` (a negative key means the own key), or null.
    const ApplicationRecord* find(int key) const;
    /// The local action number of `id` for a frame that arrived at `channelIndex`; `id` itself
    /// when no record of that index lists it.
    std::uint32_t translateAction(int channelIndex, std::uint32_t id) const;
};

/// Scans the application list of the configuration image at `imageBase` (an image that passed
/// the image check; null gives no entries) for entries named `name`. Unless `withoutEndpoint`,
/// `openEndpoint("<name>Action")` opens each matching entry's endpoint and gives its key.
ApplicationTables ScanConfiguration(void* imageBase, const std::string& name, bool withoutEndpoint,
                                    const std::function<int(const std::string&)>& openEndpoint);

/// Reserved-string record id -> string id of every reserved string of the image at `imageBase`,
/// in list order, first wins; empty for null.
std::map<int, int> ReservedStringsOf(void* imageBase);

/// The process-wide map of reserved-string record ids to string ids of the opened configuration
/// image. Filled once, under a lock, from the first call that finds entries; until then (image
/// not opened, no reserved strings) it is empty and the next call scans again. Once filled it
/// never changes, so readers need no lock.
const std::map<int, int>& reservedStringMap();

/// The object an application process creates once under its own name.
///
/// Keyed operations take an application key; a negative key means the own key. Unknown keys and
/// local numbers are ignored (readers give an empty string or -1). The tables are fixed when the
/// constructor returns; from then on any thread may read them. Receiving shares the process's
/// receive scratch buffer (see ApplicationChannel).
class ApplicationManager : public ApplicationChannel {
public:
    /// Opens the variables database (a process without "/DBSHM" ends there with status 1), the
    /// configuration image (waits for its loader) and the shared lists, then scans the
    /// configuration for `name` and, unless `withoutEndpoint`, opens "<name>Action".
    ApplicationManager(const std::string& name, bool pollingMode, bool withoutEndpoint);
    ~ApplicationManager() override;

    /// The next message with its action id translated to the local action number, or null.
    ApplicationMessage* receive() override;
    /// Sends the message to the own "<name>Action" endpoint (refused without one).
    void sendToSelf(ApplicationMessage& message);
    /// Posts the system-wide event id of `localEvent` to "CCMEvent", in `message` (whose id
    /// becomes that id) or alone.
    void postApplicationEvent(int localEvent, ApplicationMessage& message, int key = -1);
    void postApplicationEvent(int localEvent, int key = -1);
    /// Rewrites the arrays in place to the known variables (system-wide ids, values converted to
    /// the variables' types; unknown local ids are dropped) and writes them with one database call.
    /// Returns how many were written.
    unsigned setLocalVariables(unsigned count, int* localIds, double* values, int key = -1);
    void setLocalVariable(int localId, double value, int key = -1);
    /// The reserved string the variable's current value selects; empty when there is none.
    std::string variableText(int localId, int key = -1);
    /// Writes the text of a reserved string, in the current culture or (allCultures != 0) all.
    void setReservedString(int localId, const std::string& text, int allCultures, int key = -1);
    /// The system-wide string id of a reserved string, or -1.
    int reservedStringId(int localId, int key = -1) const;
    /// The text of a reserved string in the current culture when its change counter differs
    /// from `knownCounter`; otherwise empty.
    std::string reservedStringText(int localId, int knownCounter, int key = -1);
    /// Points `accessor` at the application's reference record; nothing without a record.
    void bindApplicationRecord(conf::Conf& accessor, int key = -1);
    /// Requests to "NVMgrAction": an 8-byte message with NVMgr's action id 0, 2 or 6 and the
    /// argument word (0 for action 2). False, with nothing sent, when the configuration does not
    /// give that action id or the message layer refused it.
    bool postNVMgrAction0(std::uint32_t argument);
    bool postNVMgrAction2();
    bool postNVMgrAction6(std::uint32_t argument);

    int ownKey() const { return tables_.ownKey; }
    const ApplicationTables& tables() const { return tables_; }
    void* imageBase() const { return imageBase_; }

private:
    bool postNVMgrAction(const std::optional<std::uint32_t>& id, std::uint32_t argument);

    conf::ConfigurationRoot root_;
    conf::ProgrammingConfiguration programming_;
    void* imageBase_ = nullptr;
    ApplicationTables tables_;
    std::atomic<int> nvmgrChannelIndex_{-1};  ///< resolved on the first request that finds it
};

}  // namespace CoreSystem
