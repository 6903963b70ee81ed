// The owner of the shared variables database on the simulated device: what the device's owner
// process does before any client opens "/DBSHM".
#pragma once

#include <string>

#include "CoreSystem/SharedData/ImageBuilder.h"

namespace CoreSystem {

/// Becomes the owner: creates "/DBSHM" through DBSHM::createDatabase and fills, for each variable
/// of `description` (variable id = position + 1), its storage type, event code, timeout or
/// no-timeout flag and its name (name entry = position), then the last name index and the name
/// map. An existing object is refused unless `replace`, which removes it first (processes that
/// opened the old one keep it). A description the table cannot hold (more than 9999 variables, a
/// name of 128 bytes or more, a NUL in a name, an unknown type) is refused before anything is
/// created. Returns false with a message in `error`.
bool CreateDatabase(const conf::ImageDescription& description, bool replace, std::string& error);

}  // namespace CoreSystem
