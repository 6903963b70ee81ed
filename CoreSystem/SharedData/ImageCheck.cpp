// The image check: a walk over what the framework follows from the root of a shared image, with
// bounds, tags and overlaps checked before any word of a record is read.
#include "CoreSystem/SharedData/ImageCheck.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace conf {
namespace {

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

constexpr std::uint64_t kNoIndex = ~std::uint64_t{0};

/// What was followed to reach a record ("action 1 of application 0"). Spelt out only for a
/// fault, so that a clean walk builds no text.
struct Name {
    const char* what;
    std::uint64_t index = kNoIndex;
    const Name* owner = nullptr;
    std::uint32_t cultures = 0;  ///< for a text slot: its index names a string and a culture

    std::string text() const {
        std::string text = what;
        if (index != kNoIndex) text += " " + std::to_string(index);
        if (cultures) {
            text += " (string " + std::to_string(index / cultures) + ", culture " +
                    std::to_string(index % cultures) + ")";
        }
        return owner ? text + " of " + owner->text() : text;
    }
};

/// One walk over one image. The first fault stops it.
class Checker {
public:
    Checker(const void* image, std::size_t size)
        : base_(static_cast<const std::uint8_t*>(image)), size_(size) {}

    std::optional<ImageFault> fault;

    /// Result of visiting a record: new (walk on), seen before (nothing more to do), or failed.
    enum class Visit { New, Seen, Failed };

    std::uint32_t word(Offset at, unsigned index) const { return ReadWord(base_ + at + 4 * index); }

    Visit fail(std::uint64_t at, const Name& name, const std::string& problem) {
        if (!fault) {
            fault = ImageFault{static_cast<Offset>(at),
                               name.text() + " at offset " + std::to_string(at) + ": " + problem};
        }
        return Visit::Failed;
    }
    bool refuse(std::uint64_t at, const Name& name, const std::string& problem) {
        fail(at, name, problem);
        return false;
    }

    bool inside(std::uint64_t at, std::uint64_t bytes) const { return at <= size_ && bytes <= size_ - at; }

    /// `bytes` at `at` lie inside the image on a word boundary.
    bool place(Offset at, std::uint64_t bytes, const Name& name) {
        if (at == kNoOffset) return refuse(at, name, "missing (0xFFFFFFFF)");
        if (at % 4 != 0) return refuse(at, name, "not on a 4-byte boundary");
        if (!inside(at, bytes)) {
            return refuse(at, name,
                          std::to_string(bytes) + " bytes do not fit in the image of " +
                              std::to_string(size_) + " bytes");
        }
        return true;
    }

    bool tagged(Offset at, std::uint32_t tag, const Name& name) {
        return word(at, 0) == tag || refuse(at, name, "tag " + Hex(word(at, 0)) + " instead of " + Hex(tag));
    }

    /// Claims [start, end) for the image's structure: the same range again is seen, a partial
    /// overlap with another claimed range is a fault (and stops the walk before it repeats).
    Visit claim(std::uint64_t start, std::uint64_t end, const Name& name) {
        // The walk follows a builder's layout order, so most claims start past all earlier ones.
        if (structure_.empty() || start >= std::prev(structure_.end())->second) {
            structure_.emplace_hint(structure_.end(), start, end);
            return Visit::New;
        }
        auto next = structure_.lower_bound(start);
        if (next != structure_.end() && next->first == start && next->second == end) return Visit::Seen;
        if (next != structure_.end() && next->first < end) {
            return fail(start, name, "overlaps the record at offset " + std::to_string(next->first));
        }
        if (next != structure_.begin() && std::prev(next)->second > start) {
            return fail(start, name,
                        "overlaps the record at offset " + std::to_string(std::prev(next)->first));
        }
        structure_.emplace_hint(next, start, end);
        return Visit::New;
    }

    /// A fixed-size record of `kind`; only its first `claimed` bytes belong to the structure.
    Visit record(Offset at, const RecordLayout& kind, const Name& name, std::uint32_t claimed = 0) {
        if (!place(at, kind.bytes, name) || !tagged(at, kind.tag, name)) return Visit::Failed;
        return claim(at, at + (claimed ? claimed : kind.bytes), name);
    }

    /// A list record; its payload length goes to `length`. With `table` its payload (a table of
    /// offsets) belongs to the structure, else only its header. 0xFFFFFFFF may stand for an empty
    /// list when `optional`.
    Visit list(Offset at, const Name& name, std::uint32_t& length, bool table, bool optional = true) {
        length = 0;
        if (at == kNoOffset && optional) return Visit::Seen;
        if (!place(at, kListHeaderBytes, name) || !tagged(at, kListTag, name)) return Visit::Failed;
        length = word(at, 1);
        if (!inside(std::uint64_t{at} + kListHeaderBytes, length)) {
            return fail(at, name,
                        "a payload of " + std::to_string(length) +
                            " bytes runs past the end of the image of " + std::to_string(size_) + " bytes");
        }
        return claim(at, std::uint64_t{at} + kListHeaderBytes + (table ? length : 0), name);
    }

