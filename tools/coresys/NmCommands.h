// The "coresys nm" subcommands: the notification registry's creator and inspector, and a sender
// and a receiver of NM messages for people and scripts.
#pragma once

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "nm" with its subcommands create, list, send, listen, unclaim and destroy to `app`.
void AddNmCommands(CLI::App& app);

/// True when process `pid` exists (also when it belongs to another user).
bool ProcessAlive(int pid);
/// Pid of the live process, other than this one, that receives for `channelIndex`; 0 for none.
int LiveReceiver(int channelIndex);

}  // namespace Coresys
