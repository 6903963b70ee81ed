// What every coresys subcommand shares: how it ends with an exit status and an error line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace Coresys {

/// Exit status of a command that failed at run time.
inline constexpr int kExitFailure = 1;
/// Exit status of a command line that cannot be carried out as written (bad arguments).
inline constexpr int kExitUsage = 2;

/// Ends the running subcommand: prints "coresys: <message>" on standard error and makes the
/// program exit with `status`. Call it from a subcommand's callback only.
[[noreturn]] void Fail(int status, const std::string& message);

/// Bytes written as hex digits (case-insensitive, two per byte) into `bytes`; the reason they are
/// not, when they are not.
std::optional<std::string> ParseHex(const std::string& text, std::string& bytes);
/// `size` bytes as lower-case hex digits, two per byte.
std::string Hex(const void* data, std::size_t size);

}  // namespace Coresys
