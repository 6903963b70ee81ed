// The configuration description: JSON with fixed keys, read strictly (unknown keys, wrong types
// and numbers outside 32 bits are refused with the entry's name).
#include "ConfDescription.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "Command.h"

namespace Coresys {
namespace {

using nlohmann::json;

/// A refused entry; the message names it.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// One JSON value and the name of the entry it is ("variables[1].values[0].value").
class Entry {
public:
    Entry(const json& value, std::string name) : value_(value), name_(std::move(name)) {}

    [[noreturn]] void refuse(const std::string& problem) const {
        throw Refused((name_.empty() ? "description" : name_) + ": " + problem);
    }

    /// An object whose keys are all among `keys`.
    const Entry& object(std::initializer_list<const char*> keys) const {
        if (!value_.is_object()) refuse("expected an object");
        const std::set<std::string> known(keys.begin(), keys.end());
        for (const auto& item : value_.items()) {
            if (!known.count(item.key())) Entry(item.value(), child(item.key())).refuse("unknown key");
        }
        return *this;
    }
    bool has(const char* key) const { return value_.contains(key) && !value_.at(key).is_null(); }
    Entry at(const char* key) const {
        if (!has(key)) Entry(json(), child(key)).refuse("missing");
        return Entry(value_.at(key), child(key));
    }

    std::uint32_t u32() const {
        if (!value_.is_number_integer() ||
            (value_.is_number_integer() && !value_.is_number_unsigned() && value_.get<std::int64_t>() < 0)) {
            refuse("expected an unsigned 32-bit number");
        }
        const std::uint64_t number = value_.get<std::uint64_t>();
        if (number > 0xFFFFFFFFu) refuse("expected an unsigned 32-bit number");
        return static_cast<std::uint32_t>(number);
    }
    std::uint32_t u32(const char* key, std::uint32_t otherwise) const {
        return has(key) ? at(key).u32() : otherwise;
    }
    std::optional<std::uint32_t> optionalU32(const char* key) const {
        return has(key) ? std::optional<std::uint32_t>(at(key).u32()) : std::nullopt;
    }
    std::string text() const {
        if (!value_.is_string()) refuse("expected a string");
        return value_.get<std::string>();
    }
    bool boolean(const char* key) const {
        if (!has(key)) return false;
        if (!value_.at(key).is_boolean()) at(key).refuse("expected true or false");
        return value_.at(key).get<bool>();
    }
    /// Each element of the array at `key` (none when absent), handed to `read`.
    template <typename Read>
    void each(const char* key, Read&& read) const {
        if (!has(key)) return;
        const Entry list = at(key);
        if (!list.value_.is_array()) list.refuse("expected an array");
        for (std::size_t i = 0; i < list.value_.size(); ++i) {
            read(Entry(list.value_[i], list.name_ + "[" + std::to_string(i) + "]"));
        }
    }

private:
    std::string child(const std::string& key) const { return name_.empty() ? key : name_ + "." + key; }

    const json& value_;
    std::string name_;
};

std::vector<conf::ImageDescription::Pair> Pairs(const Entry& app, const char* key) {
    std::vector<conf::ImageDescription::Pair> pairs;
    app.each(key, [&](const Entry& e) {
        e.object({"local", "id"});
        pairs.push_back({e.at("local").u32(), e.at("id").u32()});
    });
    return pairs;
}

void Read(const Entry& top, conf::ImageDescription& d) {
    top.object(
        {"cultures", "currentCulture", "strings", "reservedStrings", "variables", "lists", "applications"});
    top.each("cultures", [&](const Entry& e) { d.cultures.push_back(e.text()); });
    d.currentCulture = top.u32("currentCulture", 0);
    top.each("strings", [&](const Entry& e) {
        e.object({"capacity", "texts"});
        conf::ImageDescription::String string{e.at("capacity").u32(), {}};
        e.each("texts", [&](const Entry& t) { string.texts.push_back(t.text()); });
        d.strings.push_back(std::move(string));
    });
    top.each("reservedStrings", [&](const Entry& e) {
        e.object({"stringId", "eventCode"});
        d.reservedStrings.push_back({e.at("stringId").u32(), e.u32("eventCode", 0)});
    });
    top.each("variables", [&](const Entry& e) {
        e.object({"name", "type", "eventCode", "timeoutMs", "values"});
        conf::ImageDescription::Variable variable{
            e.at("name").text(), e.at("type").text(), e.u32("eventCode", 0), e.optionalU32("timeoutMs"), {}};
        e.each("values", [&](const Entry& v) {
            v.object({"value", "stringId"});
            variable.values.push_back({v.at("value").u32(), v.optionalU32("stringId")});
        });
        d.variables.push_back(std::move(variable));
    });
    top.each("lists", [&](const Entry& e) {
        e.object({"id", "capacity", "elementSize", "storage", "definition"});
        conf::ImageDescription::List list{
            e.at("id").u32(), e.at("capacity").u32(), e.at("elementSize").u32(), e.u32("storage", 0), {}};
        if (e.has("definition")) {
            std::string bytes;
            if (auto reason = ParseHex(e.at("definition").text(), bytes)) e.at("definition").refuse(*reason);
            list.definition.assign(bytes.begin(), bytes.end());
        }
        d.lists.push_back(std::move(list));
    });
    top.each("applications", [&](const Entry& e) {
        e.object({"name", "actions", "events", "variables", "reservedStrings", "reference"});
        d.applications.push_back({e.at("name").text(), Pairs(e, "actions"), Pairs(e, "events"),
                                  Pairs(e, "variables"), Pairs(e, "reservedStrings"),
                                  e.boolean("reference")});
    });
}

}  // namespace

std::optional<std::string> ParseDescription(const std::string& text, conf::ImageDescription& description) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        return std::string("not JSON: ") + e.what();
    }
    try {
        description = {};
        Read(Entry(document, ""), description);
    } catch (const Refused& refused) {
        return std::string(refused.what());
    }
    return std::nullopt;
}

std::string ReadWholeFile(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(kExitFailure, path + ": cannot open: " + std::strerror(errno));
    std::string bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > limit)
            Fail(kExitFailure, path + ": larger than " + std::to_string(limit) + " bytes");
    }
    if (in.bad()) Fail(kExitFailure, path + ": cannot read");
    return bytes;
}

conf::ImageDescription LoadDescription(const std::string& path) {
    conf::ImageDescription description;
    if (auto reason = ParseDescription(ReadWholeFile(path), description))
        Fail(kExitFailure, path + ": " + *reason);
    return description;
}

}  // namespace Coresys
