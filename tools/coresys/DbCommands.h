// "coresys db ...": the owner of the shared variables database on the simulated device, and a
// shell onto it through the framework's database client.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "db" with create, get, set, set-many, list, invalidate, step, text and watch.
void AddDbCommands(CLI::App& app);

}  // namespace Coresys
