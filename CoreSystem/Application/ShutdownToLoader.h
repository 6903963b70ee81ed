// Restarting the device into its boot loader (HardwareManager::ShutdownToLoader, declared with the
// hardware manager): what the sequence leaves for the loader and the CAN application, and the
// shell command of the iMX35 boards.
#pragma once

#include <cstdint>
#include <string>

namespace CoreSystem {

/// The boot command block is the boot record's memory (OtpReader.h): magic, covered words,
/// command, words 3-18 as found, checksum in word 19.
inline constexpr std::uint32_t kBootCommandCoveredWords = 19;
inline constexpr std::uint32_t kBootCommandLoader = 1;  ///< word 2: boot into the loader

/// The CAN application's endpoint, its directory under the applications folder, and the notice's id.
inline constexpr const char kCanApplication[] = "ZudeduDEDOra";
inline constexpr const char kCanApplicationAction[] = "ZudeduDEDOraAction";
inline constexpr std::uint32_t kLoaderNoticeId = 5;

/// The iMX35 command: "out32 0x53f80018 `in32 0x53f80018 | awk -f <script>`". A script path made
/// only of [A-Za-z0-9/._+-] stands as it is; any other is single-quoted (a quote as '\'') so the
/// shell never reads it as code.
std::string LoaderShutdownCommand(const std::string& scriptPath);

/// Where this host finds the awk script "bootToLoader.awk" of the applications folder: the device
/// path under "AUTOLOADPATH" as given, or resolved under the host root for the built-in base.
std::string LoaderScriptPath();

}  // namespace CoreSystem
