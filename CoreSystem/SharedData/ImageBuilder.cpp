// The image builder: lays the records of a description out in one image, the root first, each
// list before its elements, references as byte offsets from the image start.
#include "CoreSystem/SharedData/ImageBuilder.h"

#include <algorithm>

namespace conf {
namespace {

constexpr std::uint64_t kMaximumImageBytes = 256ull << 20;

/// A description the builder cannot represent; caught by BuildImage.
struct Refused {
    std::string message;
};

std::string Entry(const char* group, std::size_t index) {
    return std::string(group) + "[" + std::to_string(index) + "]";
}

/// The image under construction. Fixed-size records get record ids from 50000 in image order.
class Writer {
public:
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kRootOffset);

    /// Appends `size` zero bytes (rounded up to 4) and returns their offset.
    Offset append(std::uint64_t size) {
        const std::uint64_t at = bytes.size();
        size = (size + 3) & ~std::uint64_t{3};
        if (at + size > kMaximumImageBytes) {
            throw Refused{"the image would exceed " + std::to_string(kMaximumImageBytes >> 20) + " MiB"};
        }
        bytes.resize(at + size);
        return static_cast<Offset>(at);
    }
    void put(Offset record, unsigned word, std::uint32_t value) {
        WriteWord(&bytes[record + 4 * word], value);
    }

