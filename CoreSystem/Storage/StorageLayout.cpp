// Storage layout: composition of the autoload tree and media paths. The base is read from the
// environment on every call; the only state is the three USB constants, built once.
#include "CoreSystem/Storage/StorageLayout.h"

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Utilities/Utilities.h"

#include <cstdlib>
#include <sstream>

namespace CoreSystem {

namespace {

constexpr const char* kAutoloadVariable = "AUTOLOADPATH";

/// `directory` (ending in "/") + `name` without its leading slashes; `name` is changed in place.
std::string Join(const std::string& directory, std::string& name) {
    return directory + Utilities::StripLeadingSlashes(name);
}

/// Data directory + `directory` ("app/", ...) of the tree.
std::string TreeDirectory(const char* directory) {
    std::string name(directory);
    return DataPath(name);
}

/// True when `path`, a fixed device path, exists now (no waiting).
bool DeviceEntryExists(const std::string& path) {
    return Platform::waitfor(Platform::DevicePath(path).c_str(), 0, 0) == 0;
}

std::string ImagePath(const std::string& directory, int number) {
    std::ostringstream text;
    text << directory << number << ".png";
    return text.str();
}

}  // namespace

std::string AutoloadBase() {
    const char* value = std::getenv(kAutoloadVariable);
    return value ? std::string(value) : std::string(kDefaultAutoloadBase);
}

std::string AutoloadAccessPath(const std::string& path) {
    return std::getenv(kAutoloadVariable) ? path : Platform::DevicePath(path);
}

std::string AutoloadPath(std::string& name) {
    return Join(AutoloadBase(), name);
}

std::string DataPath(std::string& name) {
    std::string none;
    return Join(AutoloadPath(none), name);
}

std::string RootPath(std::string& name) {
    return Join(TreeDirectory("root/"), name);
}
std::string MapPath(std::string& name) {
    return Join(TreeDirectory("map/"), name);
}
std::string TempDirPath(std::string& name) {
    return Join(TreeDirectory("temp/"), name);
}
std::string ScriptPath(std::string& name) {
    return Join(TreeDirectory("script/"), name);
}
std::string AppPath(std::string& name) {
    return Join(TreeDirectory("app/"), name);
}
std::string NvdataPath(std::string& name) {
    return Join(TreeDirectory("nvdata/"), name);
}
std::string ConfigPath(std::string& name) {
    return Join(TreeDirectory("config/"), name);
}

std::string OsPath(std::string& name) {
    std::string directory("os/");
    return Join(AutoloadPath(directory), name);
}

std::string CurrentConfigPath(std::string& name) {
    std::string directory("current/");
    return Join(ConfigPath(directory), name);
}

std::string CustomerExtensionsPath(std::string& name) {
    std::string directory("CustomerExtensions/");
    return Join(CurrentConfigPath(directory), name);
}

std::string StickPath(std::string& name) {
    return Join("/mnt/stick/", name);
}

std::string UsbPath(std::string& name, DeviceFamily family) {
    if (!IsM2OrE2(family)) {
        std::string copy(name);
        return StickPath(copy);
    }
    static const std::string firstStick("/fs/usb0/");
    static const std::string secondStick("/fs/usb1/");
    static const std::string mapMarker("/fs/usb0/mapid.bin");
    // The stick carrying the map marker is the map medium; the other one is the user's stick.
    const bool mapOnFirst = DeviceEntryExists(firstStick) && DeviceEntryExists(mapMarker);
    return Join(mapOnFirst ? secondStick : firstStick, name);
}

std::string UsbPath(std::string& name) {
    return UsbPath(name, GetDeviceFamily());
}

std::string StoragePath(int kind, const std::string& name) {
    std::string none;
    switch (kind) {
        case kStorageUsb:
            return UsbPath(none);
        case kStorageSdCard:
            return Utilities::SdCardPath(none);
        case kStorageScript:
            return ScriptPath(none);
        case kStorageData: {
            std::string copy(name);
            return DataPath(copy);
        }
        case kStorageCustomerExtensions:
            return CustomerExtensionsPath(none);
        default:
            return std::string();
    }
}

bool HasStoryboard() {
    std::string name("storyboard");
    return Utilities::IsDirectory(AutoloadAccessPath(CurrentConfigPath(name)));
}

std::string BinaryDataImagePath(int number) {
    std::string directory("BinaryData/");
    return ImagePath(CurrentConfigPath(directory), number);
}

std::string NvdataImagePath(int number) {
    std::string directory("Images/");
    return ImagePath(NvdataPath(directory), number);
}

}  // namespace CoreSystem
