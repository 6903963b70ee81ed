// "coresys screen-service": the simulated device's screen service, which serves the screen
// requests of FrameGrab and the framework's screen action client.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "screen-service" to `app`.
void AddScreenServiceCommand(CLI::App& app);

}  // namespace Coresys
