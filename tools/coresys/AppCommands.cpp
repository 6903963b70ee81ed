// "coresys app NAME": runs a CoreSystem::ApplicationManager under NAME on the simulated device and
// carries out one command per input line (docs/coresys-app.md), answering each with one flushed
// JSON line that holds "ok".
#include "AppCommands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "CoreSystem/Application/ApplicationManager.h"
#include "CoreSystem/NM/Registry.h"
#include "DbCommands.h"
#include "Registers.h"

namespace Coresys {
namespace {

using CoreSystem::ApplicationManager;
using CoreSystem::ApplicationMessage;
using nlohmann::json;
using Message = std::unique_ptr<ApplicationMessage>;

/// A command that cannot be carried out: its answer is {"ok": false, "error": what()}.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct AppOptions {
    std::string name;
    bool withoutEndpoint = false;
    bool polling = false;
};

/// The words of a command line; double quotes group words (with \" and \\ inside).
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> std::ws && !in.eof();) {
        if (!(in >> std::quoted(word))) throw Refused("unreadable command line");
        words.push_back(word);
    }
    return words;
}

std::uint64_t Unsigned(const std::string& text, std::uint64_t max, const char* what) {
    const auto number = ParseNumber(text, max);
    if (!number) throw Refused(std::string(what) + " '" + text + "' is not a number from 0 to " + std::to_string(max));
    return *number;
}

int Local(const std::string& text) {
    return static_cast<int>(Unsigned(text, std::numeric_limits<std::int32_t>::max(), "local number"));
}

double Value(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') throw Refused("'" + text + "' is not a number");
    return value;
}

/// A message of id `id` whose payload is the bytes of the hex text `hex` (none when empty).
ApplicationMessage Built(std::uint32_t id, const std::string& hex) {
    std::string payload;
    if (const auto error = ParseHex(hex, payload)) throw Refused("payload: " + *error);
    if (payload.size() > static_cast<std::size_t>(CoreSystem::kReceiveScratchBytes) - ApplicationMessage::kIdBytes)
        throw Refused("payload of " + std::to_string(payload.size()) + " bytes: a message holds at most " +
                      std::to_string(CoreSystem::kReceiveScratchBytes - ApplicationMessage::kIdBytes));
    ApplicationMessage message(static_cast<std::uint32_t>(payload.size()));
    message.setId(id);
    std::copy(payload.begin(), payload.end(), message.data() + ApplicationMessage::kIdBytes);
    return message;
}

void Arguments(const std::vector<std::string>& words, std::size_t least, std::size_t most, const char* usage) {
    if (words.size() < least + 1 || words.size() > most + 1) throw Refused(std::string("usage: ") + usage);
}

/// Messages of a blocking manager, taken by a thread of their own so that a command can wait for
/// one with a time limit.
class Inbox {
public:
    explicit Inbox(ApplicationManager& manager) : manager_(manager), thread_([this] { run(); }) {}
    /// Stops the thread: it wakes up with a message sent to the manager's own endpoint.
    ~Inbox() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        ApplicationMessage wake(0);
        manager_.sendToSelf(wake);
        thread_.join();
    }
    /// The oldest message, waiting at most `limit` (none: without limit); null when none came.
    Message take(std::optional<std::chrono::milliseconds> limit) {
        std::unique_lock<std::mutex> hold(lock_);
        auto ready = [this] { return !messages_.empty(); };
        if (limit) {
            available_.wait_for(hold, *limit, ready);
        } else {
            available_.wait(hold, ready);
        }
        if (messages_.empty()) return nullptr;
        Message message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

private:
    void run() {
        for (;;) {
            Message message(manager_.receive());
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_) return;
            if (message) messages_.push_back(std::move(message));
            available_.notify_all();
        }
    }

    ApplicationManager& manager_;
    std::mutex lock_;  ///< guards messages_ and stopping_
    std::condition_variable available_;
    std::deque<Message> messages_;
    bool stopping_ = false;
    std::thread thread_;
};

class Session {
public:
    Session(const AppOptions& options, ApplicationManager& manager) : options_(options), manager_(manager) {
        if (!options.polling && manager.ownKey() >= 0) inbox_ = std::make_unique<Inbox>(manager);
    }

