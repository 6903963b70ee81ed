// The hardware commands of coresys: "otp read|write" and "hwinfo" through the framework's OTP
// reader and getters, and "board checksum|shutdown" (docs/coresys-hardware.md).
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "otp" and "hwinfo" to `app`, and "checksum" and "shutdown" to its "board" subcommand
/// (AddBoardCommands runs first).
void AddHardwareCommands(CLI::App& app);

}  // namespace Coresys
