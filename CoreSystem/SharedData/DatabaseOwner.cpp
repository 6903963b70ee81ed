// The simulated device's database owner: check the description, create, fill, name.
#include "CoreSystem/SharedData/DatabaseOwner.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cstring>

#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/DBSHM.h"

namespace CoreSystem {

namespace {

std::string Entry(std::size_t k) {
    return "variables[" + std::to_string(k) + "]";
}

bool Refuse(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

}  // namespace

bool CreateDatabase(const conf::ImageDescription& description, bool replace, std::string& error) {
    const auto& variables = description.variables;
    if (variables.size() >= static_cast<std::size_t>(kVariableEntries)) {
        return Refuse(error, std::to_string(variables.size()) + " variables, more than the table's " +
                                 std::to_string(kVariableEntries - 1));
    }
    for (std::size_t k = 0; k < variables.size(); ++k) {
        const std::string& name = variables[k].name;
        if (name.size() >= kVariableNameBytes) {
            return Refuse(error, Entry(k) + ".name: " + std::to_string(name.size()) + " bytes, more than " +
                                     std::to_string(kVariableNameBytes - 1));
        }
        if (name.find('\0') != std::string::npos) return Refuse(error, Entry(k) + ".name: holds a NUL byte");
        if (!conf::VariableTypeCode(variables[k].type)) {
            return Refuse(error, Entry(k) + ": unknown type \"" + variables[k].type + "\" (f64 f32 i32 i16 i8)");
        }
    }

    struct stat info;
    if (replace) {
        Platform::shm_unlink(kDatabaseObject);
    } else if (::stat(Platform::SharedObjectPath(kDatabaseObject).c_str(), &info) == 0) {
        return Refuse(error, std::string(kDatabaseObject) + " exists already (--replace replaces it)");
    }
    DBSHM::createDatabase();
    DatabaseLayout* table = DBSHM::table();
    if (!table || table->ownerPid != static_cast<std::int32_t>(getpid())) {
        return Refuse(error, std::string("cannot create ") + kDatabaseObject);
    }

    {
        Platform::ProcessLock hold(table->mutex);
        for (std::size_t k = 0; k < variables.size(); ++k) {
            const auto& variable = variables[k];
            VariableEntry& entry = table->variables[k + 1];
            entry.type = static_cast<std::int32_t>(*conf::VariableTypeCode(variable.type));
            entry.eventCode = variable.eventCode;
            entry.noTimeout = variable.timeoutMs ? 0 : 1;
            entry.timeoutMs = variable.timeoutMs.value_or(0);
            NameEntry& name = table->names[k];
            name.id = static_cast<std::int32_t>(k + 1);
            std::memcpy(name.name, variable.name.data(), variable.name.size());
        }
        table->lastNameIndex = variables.empty() ? 0 : static_cast<std::int32_t>(variables.size() - 1);
    }
    DBSHM::rebuildNameIndex();
    return true;
}

}  // namespace CoreSystem
