// The shared configuration image on the simulated device: "coresys conf load|dump" and
// "coresys strings get|set|copy|compose".
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds load and dump to the "conf" subcommand (which must exist already) and the "strings" group.
void AddImageCommands(CLI::App& app);

}  // namespace Coresys