    /// A list of records of `kind`, named `listName`, each named `element`: each new element
    /// is handed to `visit` with its name.
    bool elements(Offset at, const RecordLayout& kind, const Name& listName, const char* element,
                  const Name* owner, const std::function<bool(Offset, const Name&)>& visit = {}) {
        std::uint32_t length = 0;
        // A list seen before may have been checked as a list of another kind (or as the culture
        // string list): its elements are checked as `kind` all the same (seen records are cheap).
        if (list(at, listName, length, true) == Visit::Failed) return false;
        for (std::uint32_t k = 0; k < length / 4; ++k) {
            const Offset e = word(at, 2 + k);
            const Name name{element, k, owner};
            const Visit visited = record(e, kind, name);
            if (visited == Visit::Failed || (visited == Visit::New && visit && !visit(e, name))) return false;
        }
        return true;
    }

    /// Marks [start, start + bytes) as written by the framework at run time. `name` has no owner.
    void writable(std::uint64_t start, std::uint64_t bytes, const Name& name) {
        if (bytes > 0) writable_.push_back({start, start + bytes, name});
    }

    /// No writable range touches the structure; the first one (the mutex) touches no other.
    bool separated() {
        const Range mutex = writable_.front();
        for (std::size_t i = 1; i < writable_.size(); ++i) {
            if (writable_[i].start < mutex.end && mutex.start < writable_[i].end) {
                return refuse(writable_[i].start, writable_[i].name,
                              "overlaps the culture mutex at offset " + std::to_string(mutex.start));
            }
        }
        // The claimed ranges are disjoint, so their ends rise with their starts: one sweep over
        // both, in offset order, finds every writable range that meets one of them.
        std::sort(writable_.begin(), writable_.end(),
                  [](const Range& a, const Range& b) { return a.start < b.start; });
        auto claimed = structure_.begin();
        for (const Range& w : writable_) {
            while (claimed != structure_.end() && claimed->second <= w.start) ++claimed;
            if (claimed != structure_.end() && claimed->first < w.end) {
                return refuse(w.start, w.name,
                              "overlaps the record at offset " + std::to_string(claimed->first));
            }
        }
        return true;
    }

    bool culture(Offset root) {
        const Offset cr = word(root, ConfigurationRoot::kCultureRoot);
        if (record(cr, Layout::ConfCultureRootClass, {"culture root (root word 5)"}) == Visit::Failed)
            return false;
        const Offset rd = word(cr, ConfCultureRootClass::kRuntimeData);
        const Name rdName{"culture runtime data (culture root word 4)"};
        if (record(rd, Layout::ConfCultureRuntimeData, rdName, ConfCultureRuntimeData::kMutexOffset) ==
            Visit::Failed) {
            return false;
        }
        writable(std::uint64_t{rd} + ConfCultureRuntimeData::kMutexOffset, 8, {"culture mutex"});
        const std::uint32_t cultures = word(cr, ConfCultureRootClass::kCultureCount);
        const std::uint32_t current = word(rd, ConfCultureRuntimeData::kCurrentCulture);
        if (cultures > 0 && current >= cultures) {
            return refuse(rd, rdName,
                          "current culture " + std::to_string(current) + " is not below the " +
                              std::to_string(cultures) + " cultures");
        }
        const Offset counters = word(rd, ConfCultureRuntimeData::kCounterList);
        std::uint32_t counterBytes = 0;
        if (list(counters, {"change counter list (runtime data word 3)"}, counterBytes, false) ==
            Visit::Failed) {
            return false;
        }
        const std::uint32_t strings = counterBytes / 4;
        writable(std::uint64_t{counters} + kListHeaderBytes, 4ull * strings, {"change counters"});

        const Offset slots = word(cr, ConfCultureRootClass::kStringList);
        const Name listName{"culture string list (culture root word 2)"};
        std::uint32_t slotBytes = 0;
        if (list(slots, listName, slotBytes, true) == Visit::Failed) return false;
        const std::uint64_t needed = std::uint64_t{cultures} * strings;
        if (needed > slotBytes / 4) {
            return refuse(slots, listName,
                          std::to_string(slotBytes / 4) + " text slots, fewer than " +
                              std::to_string(cultures) + " cultures x " + std::to_string(strings) +
                              " strings");
        }
        for (std::uint64_t i = 0; i < needed; ++i) {
            std::uint32_t capacity = 0;
            const Offset slot = word(slots, 2 + static_cast<unsigned>(i));
            const Visit visited = list(slot, {"text slot", i, nullptr, cultures}, capacity, false, false);
            if (visited == Visit::Failed) return false;
            // Also a slot whose record was seen before (as another slot or another list): its text
            // is written all the same.
            writable(std::uint64_t{slot} + kListHeaderBytes, capacity, {"text of slot", i, nullptr, cultures});
        }
        return true;
    }

