// The list owner of the simulated device: what the device's owner process does with the shared
// lists (start them, save them), shared by the host tool and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/ListManager.h"

namespace CoreSystem {

/// Shared-memory object in which a started owner keeps its two directories for later saves.
inline constexpr const char* kListOwnerRecord = "/ListOwner";

/// True when the loader has placed the configuration image and its marker (so that opening it
/// does not wait).
bool ConfigurationLoaded();

/// Starts the lists of the loaded configuration image as the owner does (ListManager::createAll
/// with `first` and `second`) and records the two directories. With `replace`, removes the objects
/// of an earlier start first (processes that attached them keep the old ones): a restart. False,
/// with the reason in `error`, when no image is loaded or the lists exist already. Call once per
/// process: the lists stay in the process's list map.
bool StartListOwner(const std::string& first, const std::string& second, bool replace,
                    std::vector<ListStart>& report, std::string& error);

/// The directories the running owner was started with. False when no owner recorded them.
bool ListOwnerDirectories(std::string& first, std::string& second);

/// Saves list `id` of this process's attached lists as the owner's persistence code does: a copy
/// of its object, taken under the list mutex, written through BackupFile into
/// "<directory>/ListManager<id>" (the directory its storage selector chooses). False, with the
/// reason in `error`, when the list is missing or the file cannot be written.
bool SaveList(std::uint32_t id, const std::string& first, const std::string& second, std::string& error);

}  // namespace CoreSystem
