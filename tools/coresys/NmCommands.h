// The "coresys nm" subcommands: the notification registry's creator and inspector, and a sender
// and a receiver of NM messages for people and scripts.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "nm" with its subcommands create, list, send and listen to `app`.
void AddNmCommands(CLI::App& app);

}  // namespace Coresys
