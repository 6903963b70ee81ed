// The variables table: conversions, timed validity and change detection under the table mutex,
// and the enumerated values of the variables' definitions.
#include "CoreSystem/SharedData/DatabaseTable.h"

#include <cmath>
#include <limits>

#include "CoreSystem/SharedData/Conf.h"

namespace CoreSystem {

namespace {

/// The smallest double that single precision rounds to infinity (FLT_MAX plus half its ulp).
constexpr double kFloatOverflow = 0x1.ffffffp+127;
constexpr std::uint32_t kNoText = 0xFFFFFFFFu;

bool HasEntry(std::int32_t id) {
    return id >= 1 && id < kVariableEntries;
}

/// Truncation toward zero into signed 32 bits, saturated, NaN giving 0 (the target's conversion).
std::int32_t SaturateToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

/// `value` as an unsigned 32-bit table value, when it is one: never for a negative, NaN or too
/// large value (those match no entry).
bool AsTableValue(double value, std::uint32_t& out) {
    if (!(value >= 0.0 && value < 4294967296.0)) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

std::uint32_t EntryValue(const std::uint8_t* entry) {
    return conf::ReadWord(entry + 8);
}
std::uint32_t EntryText(const std::uint8_t* entry) {
    return conf::ReadWord(entry + 12);
}

}  // namespace

double ConvertToStorage(std::int32_t type, double value) {
    switch (type) {
        case kStoreFloat:
            if (value >= kFloatOverflow) return std::numeric_limits<float>::infinity();
            if (value <= -kFloatOverflow) return -std::numeric_limits<float>::infinity();
            return static_cast<float>(value);
        case kStoreInt32:
            return SaturateToInt32(value);
        case kStoreInt16:
            return static_cast<std::int16_t>(static_cast<std::uint16_t>(SaturateToInt32(value) & 0xFFFF));
        case kStoreInt8:
            return static_cast<std::int8_t>(static_cast<std::uint8_t>(SaturateToInt32(value) & 0xFF));
        default:
            return value;
    }
}

/// The time of one operation: read from the clock once, when first needed.
struct DatabaseTable::Now {
    std::uint64_t ms = 0;
    bool known = false;
    std::uint64_t operator()(const Clock& clock) {
        if (!known) ms = clock(), known = true;
        return ms;
    }
};

/// Holds the table mutex; `held` is false when it could not be taken (nothing is touched then).
class DatabaseTable::Hold {
public:
    explicit Hold(DatabaseLayout* table) : table_(table), held(table && table->mutex.lock() == 0) {}
    /// For an operation on `id`: a timed variable's time is read before the mutex is taken, so
    /// that an uncontended hold never spans a clock read; after a wait it is read again.
    Hold(DatabaseLayout* table, std::int32_t id, const Clock& clock, Now& now)
        : table_(table), held(table && take(table, id, clock, now)) {}
    ~Hold() {
        if (held) table_->mutex.unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    static bool take(DatabaseLayout* table, std::int32_t id, const Clock& clock, Now& now) {
        // The owner sets the flag at creation and clients never change it: read without the mutex.
        if (__atomic_load_n(&table->variables[id].noTimeout, __ATOMIC_RELAXED) == 0) now(clock);
        if (table->mutex.trylock() == 0) return true;
        now.known = false;
        return table->mutex.lock() == 0;
    }

    DatabaseLayout* table_;

public:
    const bool held;
};

DatabaseTable::DatabaseTable(DatabaseLayout* table, void* image, Clock clock)
    : table_(table), image_(static_cast<const std::uint8_t*>(image)), clock_(std::move(clock)) {
    if (!image_) return;
    conf::ConfigurationRoot root;
    root.attachImage(image);
    conf::ProgrammingConfiguration programming(image, root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    const conf::Offset list = programming.word(conf::ProgrammingConfiguration::kVariables);
    variables_ = programming.resolve(list);
    variableCount_ = variables_ ? programming.listCount(list) : 0;
}

bool DatabaseTable::timedValid(VariableEntry& e, Now& now) {
    if (e.noTimeout != 0) return true;
    if (e.validUntil != 0 && e.validUntil >= now(clock_)) return true;
    e.validUntil = 0;
    return false;
}

int DatabaseTable::get(std::int32_t id, double& value, std::uint64_t* lastChange) {
    value = 0;
    if (!HasEntry(id)) return 0;
    Now now;
    Hold hold(table_, id, clock_, now);
    if (!hold.held) return 0;
    VariableEntry& e = table_->variables[id];
    if (lastChange) *lastChange = e.lastChange;
    if (!timedValid(e, now)) return 0;
    value = e.value;
    return 1;
}

void DatabaseTable::getMany(int n, const std::int32_t* ids, double* values, std::uint8_t* valid) {
    if (n <= 0) return;
    for (int k = 0; k < n; ++k) {
        values[k] = 0;
        if (valid) valid[k] = 0;
    }
    Hold hold(table_);
    if (!hold.held) return;
    Now now;
    for (int k = 0; k < n; ++k) {
        if (!HasEntry(ids[k])) continue;
        VariableEntry& e = table_->variables[ids[k]];
        if (!timedValid(e, now)) continue;
        values[k] = e.value;
        if (valid) valid[k] = 1;
    }
}

inline std::uint32_t DatabaseTable::setLocked(std::int32_t id, double& value, Now& now) {
    VariableEntry& e = table_->variables[id];
    const bool changed = e.value != value;  // decided before the conversion
    if (changed) {
        value = ConvertToStorage(e.type, value);
        e.lastChange = now(clock_);
        e.value = value;
    }
    bool notify = changed;
    if (e.noTimeout == 0) {
        if (e.validUntil < now(clock_)) notify = true;  // it comes back to life
        e.validUntil = now(clock_) + e.timeoutMs;
    }
    return notify ? e.eventCode : 0;
}

std::uint32_t DatabaseTable::set(std::int32_t id, double value) {
    if (!HasEntry(id)) return 0;
    Now now;
    Hold hold(table_, id, clock_, now);
    return hold.held ? setLocked(id, value, now) : 0;
}

void DatabaseTable::setMany(int n, const std::int32_t* ids, double* values, std::vector<std::uint32_t>& events) {
    if (n <= 0) return;
    Hold hold(table_);
    if (!hold.held) return;
    Now now;
    for (int k = 0; k < n; ++k) {
        if (!HasEntry(ids[k])) continue;
        if (const std::uint32_t code = setLocked(ids[k], values[k], now)) events.push_back(code);
    }
}

int DatabaseTable::hasTimeout(std::int32_t id) {
    if (!HasEntry(id)) return 0;
    Hold hold(table_);
    return hold.held && table_->variables[id].noTimeout == 0 ? 1 : 0;
}

void DatabaseTable::invalidate(int n, const std::int32_t* ids) {
    if (n <= 0) return;
    Hold hold(table_);
    if (!hold.held) return;
    for (int k = 0; k < n; ++k) {
        if (HasEntry(ids[k])) table_->variables[ids[k]].validUntil = 0;
    }
}

bool DatabaseTable::entry(std::int32_t id, VariableEntry& out) {
    if (!HasEntry(id)) return false;
    Hold hold(table_);
    if (!hold.held) return false;
    out = table_->variables[id];
    return true;
}

DatabaseTable::ValueTable DatabaseTable::valueTable(std::int32_t id) const {
    if (!variables_ || id < 1 || static_cast<std::uint32_t>(id) > variableCount_) return {};
    conf::Variable definition;
    definition.setBase(const_cast<std::uint8_t*>(image_));
    const conf::Offset list = static_cast<conf::Offset>(variables_ - image_);
    definition.setRecord(definition.listElementAt(list, static_cast<std::uint32_t>(id - 1)));
    const conf::Offset table = definition.word(conf::Variable::kValueTable);
    const std::uint8_t* record = definition.resolve(table);
    if (!record) return {};
    return {record + conf::kListHeaderBytes, conf::ReadWord(record + 4) / conf::Variable::kValueEntryBytes};
}

namespace {

/// The text of the first entry of `values` that `equal` accepts: 1 and `textId` when that entry
/// has one; 0 when it has none or no entry is accepted.
template <typename Equal>
int FirstText(const std::uint8_t* entries, std::uint32_t count, Equal&& equal, std::uint32_t& textId) {
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint8_t* e = entries + conf::Variable::kValueEntryBytes * k;
        if (!equal(EntryValue(e))) continue;
        if (EntryText(e) == kNoText) return 0;
        textId = EntryText(e);
        return 1;
    }
    return 0;
}

}  // namespace

int DatabaseTable::valueTextId(std::int32_t id, std::uint32_t& textId) {
    const ValueTable values = valueTable(id);
    double current = 0;
    if (values.count == 0 || get(id, current) == 0) return 0;
    return FirstText(values.entries, values.count, [current](std::uint32_t v) { return v == current; }, textId);
}

int DatabaseTable::textIdForValue(std::int32_t id, double value, std::uint32_t& textId) {
    const ValueTable values = valueTable(id);
    std::uint32_t wanted = 0;
    if (values.count == 0 || !AsTableValue(value, wanted)) return 0;
    return FirstText(values.entries, values.count, [wanted](std::uint32_t v) { return v == wanted; }, textId);
}

std::uint32_t DatabaseTable::valueIndex(std::int32_t id, double value) {
    const ValueTable values = valueTable(id);
    for (std::uint32_t k = 0; k < values.count; ++k) {
        if (EntryValue(values.entries + conf::Variable::kValueEntryBytes * k) == value) return k;
    }
    return values.count;
}

int DatabaseTable::textIdAtIndex(std::int32_t id, std::uint32_t index, std::uint32_t& textId) {
    const ValueTable values = valueTable(id);
    if (index >= values.count) return 0;
    const std::uint32_t text = EntryText(values.entries + conf::Variable::kValueEntryBytes * index);
    if (text == kNoText) return 0;
    textId = text;
    return 1;
}

bool DatabaseTable::stepTarget(std::int32_t id, bool up, double& target) {
    const ValueTable values = valueTable(id);
    if (values.count < 2) return false;
    double current = 0;
    get(id, current);  // 0.0 when not valid
    std::uint32_t wanted = 0;
    if (up && !AsTableValue(current, wanted)) return false;
    for (std::uint32_t k = 0; k < values.count; ++k) {
        const std::uint32_t v = EntryValue(values.entries + conf::Variable::kValueEntryBytes * k);
        if (up ? v != wanted : v != current) continue;
        const std::uint32_t next = up ? (k + 1) % values.count : (k == 0 ? values.count - 1 : k - 1);
        target = EntryValue(values.entries + conf::Variable::kValueEntryBytes * next);
        return true;
    }
    return false;
}

}  // namespace CoreSystem
