// Host isolation: where the names of shared objects and fixed device paths really live.
// On the target every name and path is used as written; on a development host the environment
// can move them into a namespace so that several simulated devices and tests run side by side.
#pragma once

#include <string>

namespace CoreSystem::Platform {

/// Environment variable holding the namespace word for shared-memory objects and named semaphores.
inline constexpr const char* kNamespaceVariable = "CORESYSTEM_NAMESPACE";
/// Environment variable holding the directory under which fixed absolute device paths resolve.
inline constexpr const char* kRootVariable = "CORESYSTEM_ROOT";

/// Name under which the shared-memory object or named semaphore `name` ("/Name") is opened:
/// "/<word>.Name" when a namespace word is set, else `name` unchanged.
std::string SharedObjectName(const char* name);
/// Same, with the namespace word given as a value (empty: none).
std::string SharedObjectName(const char* name, const std::string& word);

/// Path under which the fixed absolute path `path` is opened or tested: "<root><path>" when a
/// host root is set and `path` is absolute, else `path` unchanged. Callers return `path` itself
/// to their own callers; only the access goes through the result.
std::string DevicePath(const std::string& path);
/// Same, with the root given as a value (empty: none).
std::string DevicePath(const std::string& path, const std::string& root);

/// The namespace word of this process (empty when unset).
std::string NamespaceWord();

}  // namespace CoreSystem::Platform
