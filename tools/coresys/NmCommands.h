// The "coresys nm" subcommands: the notification registry's creator and inspector, and a sender
// and a receiver of NM messages for people and scripts.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace Coresys {

/// Adds "nm" with its subcommands create, list, send and listen to `app`.
void AddNmCommands(CLI::App& app);

/// What a receiving command does.
struct ListenOptions {
    std::string endpoint;
    int count = 0;  ///< 0: no limit
    std::optional<double> timeoutSeconds;
    std::string readyFile;  ///< created (holding the pid) once the receiver is published
};

/// The line printed for one received message (channel index, payload), or none to skip it
/// (skipped messages do not count).
using MessageFormat = std::function<std::optional<std::string>(int index, const char* data, int size)>;

/// Becomes the receiver of the endpoint and prints one flushed line per message until `count`
/// messages were printed, the time limit passed (a failure when a count was given) or SIGINT or
/// SIGTERM arrived.
void Listen(const ListenOptions& options, const MessageFormat& format);

}  // namespace Coresys
