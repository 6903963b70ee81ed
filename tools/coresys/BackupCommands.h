// The "coresys backup" subcommands: a look at a backup file's link and copies.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "backup" with its subcommand show to `app`.
void AddBackupCommands(CLI::App& app);

}  // namespace Coresys
