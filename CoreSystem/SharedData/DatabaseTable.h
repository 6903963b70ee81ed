// The shared variables database "/DBSHM": its byte layout, the storage conversions, and the table
// logic over a mapped table, a configuration image and a clock given as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "CoreSystem/Platform/ProcessSync.h"

namespace CoreSystem {

/// Name of the shared-memory object that holds the table.
inline constexpr const char* kDatabaseObject = "/DBSHM";

/// Storage type codes of a variable entry; any other code stores a double.
enum : std::int32_t { kStoreFloat = 8, kStoreInt32 = 12, kStoreInt16 = 16, kStoreInt8 = 20 };

/// One variable (48 bytes): the entry of variable id v is entry v of the table.
struct VariableEntry {
    std::int32_t type;         ///< storage type (see above)
    std::uint32_t unused0;     ///< not used by the framework
    double value;              ///< current value, already converted to the storage type
    std::uint64_t validUntil;  ///< monotonic ms; 0: not valid
    std::uint64_t lastChange;  ///< monotonic ms of the last change of the value
    std::uint32_t eventCode;   ///< sent to "CCMEvent" on a change or a revival; 0: none
    std::uint32_t unused1;     ///< not used by the framework
    std::uint32_t noTimeout;   ///< non-zero: the value never expires
    std::uint32_t timeoutMs;   ///< validity of a written value of a timed variable
};
static_assert(sizeof(VariableEntry) == 48);
static_assert(offsetof(VariableEntry, value) == 8 && offsetof(VariableEntry, validUntil) == 16 &&
              offsetof(VariableEntry, lastChange) == 24 && offsetof(VariableEntry, eventCode) == 32 &&
              offsetof(VariableEntry, noTimeout) == 40 && offsetof(VariableEntry, timeoutMs) == 44);

/// Bytes of a name, its NUL included.
inline constexpr std::size_t kVariableNameBytes = 128;

/// One name (132 bytes): a variable id and its NUL-terminated name (empty when byte 0 is 0).
struct NameEntry {
    std::int32_t id;
    char name[kVariableNameBytes];
};
static_assert(sizeof(NameEntry) == 132 && offsetof(NameEntry, name) == 4);

/// Entries of each kind; variable ids with an entry are 1 .. kVariableEntries - 1.
inline constexpr std::int32_t kVariableEntries = 10000;
/// Ids the getters and setters accept at all; those from kVariableEntries upward have no entry.
inline constexpr std::int32_t kLargestVariableId = 32767;

/// The whole object, 1800032 bytes, little-endian.
struct DatabaseLayout {
    Platform::ProcessMutex mutex;  ///< the table mutex, process-shared; guards every variable entry
    std::int32_t ownerChannel;     ///< channel id of the owner (flags _NTO_CHF_FIXED_PRIORITY)
    std::int32_t ownerPid;
    std::uint8_t reserved[12];     ///< zero at creation
    std::int32_t lastNameIndex;    ///< N: name entries 0 .. N are in use
    VariableEntry variables[kVariableEntries];  ///< entry 0 is not used
    NameEntry names[kVariableEntries];
};
static_assert(sizeof(DatabaseLayout) == 1800032);
static_assert(offsetof(DatabaseLayout, ownerChannel) == 8 && offsetof(DatabaseLayout, ownerPid) == 12 &&
              offsetof(DatabaseLayout, reserved) == 16 && offsetof(DatabaseLayout, lastNameIndex) == 28 &&
              offsetof(DatabaseLayout, variables) == 32 && offsetof(DatabaseLayout, names) == 480032);

/// `value` converted to storage type `type`: single precision (a value beyond float's range
/// becomes an infinity of its sign), signed 32-bit truncated toward zero and saturated (NaN: 0),
/// and the low 16 or 8 bits of that as a signed number, as the target's conversions compute them.
double ConvertToStorage(std::int32_t type, double value);

/// The table logic over one mapped table. Every operation takes the table mutex for its whole
/// work (a bulk operation once); none sends anything: the setters return the event codes to send,
/// which the caller sends after they return, in order. Ids outside 1 .. 9999 are ignored (getters
/// report not valid). Enumerated-value operations read the variables' definitions in `image`
/// (which passed conf::CheckImage); without an image they return 0.
class DatabaseTable {
public:
    /// Milliseconds of the monotonic clock (tests pass one they move).
    using Clock = std::function<std::uint64_t()>;

    DatabaseTable() = default;
    DatabaseTable(DatabaseLayout* table, void* image, Clock clock);

    DatabaseLayout* table() const { return table_; }
    /// Number of variables defined in the image (0 without one).
    std::uint32_t variableCount() const { return variableCount_; }

    /// 1 and the value when id is valid, else 0 and `value` 0; `lastChange` gets the entry's
    /// time of last change for any id that has an entry. An expired timed value is cleared.
    int get(std::int32_t id, double& value, std::uint64_t* lastChange = nullptr);
    /// Zeroes `values` (and `valid`), then fills the valid ones under one hold of the mutex.
    void getMany(int n, const std::int32_t* ids, double* values, std::uint8_t* valid);
    /// Stores `value` (converted); returns the event code to send, or 0 for none.
    std::uint32_t set(std::int32_t id, double value);
    /// Stores each value under one hold, writes the converted values back into `values` and
    /// appends the event codes to send, in input order, to `events`.
    void setMany(int n, const std::int32_t* ids, double* values, std::vector<std::uint32_t>& events);
    /// 1 for a timed variable (no-timeout flag 0), else 0.
    int hasTimeout(std::int32_t id);
    /// Marks the values not valid.
    void invalidate(int n, const std::int32_t* ids);
    /// A copy of the entry of `id` taken under the mutex; false for an id without entry.
    bool entry(std::int32_t id, VariableEntry& out);

    // Enumerated values: the value table of the variable's definition in the image.
    int valueTextId(std::int32_t id, std::uint32_t& textId);
    int textIdForValue(std::int32_t id, double value, std::uint32_t& textId);
    std::uint32_t valueIndex(std::int32_t id, double value);
    int textIdAtIndex(std::int32_t id, std::uint32_t index, std::uint32_t& textId);
    /// The value a step down or up leads to from the current value; false when there is none.
    bool stepTarget(std::int32_t id, bool up, double& target);

private:
    class Hold;
    struct Now;
    struct ValueTable {
        const std::uint8_t* entries = nullptr;
        std::uint32_t count = 0;
    };
    /// The value table of `id`; empty without an image, definition or table.
    ValueTable valueTable(std::int32_t id) const;
    bool timedValid(VariableEntry& e, Now& now);
    std::uint32_t setLocked(std::int32_t id, double& value, Now& now);

    DatabaseLayout* table_ = nullptr;
    const std::uint8_t* image_ = nullptr;
    const std::uint8_t* variables_ = nullptr;  ///< the definitions' list record in the image
    std::uint32_t variableCount_ = 0;
    Clock clock_;
};

}  // namespace CoreSystem
