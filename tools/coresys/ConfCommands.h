// The "coresys conf" subcommands: configuration images built from descriptions, checked and
// exported in the table-of-contents form.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "conf" with its subcommands build, check and export to `app`.
void AddConfCommands(CLI::App& app);

}  // namespace Coresys
