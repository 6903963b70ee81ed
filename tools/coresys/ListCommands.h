// The shared lists on the simulated device: "coresys lists ...".
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds the "lists" group: the owner's start and saves, and a shell that pages through and edits
/// the lists with the framework's operations.
void AddListCommands(CLI::App& app);

}  // namespace Coresys
