// "coresys db ...": the owner of the shared variables database on the simulated device, and a
// shell onto it through the framework's database client.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "db" with create, get, set, set-many, list, invalidate, step, text and watch.
void AddDbCommands(CLI::App& app);

/// Opens the database as a client does; fails the command when there is no database or no
/// loaded configuration image (a client would wait for the loader without end).
void OpenDatabase();

}  // namespace Coresys