    /// Carries out one command line; false after "quit".
    bool run(const std::string& line) {
        json answer;
        bool more = true;
        try {
            const std::vector<std::string> words = Words(line);
            if (words.empty()) return true;
            answer = {{"ok", true}};
            more = carryOut(words, answer);
        } catch (const std::exception& error) {  // Refused, and the messaging layer's size limit
            answer = {{"ok", false}, {"error", error.what()}};
        }
        std::cout << (answer.dump() + "\n") << std::flush;
        return more;
    }

private:
    const CoreSystem::ApplicationRecord& record() const {
        const CoreSystem::ApplicationRecord* record = manager_.tables().find(-1);
        if (!record) throw Refused("the configuration has no application named '" + options_.name + "'");
        return *record;
    }
    /// The LOCAL of a command with `least` to `most` arguments, when `map` (of the application's
    /// `what`s) lists it.
    template <typename Map>
    static int LocalIn(const std::vector<std::string>& words, std::size_t least, std::size_t most, const char* usage,
                       const Map& map, const char* what) {
        Arguments(words, least, most, usage);
        const int local = Local(words[1]);
        if (map.find(local) == map.end()) throw Refused(std::string("no local ") + what + " " + std::to_string(local));
        return local;
    }

    Message receive(const std::vector<std::string>& words) {
        Arguments(words, 0, 1, "receive [TIMEOUT_MS]");
        std::optional<std::chrono::milliseconds> limit;
        if (words.size() == 2) limit = std::chrono::milliseconds(Unsigned(words[1], 86400000, "time-out"));
        if (inbox_) return inbox_->take(limit);
        const auto deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds(0));
        if (!options_.polling) {  // a blocking manager without endpoint: nothing can arrive
            std::this_thread::sleep_until(deadline);
            return nullptr;
        }
        for (;;) {
            if (Message message{manager_.receive()}) return message;
            if (std::chrono::steady_clock::now() >= deadline) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool carryOut(const std::vector<std::string>& words, json& answer) {
        const std::string& command = words[0];
        if (command == "quit") {
            Arguments(words, 0, 0, "quit");
            return false;
        }
        if (command == "key") {
            answer["key"] = manager_.ownKey();
        } else if (command == "receive") {
            const Message message = receive(words);
            if (message) {
                answer["id"] = message->id();
                answer["channelIndex"] = message->channelIndex;
                answer["payload"] =
                    Hex(message->data() + ApplicationMessage::kIdBytes, message->payloadSize());
            } else {
                answer["none"] = true;
            }
        } else if (command == "post-event") {
            const int local = LocalIn(words, 1, 2, "post-event LOCAL [HEX]", record().events, "event");
            if (words.size() == 3) {
                ApplicationMessage message = Built(0, words[2]);
                manager_.postApplicationEvent(local, message);
            } else {
                manager_.postApplicationEvent(local);
            }
            answer["eventId"] = record().events.at(local);
        } else if (command == "set-var") {
            const int local = LocalIn(words, 2, 2, "set-var LOCAL VALUE", record().variables, "variable");
            manager_.setLocalVariable(local, Value(words[2]));
        } else if (command == "set-vars") {
            if (words.size() < 2) throw Refused("usage: set-vars LOCAL=VALUE ...");
            std::vector<int> ids;
            std::vector<double> values;
            for (std::size_t i = 1; i < words.size(); ++i) {
                const std::size_t equals = words[i].find('=');
                if (equals == std::string::npos) throw Refused("'" + words[i] + "' is not LOCAL=VALUE");
                ids.push_back(Local(words[i].substr(0, equals)));
                values.push_back(Value(words[i].substr(equals + 1)));
            }
            record();
            const unsigned written =
                manager_.setLocalVariables(static_cast<unsigned>(ids.size()), ids.data(), values.data());
            answer["ids"] = std::vector<int>(ids.begin(), ids.begin() + written);
            answer["values"] = std::vector<double>(values.begin(), values.begin() + written);
        } else if (command == "var-text") {
            const int local = LocalIn(words, 1, 1, "var-text LOCAL", record().variables, "variable");
            answer["text"] = manager_.variableText(local);
        } else if (command == "set-string") {
            if (words.size() == 4 && words[3] != "all") throw Refused("usage: set-string LOCAL TEXT [all]");
            const int local =
                LocalIn(words, 2, 3, "set-string LOCAL TEXT [all]", record().reservedStrings, "reserved string");
            manager_.setReservedString(local, words[2], words.size() == 4 ? 1 : 0);
        } else if (command == "string-id") {
            const int local = LocalIn(words, 1, 1, "string-id LOCAL", record().reservedStrings, "reserved string");
            answer["id"] = manager_.reservedStringId(local);
        } else if (command == "string-text") {
            const int local = LocalIn(words, 2, 2, "string-text LOCAL COUNTER", record().reservedStrings, "reserved string");
            answer["text"] = manager_.reservedStringText(
                local, static_cast<int>(Unsigned(words[2], std::numeric_limits<std::uint32_t>::max(), "counter")));
        } else if (command == "nvmgr") {
            nvmgr(words);
        } else if (command == "send-to") {
            Arguments(words, 2, 3, "send-to APP ID [HEX]");
            ApplicationMessage message = Built(static_cast<std::uint32_t>(Unsigned(words[2], 0xFFFFFFFFu, "id")),
                                               words.size() == 4 ? words[3] : "");
            manager_.sendToApplication(words[1], message);
        } else if (command == "send-self") {
            Arguments(words, 1, 2, "send-self ID [HEX]");
            if (manager_.ownKey() < 0) throw Refused("this manager has no endpoint of its own");
            ApplicationMessage message = Built(static_cast<std::uint32_t>(Unsigned(words[1], 0xFFFFFFFFu, "id")),
                                               words.size() == 3 ? words[2] : "");
            manager_.sendToSelf(message);
        } else {
            throw Refused("unknown command '" + command + "' (see coresys app --help)");
        }
        return true;
    }

    void nvmgr(const std::vector<std::string>& words) {
        if (words.size() < 2) throw Refused("usage: nvmgr 0 ARG | nvmgr 2 | nvmgr 6 ARG");
        const std::string& action = words[1];
        bool sent = false;
        if (action == "2") {
            Arguments(words, 1, 1, "nvmgr 2");
            sent = manager_.postNVMgrAction2();
        } else if (action == "0" || action == "6") {
            Arguments(words, 2, 2, "nvmgr 0|6 ARG");
            const auto argument = static_cast<std::uint32_t>(Unsigned(words[2], 0xFFFFFFFFu, "argument"));
            sent = action == "0" ? manager_.postNVMgrAction0(argument) : manager_.postNVMgrAction6(argument);
        } else {
            throw Refused("NVMgr requests are 0, 2 and 6");
        }
        if (!sent) {
            const auto& tables = manager_.tables();
            const auto& id = action == "0" ? tables.nvmgrAction0 : action == "2" ? tables.nvmgrAction2 : tables.nvmgrAction6;
            throw Refused(id ? "NVMgrAction refused the message"
                             : "the configuration gives no id for NVMgr's action " + action + ": nothing sent");
        }
    }

    const AppOptions& options_;
    ApplicationManager& manager_;
    std::unique_ptr<Inbox> inbox_;  ///< blocking managers with an endpoint only
};

void RunApp(const AppOptions& options) {
    if (!NM::Registry().base) Fail(kExitFailure, "no notification registry (create it with 'coresys nm create')");
    OpenDatabase();
    ApplicationManager manager(options.name, options.polling, options.withoutEndpoint);
    Session session(options, manager);
    std::cout << (json{{"ok", true}, {"ready", true}, {"name", options.name}, {"key", manager.ownKey()}}.dump() + "\n")
              << std::flush;
    for (std::string line; std::getline(std::cin, line);)
        if (!session.run(line)) break;
}

}  // namespace

void AddAppCommand(CLI::App& app) {
    auto options = std::make_shared<AppOptions>();
    CLI::App* command = app.add_subcommand(
        "app",
        "Run an application manager under NAME, driven by one command per line on standard input:\n"
        "  receive [TIMEOUT_MS] | post-event LOCAL [HEX] | set-var LOCAL VALUE |\n"
        "  set-vars LOCAL=VALUE ... | var-text LOCAL | set-string LOCAL TEXT [all] | string-id LOCAL |\n"
        "  string-text LOCAL COUNTER | nvmgr 0 ARG | nvmgr 2 | nvmgr 6 ARG | send-to APP ID [HEX] |\n"
        "  send-self ID [HEX] | key | quit\n"
        "Each is answered by one JSON line with \"ok\" (docs/coresys-app.md).");
    command->add_option("name", options->name, "Application name in the configuration")->required();
    command->add_flag("--without-endpoint", options->withoutEndpoint, "Open no \"<NAME>Action\" endpoint");
    command->add_flag("--polling", options->polling, "Receive without blocking");
    command->callback([options] { RunApp(*options); });
}

}  // namespace Coresys
