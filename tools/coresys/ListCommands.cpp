// "coresys lists ...": the list owner of the simulated device (create, save, save-definition) and a
// shell over the framework's list operations (show, add, remove, clear, find, element).
#include "ListCommands.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Command.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/ListOwner.h"

namespace Coresys {

std::string Hex(const void* data, std::size_t size) {
    std::string text(2 * size, '0');
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) std::snprintf(&text[2 * i], 3, "%02x", bytes[i]);
    return text;
}

namespace {

using CoreSystem::ListManager;
using CoreSystem::ListRef;
using nlohmann::json;

struct ListOptions {
    std::uint32_t id = 0;
    std::string first, second, hex, pattern, directory;
    bool replace = false, json = false;
    int index = 0, mode = 0, page = 0, start = 0, offset = 4;
    std::optional<int> end, max;
};

/// Attaches the device's lists as a client does and returns list `id`; fails the command when
/// there is no image, or (when `required`) the lists are not started or the id is not among them.
ListRef Attach(std::uint32_t id, bool required = true) {
    namespace Platform = CoreSystem::Platform;
    if (!CoreSystem::ConfigurationLoaded()) {
        Fail(kExitFailure, "no configuration image is loaded (coresys conf load IMAGE)");
    }
    ListManager::attachAll();
    const ListRef list = ListManager::find(id);
    if (list.object || !required) return list;
    struct stat info;
    if (::stat(Platform::SharedObjectPath(CoreSystem::kListManagerLock).c_str(), &info) != 0) {
        Fail(kExitFailure, "the lists are not started (coresys lists create --first DIR --second DIR)");
    }
    if (id > CoreSystem::kMaxAttachedListId) {
        Fail(kExitFailure, "list " + std::to_string(id) + ": clients attach no list above " +
                               std::to_string(CoreSystem::kMaxAttachedListId));
    }
    Fail(kExitFailure, "list " + std::to_string(id) + " is not on the device");
}

/// Runs `body` with the list mutex of `id` held.
template <typename Body>
void WithLock(std::uint32_t id, Body&& body) {
    ListManager::lockList(id);
    body();
    ListManager::unlockList(id);
}

void Show(const ListOptions& o) {
    const ListRef list = Attach(o.id);
    json shown;
    WithLock(o.id, [&] {
        const CoreSystem::ListHeader& h = *list.object;
        json slots = json::array(), elements = json::array();
        for (std::uint32_t k = 0; k < list.geometry.capacity; ++k) slots.push_back(list.slots()[k]);
        for (std::uint32_t k = 0; k < list.count(); ++k) {
            const std::uint32_t offset = list.slots()[k];
            const bool inside = offset >= list.geometry.headerSize &&
                                std::uint64_t{offset} + list.geometry.elementSize <= list.geometry.objectSize;
            elements.push_back(inside ? Hex(list.bytes() + offset, list.geometry.elementSize) : "");
        }
        shown = {{"id", o.id},
                 {"elementSize", h.elementSize},
                 {"sequence", h.sequence},
                 {"position", h.position},
                 {"capacity", h.capacity},
                 {"count", h.count},
                 {"slots", slots},
                 {"elements", elements}};
    });
    if (o.json) {
        std::cout << shown << std::endl;
        return;
    }
    std::cout << "list " << o.id << ": elementSize " << shown["elementSize"] << ", sequence "
              << shown["sequence"] << ", position " << shown["position"] << ", capacity " << shown["capacity"]
              << ", count " << shown["count"] << "\nslots:";
    for (const json& slot : shown["slots"]) std::cout << " " << slot;
    std::cout << "\n";
    for (std::size_t k = 0; k < shown["elements"].size(); ++k) {
        std::cout << k << ": " << shown["elements"][k].get<std::string>() << "\n";
    }
    std::cout << std::flush;
}

void Add(const ListOptions& o) {
    const ListRef list = Attach(o.id);
    std::string bytes;
    if (auto reason = ParseHex(o.hex, bytes)) Fail(kExitUsage, "HEX: " + *reason);
    if (bytes.size() > list.geometry.elementSize) {
        Fail(kExitFailure, "HEX has " + std::to_string(bytes.size()) + " bytes, more than the element size " +
                               std::to_string(list.geometry.elementSize));
    }
    int added = 0;
    std::uint32_t count = 0;
    WithLock(o.id, [&] {
        added = CoreSystem::Append(list, bytes.data(), bytes.size());
        if (added) ListManager::nextSequence(o.id);
        count = list.count();
    });
    if (!added)
        Fail(kExitFailure,
             "list " + std::to_string(o.id) + " is full (" + std::to_string(count) + " elements)");
    std::cout << "list " << o.id << ": added at index " << count - 1 << ", count " << count << std::endl;
}

void Element(const ListOptions& o) {
    const ListRef list = Attach(o.id);
    std::string hex;
    bool found = false;
    WithLock(o.id, [&] {
        if (void* element = ListManager::elementAt(o.id, o.mode, o.index, o.page)) {
            hex = Hex(element, list.geometry.elementSize);
            found = true;
        }
    });
    if (!found) {
        Fail(kExitFailure, "no element at index " + std::to_string(o.index) + " (mode " +
                               std::to_string(o.mode) + ", page " + std::to_string(o.page) + ", count " +
                               std::to_string(list.count()) + ")");
    }
    std::cout << hex << std::endl;
}

void Save(const ListOptions& o) {
    Attach(o.id);
    std::string first = o.first, second = o.second, recordedFirst, recordedSecond;
    if (CoreSystem::ListOwnerDirectories(recordedFirst, recordedSecond)) {
        if (first.empty()) first = recordedFirst;
        if (second.empty()) second = recordedSecond;
    }
    std::string error;
    if (!CoreSystem::SaveList(o.id, first, second, error)) Fail(kExitFailure, error);
    std::cout << "list " << o.id << ": saved" << std::endl;
}

}  // namespace

