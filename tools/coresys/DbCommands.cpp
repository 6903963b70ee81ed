// "coresys db ...": creates "/DBSHM" as its owner does, and reads, writes and watches the
// variables through DBSHM, the code path of the device's applications.
#include "DbCommands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Command.h"
#include "ConfDescription.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/DatabaseOwner.h"
#include "NmCommands.h"

namespace Coresys {
namespace {

using CoreSystem::DBSHM;
using nlohmann::json;

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

/// Opens the database as a client does. Fails the command when there is no database or no
/// loaded configuration image (the client would wait for the loader without end).
void OpenDatabase() {
    namespace Platform = CoreSystem::Platform;
    if (!Exists(Platform::SharedObjectPath(CoreSystem::kDatabaseObject))) {
        Fail(kExitFailure, std::string("no database ") + CoreSystem::kDatabaseObject +
                               " (create it with 'coresys db create DESCRIPTION.json')");
    }
    if (!Exists(Platform::DevicePath(CoreSystem::kConfigurationMarker)) ||
        !Exists(Platform::SharedObjectPath(CoreSystem::kConfigurationObject))) {
        Fail(kExitFailure, "no configuration image is loaded (coresys conf load IMAGE)");
    }
    DBSHM::openDatabase();  // a table too short to use ends the process with its own message
}

namespace {

/// The id `text` names: a decimal id with an entry, or a name of the name map.
std::int32_t VariableId(const std::string& text) {
    if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const long long id = text.size() > 6 ? -1 : std::stoll(text);
        if (id < 1 || id >= CoreSystem::kVariableEntries) {
            Fail(kExitFailure, "variable id " + text + " has no entry (ids 1.." +
                                   std::to_string(CoreSystem::kVariableEntries - 1) + ")");
        }
        return static_cast<std::int32_t>(id);
    }
    std::int32_t id = 0;
    if (!DBSHM::findVariableId(text, id)) Fail(kExitFailure, "no variable named '" + text + "'");
    return id;
}

double ParseValue(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') Fail(kExitUsage, "'" + text + "' is not a number");
    return value;
}

/// The shortest text that reads back as `value`.
std::string Number(double value) {
    char text[32];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value || std::isnan(value)) break;
    }
    return text;
}

const char* TypeName(std::int32_t type) {
    switch (type) {
        case CoreSystem::kStoreFloat: return "f32";
        case CoreSystem::kStoreInt32: return "i32";
        case CoreSystem::kStoreInt16: return "i16";
        case CoreSystem::kStoreInt8: return "i8";
        default: return "f64";
    }
}

/// What `coresys db get` shows of a variable: read with getVariable, then the entry's other fields.
struct Shown {
    std::int32_t id;
    std::string name;
    double value;
    bool valid;
    std::uint64_t lastChange;
    CoreSystem::VariableEntry entry;
};

Shown Show(std::int32_t id) {
    Shown s{id, DBSHM::variableName(id), 0, false, 0, {}};
    s.valid = DBSHM::getVariable(id, s.value, s.lastChange) == 1;
    DBSHM::variableEntry(id, s.entry);
    return s;
}

json Json(const Shown& s) {
    return {{"id", s.id},
            {"name", s.name.empty() ? json(nullptr) : json(s.name)},
            {"value", std::isfinite(s.value) ? json(s.value) : json(nullptr)},
            {"valid", s.valid},
            {"lastChange", s.lastChange},
            {"validUntil", s.entry.validUntil},
            {"type", TypeName(s.entry.type)},
            {"eventCode", s.entry.eventCode},
            {"timeoutMs", s.entry.noTimeout ? json(nullptr) : json(s.entry.timeoutMs)}};
}

std::string Line(const Shown& s) {
    return std::to_string(s.id) + ' ' + (s.name.empty() ? "-" : s.name) + ' ' + Number(s.value) +
           (s.valid ? " valid" : " not-valid");
}

void Print(const Shown& s, bool asJson) {
    std::cout << (asJson ? Json(s).dump(-1, ' ', false, json::error_handler_t::replace) : Line(s)) << std::endl;
}

struct DbOptions {
    std::string description;
    bool replace = false;
    bool json = false;
    std::string variable;
    std::string value;
    std::vector<std::string> variables;
    std::string direction;
    ListenOptions watch{CoreSystem::kEventEndpoint, 0, std::nullopt, ""};
};

void Create(const DbOptions& o) {
    const conf::ImageDescription description = LoadDescription(o.description);
    std::string error;
    if (!CoreSystem::CreateDatabase(description, o.replace, error)) Fail(kExitFailure, error);
    std::cout << CoreSystem::kDatabaseObject << ": " << description.variables.size() << " variables" << std::endl;
}

void List(bool asJson) {
    std::vector<std::pair<std::int32_t, std::string>> named;
    for (const auto& [name, id] : DBSHM::nameMap()) {
        if (!name.empty() && id >= 1 && id < CoreSystem::kVariableEntries) named.emplace_back(id, name);
    }
    std::sort(named.begin(), named.end());
    json all = json::array();
    for (const auto& [id, name] : named) {
        Shown s = Show(id);
        s.name = name;
        if (asJson) {
            all.push_back(Json(s));
        } else {
            std::cout << Line(s) << '\n';
        }
    }
    if (asJson) std::cout << all.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    std::cout.flush();
}