    bool application(Offset app, const Name& name) {
        std::uint32_t unused = 0;
        if (list(word(app, ApplicationInformation::kName), {"name", kNoIndex, &name}, unused, false) ==
                Visit::Failed ||
            !elements(word(app, ApplicationInformation::kActions), Layout::ApplicationAction,
                      {"action list", kNoIndex, &name}, "action", &name) ||
            !elements(word(app, ApplicationInformation::kVariables), Layout::ApplicationVariable,
                      {"variable list", kNoIndex, &name}, "variable", &name) ||
            !elements(word(app, ApplicationInformation::kEvents), Layout::ApplicationEvent,
                      {"event list", kNoIndex, &name}, "event", &name) ||
            !elements(word(app, ApplicationInformation::kReservedStrings), Layout::ApplicationReservedString,
                      {"reserved-string list", kNoIndex, &name}, "reserved string", &name)) {
            return false;
        }
        const Offset reference = word(app, ApplicationInformation::kReference);
        if (reference == 0 || reference == kNoOffset) return true;
        const Name what{"reference (word 7)", kNoIndex, &name};
        if (!place(reference, 4, what)) return false;
        if (word(reference, 0) == kListTag)
            return list(reference, what, unused, false, false) != Visit::Failed;
        const RecordLayout* kind = FindLayout(word(reference, 0));
        if (!kind) return refuse(reference, what, "unknown tag " + Hex(word(reference, 0)));
        return record(reference, *kind, what) != Visit::Failed;
    }

    /// The lists of the programming configuration at `p`, in the order a builder lays them out.
    bool programming(Offset p) {
        std::uint32_t unused = 0;
        return elements(word(p, ProgrammingConfiguration::kReservedStrings), Layout::ReservedString,
                        {"reserved string list (programming configuration word 7)"}, "reserved string",
                        nullptr) &&
               elements(word(p, ProgrammingConfiguration::kVariables), Layout::Variable,
                        {"variable list (programming configuration word 5)"}, "variable record", nullptr,
                        [&](Offset v, const Name& name) {
                            return list(word(v, Variable::kValueTable), {"value table", kNoIndex, &name},
                                        unused, false) != Visit::Failed;
                        }) &&
               elements(word(p, ProgrammingConfiguration::kListDefinitions), Layout::ListDefinition,
                        {"list definition list (programming configuration word 9)"}, "list definition",
                        nullptr,
                        [&](Offset d, const Name& name) {
                            return list(word(d, ListDefinition::kBlob), {"blob", kNoIndex, &name}, unused,
                                        false, false) != Visit::Failed;
                        }) &&
               elements(word(p, ProgrammingConfiguration::kApplications), Layout::ApplicationInformation,
                        {"application list (programming configuration word 2)"}, "application", nullptr,
                        [&](Offset app, const Name& name) { return application(app, name); });
    }

    void image() {
        if (!base_ || size_ < kRootOffset) {
            fail(0, {"image"}, "shorter than its " + std::to_string(kRootOffset) + " header bytes");
            return;
        }
        if (record(kRootOffset, Layout::ConfigurationRoot, {"root record"}) == Visit::Failed) return;
        const Offset p = word(kRootOffset, ConfigurationRoot::kProgrammingConfiguration);
        if (record(p, Layout::ProgrammingConfiguration, {"programming configuration (root word 3)"}) ==
            Visit::Failed) {
            return;
        }
        if (culture(kRootOffset) && programming(p)) separated();
    }

    /// Every record copyTo reaches from `start`, each visited once.
    void graph(Offset start) {
        std::vector<std::pair<Offset, std::string>> pending{{start, "record"}};
        std::set<Offset> visited;
        while (!pending.empty() && !fault) {
            const auto [at, what] = pending.back();
            pending.pop_back();
            const Name name{what.c_str()};
            if (!visited.insert(at).second || !place(at, 4, name)) continue;
            std::uint32_t unused = 0;
            const std::uint32_t tag = word(at, 0);
            const RecordLayout* kind = FindLayout(tag);
            if (tag == kListTag) {
                list(at, name, unused, false, false);  // copied whole, elements not followed
            } else if (kind && place(at, kind->bytes, name)) {
                for (unsigned w = 0; w < kind->bytes / 4; ++w) {
                    const Offset target = word(at, w);
                    if ((kind->references & (1u << w)) && target != kNoOffset) {
                        pending.push_back({target, "word " + std::to_string(w) + " of the record at offset " +
                                                       std::to_string(at)});
                    }
                }
            }
        }
    }

private:
    struct Range {
        std::uint64_t start, end;
        Name name;
    };
    const std::uint8_t* base_;
    std::uint64_t size_;
    std::map<std::uint64_t, std::uint64_t> structure_;  ///< claimed ranges: start -> end
    std::vector<Range> writable_;                       ///< the culture mutex first
};

}  // namespace

std::optional<ImageFault> CheckImage(const void* image, std::size_t size) {
    Checker checker(image, size);
    checker.image();
    return checker.fault;
}

std::optional<ImageFault> CheckRecordGraph(const void* image, std::size_t size, Offset offset) {
    if (!image) return ImageFault{offset, "no image"};
    Checker checker(image, size);
    checker.graph(offset);
    return checker.fault;
}

}  // namespace conf