void AddListCommands(CLI::App& app) {
    CLI::App* lists = app.add_subcommand(
        "lists", "Shared lists: start them as the owner does, save them, page through and edit them");
    lists->require_subcommand(1);
    auto o = std::make_shared<ListOptions>();
    auto id = [o](CLI::App* command) { command->add_option("id", o->id, "List id")->required(); };

    CLI::App* create = lists->add_subcommand(
        "create", "Create every list of the loaded image as the owner does, restoring saved lists");
    create->add_option("--first", o->first, "Directory of lists with storage selector 0 (end it with /)")
        ->required();
    create->add_option("--second", o->second, "Directory of the other lists (end it with /)")->required();
    create->add_flag("--replace", o->replace, "Remove the lists of an earlier start first: a restart");
    create->callback([o] {
        std::vector<CoreSystem::ListStart> report;
        std::string error;
        if (!CoreSystem::StartListOwner(o->first, o->second, o->replace, report, error))
            Fail(kExitFailure, error);
        using Outcome = CoreSystem::ListStart::Outcome;
        for (const CoreSystem::ListStart& s : report) {
            std::cout << "list " << s.id << ": ";
            if (s.outcome == Outcome::Skipped) {
                std::cout << "skipped (" << s.reason << ")\n";
            } else {
                std::cout << s.size << " bytes, "
                          << (s.outcome == Outcome::Restored ? "restored" : "fresh (" + s.reason + ")")
                          << "\n";
            }
        }
        std::cout << std::flush;
    });

    CLI::App* show = lists->add_subcommand("show", "Header fields, slot offsets and elements in list order");
    id(show);
    show->add_flag("--json", o->json, "One JSON object (docs/coresys-lists.md)");
    show->callback([o] { Show(*o); });

    CLI::App* add =
        lists->add_subcommand("add", "Append an element into the slot at the count, as an owner does");
    id(add);
    add->add_option("hex", o->hex, "The element's bytes as hex digits (the rest of the element is zero)")
        ->required();
    add->callback([o] { Add(*o); });

    CLI::App* remove = lists->add_subcommand("remove", "Remove the element at INDEX (removeAt)");
    id(remove);
    remove->add_option("index", o->index, "Index in list order")->required();
    remove->callback([o] {
        Attach(o->id);
        if (ListManager::removeAt(o->id, o->index) != 1) {
            Fail(kExitFailure, "index " + std::to_string(o->index) + " is not in use (count " +
                                   std::to_string(ListManager::listLength(o->id)) + ")");
        }
        std::cout << "list " << o->id << ": removed index " << o->index << ", count "
                  << ListManager::listLength(o->id) << std::endl;
    });

    CLI::App* clear = lists->add_subcommand("clear", "Empty the list (clearList)");
    id(clear);
    clear->callback([o] {
        Attach(o->id);
        ListManager::clearList(o->id);
        std::cout << "list " << o->id << ": cleared" << std::endl;
    });

    CLI::App* find = lists->add_subcommand("find",
                                           "Print the index of the first element whose text matches "
                                           "PATTERN (findElement): -4 for none");
    id(find);
    find->add_option("pattern", o->pattern, "Text, or pieces separated by *")->required();
    find->add_option("--start", o->start, "First index (default 0)");
    find->add_option("--end", o->end, "End of the range (default: the count)");
    find->add_option("--offset", o->offset,
                     "Offset of the text in the element (default 4, after the index word)");
    find->add_option("--max", o->max, "Longest text compared (default: the element size)");
    find->callback([o] {
        const ListRef list = Attach(o->id, false);  // a missing id is findElement's -3
        const int end = o->end.value_or(static_cast<int>(ListManager::listLength(o->id)));
        const int max = o->max.value_or(static_cast<int>(list.geometry.elementSize));
        std::cout << ListManager::findElement(o->id, o->start, end, o->offset, max, o->pattern) << std::endl;
    });

    CLI::App* element =
        lists->add_subcommand("element", "Print an element as hex (elementAt); exit 1 when none");
    id(element);
    element->add_option("--mode", o->mode, "0: absolute, 1: from the position, 2: from the position's page")
        ->required();
    element->add_option("--index", o->index, "Index")->required();
    element->add_option("--page", o->page, "Page size (mode 2)");
    element->callback([o] { Element(*o); });

    CLI::App* save =
        lists->add_subcommand("save", "Write the list into its data file, as the owner's persistence does");
    id(save);
    save->add_option("--first", o->first, "First directory (default: the one lists create was given)");
    save->add_option("--second", o->second, "Second directory (default: the one lists create was given)");
    save->callback([o] { Save(*o); });

    CLI::App* saveDefinition = lists->add_subcommand(
        "save-definition", "Write the list's definition file DIRListDefinition<ID> (saveListDefinition)");
    id(saveDefinition);
    saveDefinition->add_option("directory", o->directory, "Directory (end it with /)")->required();
    saveDefinition->callback([o] {
        Attach(o->id);
        if (!ListManager::saveListDefinition(o->id, o->directory)) {
            Fail(kExitFailure,
                 "cannot write the definition of list " + std::to_string(o->id) + " into " + o->directory);
        }
        std::cout << "list " << o->id << ": definition saved" << std::endl;
    });
}

}  // namespace Coresys
