// "coresys app NAME": an application manager process that a person or a script drives with one
// command per line on standard input, answered by one JSON object per line.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "app" to `app`.
void AddAppCommand(CLI::App& app);

}  // namespace Coresys
