// The storage layout: every path into the persistent autoload tree and onto removable media is
// built here, so the layout is changed in one place. The getters only compose strings; only
// UsbPath (on M2 and E2) and HasStoryboard look at the file system.
#pragma once

#include "CoreSystem/Hardware/DeviceFamily.h"

#include <string>

namespace CoreSystem {

/// Autoload base used when "AUTOLOADPATH" is not set.
inline constexpr const char kDefaultAutoloadBase[] = "/fs/etfs/";

/// Media chosen by StoragePath.
enum StorageKind : int {
    kStorageUsb = 1,                 ///< UsbPath of an empty name
    kStorageSdCard = 2,              ///< "/mnt/sd/"
    kStorageScript = 3,              ///< ScriptPath of an empty name
    kStorageData = 4,                ///< DataPath of the name
    kStorageCustomerExtensions = 5,  ///< CustomerExtensionsPath of an empty name
};

/// The autoload base: the value of "AUTOLOADPATH" exactly as given when it is set (no separator
/// is added, so it should end in "/"), else "/fs/etfs/". Read anew on every call.
std::string AutoloadBase();

/// Where a path built by the getters below is opened or tested on this host. A base given in
/// "AUTOLOADPATH" is the host's own choice and is used as given; the built-in base "/fs/etfs/"
/// is a device path and resolves under the host root (Platform::DevicePath). Callers keep
/// returning the unchanged `path`.
std::string AutoloadAccessPath(const std::string& path);

// Getters of the autoload tree. Each removes the leading slashes of `name` in place (the
// caller's string is changed) and returns the directory + `name`; an empty name gives the
// directory itself, ending in "/". They never fail and never touch the file system. Callers must
// not share one name string between threads.

/// Base + name.
std::string AutoloadPath(std::string& name);
/// Base + name (the data directory is the base itself).
std::string DataPath(std::string& name);
/// Base + "root/" + name.
std::string RootPath(std::string& name);
/// Base + "os/" + name.
std::string OsPath(std::string& name);
/// Base + "map/" + name.
std::string MapPath(std::string& name);
/// Base + "temp/" + name.
std::string TempDirPath(std::string& name);
/// Base + "script/" + name.
std::string ScriptPath(std::string& name);
/// Base + "app/" + name.
std::string AppPath(std::string& name);
/// Base + "nvdata/" + name.
std::string NvdataPath(std::string& name);
/// Base + "config/" + name.
std::string ConfigPath(std::string& name);
/// Base + "config/current/" + name.
std::string CurrentConfigPath(std::string& name);
/// Base + "config/current/CustomerExtensions/" + name.
std::string CustomerExtensionsPath(std::string& name);

/// "/mnt/stick/" + name (leading slashes removed in place).
std::string StickPath(std::string& name);

/// The USB stick root of this board's family + name; see the overload below.
std::string UsbPath(std::string& name);
/// The USB stick root of `family` + name. M2 and E2: "/fs/usb1/" when both "/fs/usb0/" and the
/// map marker "/fs/usb0/mapid.bin" exist right now (no waiting), else "/fs/usb0/" (also when no
/// stick is mounted); `name` loses its leading slashes in place. iMX35 and unknown families:
/// StickPath of a copy of `name` (the caller's string is left alone).
std::string UsbPath(std::string& name, DeviceFamily family);

/// The root of a medium by `kind` (StorageKind); `name` is used (on a copy) only by
/// kStorageData. Any other kind gives an empty string.
std::string StoragePath(int kind, const std::string& name);

/// True when the current configuration holds a "storyboard" directory.
bool HasStoryboard();

/// CurrentConfigPath("BinaryData/") + number in decimal + ".png" (12 gives ".../12.png").
std::string BinaryDataImagePath(int number);
/// NvdataPath("Images/") + number in decimal + ".png" (-3 gives ".../Images/-3.png").
std::string NvdataImagePath(int number);

}  // namespace CoreSystem
