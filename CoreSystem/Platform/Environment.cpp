// Host isolation of shared names and device paths (portable: only the environment is read).
#include "CoreSystem/Platform/Environment.h"

#include <cstdlib>

namespace CoreSystem::Platform {

namespace {
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}
}  // namespace

std::string NamespaceWord() {
    return variable(kNamespaceVariable);
}

std::string SharedObjectName(const char* name, const std::string& word) {
    std::string plain(name ? name : "");
    if (word.empty()) return plain;
    if (!plain.empty() && plain[0] == '/') return "/" + word + "." + plain.substr(1);
    return "/" + word + "." + plain;
}

std::string SharedObjectName(const char* name) {
    return SharedObjectName(name, NamespaceWord());
}

std::string DevicePath(const std::string& path, const std::string& root) {
    if (root.empty() || path.empty() || path[0] != '/') return path;
    if (root.back() == '/') return root.substr(0, root.size() - 1) + path;
    return root + path;
}

std::string DevicePath(const std::string& path) {
    return DevicePath(path, variable(kRootVariable));
}

}  // namespace CoreSystem::Platform
