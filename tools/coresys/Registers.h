// The board's register shell commands in32 and out32, shared by "coresys board" and the programs
// named in32 and out32 (the target's shell commands): registers are reached through the same
// device calls as the framework's, so every store shows in the board's log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Coresys {

/// A number as the register commands take it: "0x" and hex digits, or decimal digits, at most
/// `max`; nullopt for anything else.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max);

/// Runs "in32 ADDRESS" or "out32 ADDRESS VALUE" (`name` says which) with `args`: in32 prints the
/// value as 0x%08x. Errors go to standard error as "<prefix>: ...". Returns the exit status.
int RunRegisterCommand(const std::string& name, const std::vector<std::string>& args,
                       const std::string& prefix);

}  // namespace Coresys