    Offset record(const RecordLayout& kind) {
        const Offset at = append(kind.bytes);
        put(at, 0, kind.tag);
        if (kind.recordId) put(at, 1, nextId_++);
        return at;
    }
    /// A list record with a payload of `length` bytes.
    Offset list(std::uint64_t length) {
        const Offset at = append(kListHeaderBytes + length);
        put(at, 0, kListTag);
        put(at, 1, static_cast<std::uint32_t>(length));
        return at;
    }
    /// A list record holding `text` and its NUL in a payload of `capacity` bytes (none: just enough).
    Offset text(const std::string& text, std::optional<std::uint64_t> capacity = std::nullopt) {
        const Offset at = list(capacity.value_or(text.size() + 1));
        std::copy(text.begin(), text.end(), bytes.begin() + at + kListHeaderBytes);
        return at;
    }
    /// A table of `count` offsets, filled by `element`(k) after the table is placed.
    template <typename Element>
    Offset table(std::size_t count, Element&& element) {
        const Offset at = list(4ull * count);
        for (std::size_t k = 0; k < count; ++k) put(at, 2 + static_cast<unsigned>(k), element(k));
        return at;
    }

private:
    std::uint32_t nextId_ = kFirstRecordId;
};

void CheckText(const std::string& text, std::uint32_t capacity, const std::string& entry) {
    if (text.find('\0') != std::string::npos) throw Refused{entry + ": the text holds a NUL byte"};
    if (text.size() + 1 > capacity && !(text.empty() && capacity == 0)) {
        throw Refused{entry + ": \"" + text + "\" needs " + std::to_string(text.size() + 1) +
                      " bytes with its NUL, more than the capacity " + std::to_string(capacity)};
    }
}

void CheckId(std::uint32_t id, std::size_t first, std::size_t count, const char* kind,
             const std::string& entry) {
    if (id < first || id >= first + count) {
        throw Refused{entry + ": " + kind + " " + std::to_string(id) + " is not in the description (" +
                      std::to_string(count) + " " + kind + "s)"};
    }
}

void CheckDescription(const ImageDescription& d) {
    const std::size_t cultures = d.cultures.size();
    if (d.currentCulture >= std::max<std::size_t>(cultures, 1)) {
        throw Refused{"currentCulture: " + std::to_string(d.currentCulture) + " is not below the " +
                      std::to_string(cultures) + " cultures"};
    }
    for (std::size_t s = 0; s < d.strings.size(); ++s) {
        const auto& texts = d.strings[s].texts;
        if (texts.size() > cultures) {
            throw Refused{Entry("strings", s) + ".texts: culture index " + std::to_string(texts.size() - 1) +
                          " is out of range (" + std::to_string(cultures) + " cultures)"};
        }
        if (d.strings[s].capacity > (16u << 20))
            throw Refused{Entry("strings", s) + ": capacity above 16 MiB"};
        for (std::size_t c = 0; c < texts.size(); ++c) {
            CheckText(texts[c], d.strings[s].capacity, Entry((Entry("strings", s) + ".texts").c_str(), c));
        }
    }
    for (std::size_t r = 0; r < d.reservedStrings.size(); ++r) {
        CheckId(d.reservedStrings[r].stringId, 0, d.strings.size(), "string", Entry("reservedStrings", r));
    }
    for (std::size_t v = 0; v < d.variables.size(); ++v) {
        const auto& variable = d.variables[v];
        if (!VariableTypeCode(variable.type)) {
            throw Refused{Entry("variables", v) + ": unknown type \"" + variable.type +
                          "\" (f64 f32 i32 i16 i8)"};
        }
        for (std::size_t k = 0; k < variable.values.size(); ++k) {
            if (variable.values[k].stringId) {
                CheckId(*variable.values[k].stringId, 0, d.strings.size(), "string",
                        Entry((Entry("variables", v) + ".values").c_str(), k));
            }
        }
    }
    for (std::size_t a = 0; a < d.applications.size(); ++a) {
        const auto& app = d.applications[a];
        const std::string entry = Entry("applications", a);
        for (std::size_t k = 0; k < app.variables.size(); ++k) {
            CheckId(app.variables[k].id, 1, d.variables.size(), "variable",
                    Entry((entry + ".variables").c_str(), k));
        }
        for (std::size_t k = 0; k < app.reservedStrings.size(); ++k) {
            CheckId(app.reservedStrings[k].id, 0, d.strings.size(), "string",
                    Entry((entry + ".reservedStrings").c_str(), k));
        }
    }
}

/// A table of application records of `kind` (action, event, variable, reserved string): word 2
/// the system-wide id (word 1 for actions), word 4 the local number, references none.
Offset Pairs(Writer& w, const std::vector<ImageDescription::Pair>& pairs, const RecordLayout& kind) {
    return w.table(pairs.size(), [&](std::size_t k) {
        const Offset at = w.record(kind);
        w.put(at, &kind == &Layout::ApplicationAction ? unsigned{ApplicationAction::kActionId} : 2u,
              pairs[k].id);
        for (unsigned word = 2; word < 4; ++word) {
            if (kind.references & (1u << word)) w.put(at, word, kNoOffset);
        }
        w.put(at, 4, pairs[k].local);
        return at;
    });
}

void Build(const ImageDescription& d, Writer& w) {
    const Offset root = w.record(Layout::ConfigurationRoot);
    const Offset p = w.record(Layout::ProgrammingConfiguration);
    const Offset cr = w.record(Layout::ConfCultureRootClass);
    const Offset rd = w.record(Layout::ConfCultureRuntimeData);
    w.put(root, ConfigurationRoot::kProgrammingConfiguration, p);
    w.put(root, ConfigurationRoot::kCultureRoot, cr);

    // Culture strings: counters (all 1: a reader passes 0 at first), then the slots string-major.
    const std::size_t cultures = d.cultures.size();
    w.put(cr, ConfCultureRootClass::kCultureCount, static_cast<std::uint32_t>(cultures));
    w.put(cr, ConfCultureRootClass::kRuntimeData, rd);
    w.put(rd, ConfCultureRuntimeData::kCurrentCulture, d.currentCulture);
    w.put(rd, ConfCultureRuntimeData::kCounterList,
          w.table(d.strings.size(), [](std::size_t) { return 1u; }));
    w.put(cr, ConfCultureRootClass::kStringList, w.table(d.strings.size() * cultures, [&](std::size_t i) {
        const auto& string = d.strings[i / cultures];
        const std::size_t c = i % cultures;
        return w.text(c < string.texts.size() ? string.texts[c] : std::string(), string.capacity);
    }));

    w.put(p, ProgrammingConfiguration::kReservedStrings,
          w.table(d.reservedStrings.size(), [&](std::size_t r) {
              const Offset at = w.record(Layout::ReservedString);
              w.put(at, ReservedString::kEventCode, d.reservedStrings[r].eventCode);
              w.put(at, ReservedString::kStringId, d.reservedStrings[r].stringId);
              w.put(at, 5, kNoOffset);
              w.put(at, 6, kNoOffset);
              return at;
          }));

    // Variables: word 2 id, 3 storage type, 4 event code, 5 timeout (0xFFFFFFFF: never expires),
    // 8 value table (none without values), 9 name.
    w.put(p, ProgrammingConfiguration::kVariables, w.table(d.variables.size(), [&](std::size_t v) {
        const auto& variable = d.variables[v];
        const Offset at = w.record(Layout::Variable);
        w.put(at, 2, static_cast<std::uint32_t>(v + 1));
        w.put(at, 3, *VariableTypeCode(variable.type));
        w.put(at, 4, variable.eventCode);
        w.put(at, 5, variable.timeoutMs.value_or(kNoOffset));
        w.put(at, Variable::kName, w.text(variable.name));
        Offset values = kNoOffset;
        if (!variable.values.empty()) {
            values = w.list(Variable::kValueEntryBytes * variable.values.size());
            for (std::size_t k = 0; k < variable.values.size(); ++k) {
                const std::size_t entry = values + kListHeaderBytes + Variable::kValueEntryBytes * k;
                WriteWord(&w.bytes[entry + 8], variable.values[k].value);
                WriteWord(&w.bytes[entry + 12], variable.values[k].stringId.value_or(kNoOffset));
            }
        }
        w.put(at, Variable::kValueTable, values);
        return at;
    }));

    w.put(p, ProgrammingConfiguration::kListDefinitions, w.table(d.lists.size(), [&](std::size_t l) {
        const auto& list = d.lists[l];
        const Offset at = w.record(Layout::ListDefinition);
        w.put(at, ListDefinition::kListId, list.id);
        w.put(at, ListDefinition::kCapacity, list.capacity);
        w.put(at, ListDefinition::kElementSize, list.elementSize);
        w.put(at, ListDefinition::kStorage, list.storage);
        const Offset blob = w.list(list.definition.size());
        std::copy(list.definition.begin(), list.definition.end(), w.bytes.begin() + blob + kListHeaderBytes);
        w.put(at, ListDefinition::kBlob, blob);
        return at;
    }));

    // Applications: word 7 is 0 without a reference (the application manager's "none").
    w.put(p, ProgrammingConfiguration::kApplications, w.table(d.applications.size(), [&](std::size_t a) {
        const auto& app = d.applications[a];
        const Offset at = w.record(Layout::ApplicationInformation);
        w.put(at, ApplicationInformation::kName, w.text(app.name));
        w.put(at, ApplicationInformation::kActions, Pairs(w, app.actions, Layout::ApplicationAction));
        w.put(at, ApplicationInformation::kVariables, Pairs(w, app.variables, Layout::ApplicationVariable));
        w.put(at, ApplicationInformation::kEvents, Pairs(w, app.events, Layout::ApplicationEvent));
        w.put(at, ApplicationInformation::kReservedStrings,
              Pairs(w, app.reservedStrings, Layout::ApplicationReservedString));
        w.put(at, ApplicationInformation::kReference, app.reference ? at : 0);
        return at;
    }));

    WriteWord(&w.bytes[0], kImageMagic);
    WriteWord(&w.bytes[4], static_cast<std::uint32_t>(w.bytes.size()));
}

}  // namespace

std::optional<std::uint32_t> VariableTypeCode(const std::string& type) {
    static const std::pair<const char*, std::uint32_t> kTypes[] = {
        {"f64", 0}, {"f32", 8}, {"i32", 12}, {"i16", 16}, {"i8", 20}};
    for (const auto& [name, code] : kTypes) {
        if (type == name) return code;
    }
    return std::nullopt;
}

bool BuildImage(const ImageDescription& description, std::vector<std::uint8_t>& image, std::string& error) {
    try {
        CheckDescription(description);
        Writer writer;
        Build(description, writer);
        image = std::move(writer.bytes);
        return true;
    } catch (const Refused& refused) {
        error = refused.message;
        return false;
    }
}

}  // namespace conf
