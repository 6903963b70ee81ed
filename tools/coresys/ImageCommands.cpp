// "coresys conf load|dump" and "coresys strings ...": the simulated device's configuration loader,
// an inspector of the loaded image, and the culture strings through the framework's image client.
#include "ImageCommands.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Command.h"
#include "ConfDescription.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/ImageLoader.h"

namespace Coresys {
namespace {

using CoreSystem::BinaryClient;
using CoreSystem::CultureStrings;
using nlohmann::json;

// ---- the loaded image ---------------------------------------------------------------------------

/// Opens the loaded image through the image client; fails the command when none is loaded (the
/// client itself would wait for the loader's marker).
CultureStrings& OpenImage() {
    namespace Platform = CoreSystem::Platform;
    struct stat info;
    if (::stat(Platform::DevicePath(CoreSystem::kConfigurationMarker).c_str(), &info) != 0 ||
        ::stat(Platform::SharedObjectPath(CoreSystem::kConfigurationObject).c_str(), &info) != 0) {
        Fail(kExitFailure, "no configuration image is loaded (coresys conf load IMAGE)");
    }
    BinaryClient::open();
    CultureStrings* strings = BinaryClient::strings();
    if (!strings) Fail(kExitFailure, std::string(CoreSystem::kConfigurationObject) + " cannot be opened");
    return *strings;
}

/// `text` as valid UTF-8: every byte that does not belong to a well-formed sequence becomes the
/// four characters \xNN, so that nothing is dropped.
std::string EscapeInvalidUtf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                                                                          : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                                                                         : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (valid && length >= 3) {  // no overlong forms, surrogates or values beyond U+10FFFF
            const auto second = static_cast<unsigned char>(text[i + 1]);
            valid = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0) &&
                    !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
            ++i;
        }
    }
    return out;
}

json Pairs(const conf::Conf& owner, conf::Offset list, bool actions) {
    json pairs = json::array();
    const std::uint32_t count = owner.listCount(list);
    for (std::uint32_t k = 0; k < count; ++k) {
        conf::ApplicationAction pair(owner.base(), owner.listElementAt(list, k));  // the words are read alike
        pairs.push_back({{"local", pair.word(conf::ApplicationAction::kLocalNumber)},
                         {"id", pair.word(actions ? unsigned{conf::ApplicationAction::kActionId} : 2u)}});
    }
    return pairs;
}