void SetMany(const DbOptions& o) {
    std::vector<std::int32_t> ids;
    std::vector<double> values;
    for (const std::string& pair : o.variables) {
        const std::size_t equals = pair.rfind('=');
        if (equals == std::string::npos) Fail(kExitUsage, "'" + pair + "' is not NAME=VALUE");
        ids.push_back(VariableId(pair.substr(0, equals)));
        values.push_back(ParseValue(pair.substr(equals + 1)));
    }
    DBSHM::setVariables(static_cast<int>(ids.size()), ids.data(), values.data());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const std::string name = DBSHM::variableName(ids[k]);
        std::cout << ids[k] << ' ' << (name.empty() ? "-" : name) << ' ' << Number(values[k]) << '\n';
    }
    std::cout.flush();
}

void Text(const std::string& variable) {
    const std::int32_t id = VariableId(variable);
    std::uint32_t textId = 0;
    if (!DBSHM::valueTextId(id, textId)) {
        Fail(kExitFailure, "variable " + variable + ": no text for its current value");
    }
    CoreSystem::CultureStrings* strings = CoreSystem::BinaryClient::strings();
    if (!strings || textId >= strings->counterCount()) {
        Fail(kExitFailure, "variable " + variable + ": string " + std::to_string(textId) + " is not in the image");
    }
    std::string text;
    const auto sid = static_cast<std::int32_t>(textId);
    CoreSystem::BinaryClient::getString(sid, text, strings->counter(sid) + 1);  // always copied
    std::cout << text << std::endl;
}

/// A received event as its decimal code; shorter messages are skipped.
std::optional<std::string> EventCode(int, const char* data, int size) {
    if (size < 4) return std::nullopt;
    std::uint32_t code = 0;
    std::memcpy(&code, data, sizeof code);
    return std::to_string(code);
}

}  // namespace

void AddDbCommands(CLI::App& app) {
    CLI::App* db = app.add_subcommand("db", "The shared variables database /DBSHM, through the framework's client");
    db->require_subcommand(1);
    auto o = std::make_shared<DbOptions>();

    CLI::App* create = db->add_subcommand("create", "Become the owner: create /DBSHM from a configuration description");
    create->add_option("description", o->description, "The description (docs/configuration.md)")->required();
    create->add_flag("--replace", o->replace, "Replace an existing database");
    create->callback([o] { Create(*o); });

    CLI::App* get = db->add_subcommand("get", "Print a variable: 'ID NAME VALUE valid|not-valid'");
    get->add_option("variable", o->variable, "Name or id")->required();
    get->add_flag("--json", o->json, "Print one JSON object (docs/coresys-db.md)");
    get->callback([o] {
        OpenDatabase();
        Print(Show(VariableId(o->variable)), o->json);
    });

    CLI::App* set = db->add_subcommand("set", "Write a variable (setVariable), then print it as get does");
    set->add_option("variable", o->variable, "Name or id")->required();
    set->add_option("value", o->value, "The value (converted to the variable's type)")->required();
    set->callback([o] {
        OpenDatabase();
        const std::int32_t id = VariableId(o->variable);
        DBSHM::setVariable(id, ParseValue(o->value));
        Print(Show(id), false);
    });

    CLI::App* setMany = db->add_subcommand("set-many", "Write variables at once (setVariables); print 'ID NAME STORED'");
    setMany->add_option("pairs", o->variables, "NAME=VALUE (or ID=VALUE)")->required();
    setMany->callback([o] {
        OpenDatabase();
        SetMany(*o);
    });

    CLI::App* list = db->add_subcommand("list", "Print every named variable, as get does");
    list->add_flag("--json", o->json, "Print one JSON array of get's objects");
    list->callback([o] {
        OpenDatabase();
        List(o->json);
    });

    CLI::App* invalidate = db->add_subcommand("invalidate", "Mark variables not valid");
    invalidate->add_option("variables", o->variables, "Names or ids")->required();
    invalidate->callback([o] {
        OpenDatabase();
        std::vector<std::int32_t> ids;
        for (const std::string& v : o->variables) ids.push_back(VariableId(v));
        DBSHM::invalidateVariables(static_cast<int>(ids.size()), ids.data());
    });

    CLI::App* step = db->add_subcommand("step", "Set a variable to the next or previous value of its value table");
    step->add_option("direction", o->direction, "up or down")->required()->check(CLI::IsMember({"up", "down"}));
    step->add_option("variable", o->variable, "Name or id")->required();
    step->callback([o] {
        OpenDatabase();
        const std::int32_t id = VariableId(o->variable);
        if (!(o->direction == "up" ? DBSHM::stepValueUp(id) : DBSHM::stepValueDown(id))) {
            Fail(kExitFailure, "variable " + o->variable +
                                   ": its current value is not in its value table, or the table has fewer than two values");
        }
        Print(Show(id), false);
    });

    CLI::App* text = db->add_subcommand("text", "Print the culture string shown for a variable's current value");
    text->add_option("variable", o->variable, "Name or id")->required();
    text->callback([o] {
        OpenDatabase();
        Text(o->variable);
    });

    CLI::App* watch = db->add_subcommand("watch", "Become the receiver of CCMEvent; print each event code in decimal");
    watch->add_option("--count", o->watch.count, "Exit after this many events")->check(CLI::PositiveNumber);
    watch->add_option("--timeout", o->watch.timeoutSeconds, "Seconds to watch (default: until SIGINT or SIGTERM)")
        ->check(CLI::NonNegativeNumber);
    watch->add_option("--ready-file", o->watch.readyFile, "File to create once the receiver is published");
    watch->callback([o] { Listen(o->watch, EventCode); });
}

}  // namespace Coresys
