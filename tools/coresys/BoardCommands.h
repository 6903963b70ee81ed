// The "coresys board" subcommands: create the simulated board, program and read its OTP banks and
// physical memory, read its event log, inject device failures and reach its registers.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "board" with its subcommands to `app`.
void AddBoardCommands(CLI::App& app);

}  // namespace Coresys