/// Everything the image holds, in the shape docs/coresys-strings.md gives.
json Describe(CultureStrings& strings) {
    std::uint8_t* base = strings.base();
    const std::uint32_t cultures = strings.cultureCount();
    json out = {{"size", strings.size()}, {"cultures", cultures}, {"currentCulture", strings.currentCulture()}};

    json texts = json::array();
    for (std::uint32_t id = 0; id < strings.counterCount(); ++id) {
        const auto sid = static_cast<std::int32_t>(id);
        json entry = {{"id", id}, {"counter", strings.counter(sid)}, {"eventCode", nullptr}};
        if (const std::uint32_t code = strings.eventCode(sid)) entry["eventCode"] = code;
        json capacities = json::array(), values = json::array();
        for (std::uint32_t c = 0; c < cultures; ++c) {
            std::string text;
            strings.getStringForCulture(sid, c, text, strings.counter(sid) + 1);
            capacities.push_back(strings.slotCapacity(sid, c));
            values.push_back(EscapeInvalidUtf8(text));
        }
        entry["capacities"] = capacities;
        entry["texts"] = values;
        texts.push_back(entry);
    }
    out["strings"] = texts;

    const conf::ProgrammingConfiguration p(
        base, strings.root.resolve(strings.root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    auto each = [&](unsigned word, auto&& element) {
        json items = json::array();
        const conf::Offset list = p.word(word);
        for (std::uint32_t k = 0; k < p.listCount(list); ++k) items.push_back(element(p.listElementAt(list, k)));
        return items;
    };
    out["reservedStrings"] = each(conf::ProgrammingConfiguration::kReservedStrings, [&](std::uint8_t* at) {
        const conf::ReservedString r(base, at);
        return json{{"stringId", r.word(conf::ReservedString::kStringId)},
                    {"eventCode", r.word(conf::ReservedString::kEventCode)}};
    });
    out["variables"] = each(conf::ProgrammingConfiguration::kVariables, [&](std::uint8_t* at) {
        const conf::Variable v(base, at);
        json values = json::array();
        const conf::Offset table = v.word(conf::Variable::kValueTable);
        if (table != conf::kNoOffset) {
            const std::uint8_t* entries = v.listData(table);
            const std::uint32_t count = conf::ReadWord(v.resolve(table) + 4) / conf::Variable::kValueEntryBytes;
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint8_t* e = entries + conf::Variable::kValueEntryBytes * k;
                const std::uint32_t stringId = conf::ReadWord(e + 12);
                values.push_back({{"value", conf::ReadWord(e + 8)},
                                  {"stringId", stringId == conf::kNoOffset ? json(nullptr) : json(stringId)}});
            }
        }
        return json{{"id", v.word(2)}, {"values", values}};
    });
    out["lists"] = each(conf::ProgrammingConfiguration::kListDefinitions, [&](std::uint8_t* at) {
        const conf::ListDefinition l(base, at);
        return json{{"id", l.word(conf::ListDefinition::kListId)},
                    {"capacity", l.word(conf::ListDefinition::kCapacity)},
                    {"elementSize", l.word(conf::ListDefinition::kElementSize)},
                    {"storage", l.word(conf::ListDefinition::kStorage)}};
    });
    out["applications"] = each(conf::ProgrammingConfiguration::kApplications, [&](std::uint8_t* at) {
        using Info = conf::ApplicationInformation;
        const Info a(base, at);
        return json{{"name", EscapeInvalidUtf8(conf::Conf::textAt(a, a.word(Info::kName), strings.size()))},
                    {"actions", Pairs(a, a.word(Info::kActions), true)},
                    {"events", Pairs(a, a.word(Info::kEvents), false)},
                    {"variables", Pairs(a, a.word(Info::kVariables), false)},
                    {"reservedStrings", Pairs(a, a.word(Info::kReservedStrings), false)}};
    });
    return out;
}

void PrintDump(const json& d) {
    std::cout << CoreSystem::kConfigurationObject << ": " << d["size"] << " bytes, " << d["cultures"]
              << " cultures (current " << d["currentCulture"] << ")\n";
    for (const json& s : d["strings"]) {
        std::cout << "string " << s["id"] << " counter " << s["counter"];
        if (!s["eventCode"].is_null()) std::cout << " event " << s["eventCode"];
        for (std::size_t c = 0; c < s["texts"].size(); ++c) {
            std::cout << (c == 0 ? ": " : " | ") << "[" << s["capacities"][c] << "] " << s["texts"][c].dump();
        }
        std::cout << "\n";
    }
    for (const json& r : d["reservedStrings"]) {
        std::cout << "reserved string " << r["stringId"] << " event " << r["eventCode"] << "\n";
    }
    for (const json& v : d["variables"]) std::cout << "variable " << v["id"] << " values " << v["values"] << "\n";
    for (const json& l : d["lists"]) {
        std::cout << "list " << l["id"] << " capacity " << l["capacity"] << " elementSize " << l["elementSize"]
                  << " storage " << l["storage"] << "\n";
    }
    for (const json& a : d["applications"]) {
        std::cout << "application " << a["name"].get<std::string>() << " actions " << a["actions"] << " events "
                  << a["events"] << " variables " << a["variables"] << " reservedStrings " << a["reservedStrings"]
                  << "\n";
    }
    std::cout << std::flush;
}

// ---- strings ------------------------------------------------------------------------------------

/// Fails the command unless `id` names a string and `culture` (when given) a culture of the image.
void CheckRange(CultureStrings& strings, std::int64_t id, std::optional<std::int64_t> culture = std::nullopt) {
    if (id < 0 || id >= strings.counterCount()) {
        Fail(kExitFailure, "string " + std::to_string(id) + " is not in the image (" +
                               std::to_string(strings.counterCount()) + " strings)");
    }
    if (culture && (*culture < 0 || *culture >= strings.cultureCount())) {
        Fail(kExitFailure, "culture " + std::to_string(*culture) + " is not in the image (" +
                               std::to_string(strings.cultureCount()) + " cultures)");
    }
}

/// Runs `change` and reports what became of string `id`: its new counter, or that it stayed.
template <typename Change>
void Report(CultureStrings& strings, std::int32_t id, Change&& change) {
    const std::uint32_t before = strings.counter(id);
    change();
    const std::uint32_t after = strings.counter(id);
    std::cout << "string " << id << (after == before ? ": unchanged, counter " : ": counter ") << after << std::endl;
}

struct StringOptions {
    std::int64_t id = 0, second = 0, destination = 0;
    std::optional<std::int64_t> culture;
    std::string text;
    bool all = false, noNotify = false, json = false;
};

void Get(const StringOptions& o) {
    CultureStrings& strings = OpenImage();
    const std::int64_t culture = o.culture.value_or(strings.currentCulture());
    CheckRange(strings, o.id, culture);
    const auto id = static_cast<std::int32_t>(o.id);
    std::string text;
    // The counter itself is never passed as the last one seen, so the text is always copied.
    const std::uint32_t counter = strings.counter(id);
    BinaryClient::getStringForCulture(id, static_cast<std::uint32_t>(culture), text, counter + 1);
    if (o.json) {
        std::cout << json{{"id", o.id}, {"culture", culture}, {"counter", counter}, {"text", EscapeInvalidUtf8(text)}}
                  << std::endl;
    } else {
        std::cout << text << std::endl;
    }
}

void Set(const StringOptions& o) {
    CultureStrings& strings = OpenImage();
    CheckRange(strings, o.id, o.culture);
    const auto id = static_cast<std::int32_t>(o.id);
    Report(strings, id, [&] {
        if (o.culture) {
            BinaryClient::setStringForCulture(id, static_cast<std::uint32_t>(*o.culture), o.text, o.noNotify);
        } else {
            BinaryClient::setString(id, o.text, o.all);
        }
    });
}

}  // namespace

void AddImageCommands(CLI::App& app) {
    CLI::App* confCommand = app.get_subcommand("conf");

    auto load = std::make_shared<std::pair<std::string, bool>>();
    CLI::App* loadCommand = confCommand->add_subcommand(
        "load", "Place an image in /BINARY_CONFIGURATION as the device's loader does, then create its marker");
    loadCommand->add_option("image", load->first, "The image file")->required();
    loadCommand->add_flag("--replace", load->second, "Replace an image that is already loaded");
    loadCommand->callback([load] {
        const std::string bytes = ReadWholeFile(load->first);
        std::string error;
        if (!CoreSystem::LoadConfiguration(bytes.data(), bytes.size(), load->second, error)) {
            Fail(kExitFailure, load->first + ": " + error);
        }
        std::cout << CoreSystem::kConfigurationObject << ": " << bytes.size() << " bytes loaded" << std::endl;
    });

    auto dumpJson = std::make_shared<bool>(false);
    CLI::App* dump = confCommand->add_subcommand("dump", "Show what the loaded image holds");
    dump->add_flag("--json", *dumpJson, "One JSON object (docs/coresys-strings.md)");
    dump->callback([dumpJson] {
        const json described = Describe(OpenImage());
        if (*dumpJson) {
            std::cout << described << std::endl;
        } else {
            PrintDump(described);
        }
    });

    CLI::App* stringsCommand =
        app.add_subcommand("strings", "Culture strings of the loaded image, through the framework's image client");
    stringsCommand->require_subcommand(1);
    auto o = std::make_shared<StringOptions>();

    CLI::App* get = stringsCommand->add_subcommand("get", "Print a string's text (current culture by default)");
    get->add_option("id", o->id, "String id")->required();
    get->add_option("--culture", o->culture, "Culture index");
    get->add_flag("--json", o->json, "Print {\"id\", \"culture\", \"counter\", \"text\"}");
    get->callback([o] { Get(*o); });

    CLI::App* set = stringsCommand->add_subcommand(
        "set", "Write a string's text in the current culture, every culture (--all) or one (--culture)");
    set->add_option("id", o->id, "String id")->required();
    set->add_option("text", o->text, "The text (shortened to fit each slot)")->required();
    CLI::Option* all = set->add_flag("--all", o->all, "Every culture");
    CLI::Option* culture = set->add_option("--culture", o->culture, "One culture")->excludes(all);
    set->add_flag("--no-notify", o->noNotify, "Send no change event")->needs(culture);
    set->callback([o] { Set(*o); });

    CLI::App* copy =
        stringsCommand->add_subcommand("copy", "Copy a string's texts into another string, culture by culture");
    copy->add_option("source", o->id, "Source string id")->required();
    copy->add_option("destination", o->destination, "Destination string id")->required();
    copy->callback([o] {
        CultureStrings& strings = OpenImage();
        CheckRange(strings, o->id);
        CheckRange(strings, o->destination);
        const auto destination = static_cast<std::int32_t>(o->destination);
        Report(strings, destination,
               [&] { BinaryClient::copyString(static_cast<std::int32_t>(o->id), destination); });
    });

    CLI::App* compose = stringsCommand->add_subcommand(
        "compose", "Write FIRST + TEXT + SECOND into DESTINATION, culture by culture");
    compose->add_option("first", o->id, "First string id")->required();
    compose->add_option("text", o->text, "Text between the two")->required();
    compose->add_option("second", o->second, "Second string id")->required();
    compose->add_option("destination", o->destination, "Destination string id")->required();
    compose->callback([o] {
        CultureStrings& strings = OpenImage();
        for (const std::int64_t id : {o->id, o->second, o->destination}) CheckRange(strings, id);
        const auto destination = static_cast<std::int32_t>(o->destination);
        Report(strings, destination, [&] {
            BinaryClient::composeString(static_cast<std::int32_t>(o->id), o->text,
                                        static_cast<std::int32_t>(o->second), destination);
        });
    });
}

}  // namespace Coresys
