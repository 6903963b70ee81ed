// The "coresys nm" subcommands: create and list the notification registry, send NM messages to an
// endpoint and receive them as an endpoint's receiver.
#include "NmCommands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Command.h"
#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/ProcessSync.h"

namespace Coresys {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string RegistryObjectName() {
    return CoreSystem::Platform::SharedObjectName(NM::kRegistryName);
}

/// The registry this process is attached to; fails the command when there is none.
NM::RegistryHeader& AttachedRegistry() {
    NM::RegistryHeader* base = NM::Registry().base;
    if (!base) {
        Fail(kExitFailure, "no registry " + RegistryObjectName() + " (create it with 'coresys nm create')");
    }
    return *base;
}

/// Prints one line with a single write, so that the NM library's own lines (printed by its
/// threads) never split it, and flushes it for scripts that read as it comes.
void Say(const std::string& line) {
    std::cout << (line + '\n') << std::flush;
}

bool ProcessAlive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

/// A time limit given in seconds; anything beyond a year is as good as none.
milliseconds SecondsOption(double seconds) {
    return milliseconds(std::llround(std::min(seconds, 3.2e7) * 1000.0));
}

std::string SecondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

void CheckEndpointName(const std::string& name) {
    if (name.empty()) Fail(kExitUsage, "the endpoint name is empty");
    if (name.size() > static_cast<std::size_t>(NM::kMaxEndpointName)) {
        Fail(kExitUsage, "endpoint name '" + name + "' is longer than " +
                             std::to_string(NM::kMaxEndpointName) + " characters");
    }
}

/// Channel index of `endpoint` (claimed if new); fails without a registry or a free slot.
int ResolveEndpoint(NM::NMClient& client, const std::string& endpoint) {
    AttachedRegistry();
    const int channelIndex = client.getChannelIndex(endpoint.c_str());
    if (channelIndex < 0) {
        Fail(kExitFailure,
             "cannot claim endpoint '" + endpoint + "': registry " + RegistryObjectName() + " is full");
    }
    return channelIndex;
}

}  // namespace

// ---- hex payloads ---------------------------------------------------------------------------

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> ParseHex(const std::string& text, std::string& bytes) {
    if (text.size() % 2 != 0) return std::string("odd number of hex digits");
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return "'" + std::string(1, high < 0 ? text[i] : text[i + 1]) + "' is not a hex digit";
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return std::nullopt;
}

namespace {

std::string Hex(const char* data, int size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(static_cast<std::size_t>(size) * 2);
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// ---- held-back messages ---------------------------------------------------------------------
//
// A message that send() accepted was held back when the client queued it instead of handing it
// to a receiver. This command is the client's only sender and a queue lets no later message of
// its endpoint overtake it, so when anything is held back for the endpoint right after send()
// returned, this very message was queued; when nothing is, it went out directly (or was held
// back and has already left the queue). Held-back messages count as delivered once the queue is
// empty; the client's destructor waits for a delivery still under way. A held-back message that
// is lost because its receiver vanished right after publishing is not told apart: the NM layer
// reports that loss itself ("error pid ... sendMessage ...").

/// Waits at most `limit` until `client` holds nothing back for `channelIndex`.
bool WaitDelivered(NM::NMClient& client, int channelIndex, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (client.heldBack(channelIndex) > 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// ---- create ---------------------------------------------------------------------------------

void Create(int slotCount) {
    const std::string name = RegistryObjectName();
    // The process-wide client attached at start-up if the object was there then.
    if (NM::Registry().base) Fail(kExitFailure, "registry " + name + " already exists");
    if (!NM::createRegistry(slotCount)) {
        const int fd = CoreSystem::Platform::shm_open(NM::kRegistryName, O_RDONLY, 0);
        if (fd >= 0) {
            close(fd);
            Fail(kExitFailure, "registry " + name + " already exists");
        }
        Fail(kExitFailure, "cannot create registry " + name);
    }
    Say("registry " + name + " created with " + std::to_string(slotCount) + " slots");
}

// ---- list -----------------------------------------------------------------------------------

struct Endpoint {
    int index;
    std::string name;
    int pid;
    int chid;
    bool alive;
};

std::vector<Endpoint> ClaimedEndpoints(NM::RegistryHeader& header) {
    std::vector<Endpoint> endpoints;
    {
        // Names are claimed under the registry mutex; pid and chid are read as they stand.
        CoreSystem::Platform::ProcessLock lock(header.mutex);
        for (int i = 0; i < header.slotCount; ++i) {
            const NM::RegistrySlot& slot = NM::Registry().slots[i];
            if (static_cast<unsigned char>(slot.name[0]) == NM::kFreeSlotByte) continue;
            endpoints.push_back({i, std::string(slot.name, strnlen(slot.name, sizeof slot.name)),
                                 NM::SlotPid(i), NM::SlotChid(i), false});
        }
    }
    for (Endpoint& endpoint : endpoints) endpoint.alive = ProcessAlive(endpoint.pid);
    return endpoints;
}

void List(bool json) {
    NM::RegistryHeader& header = AttachedRegistry();
    const std::vector<Endpoint> endpoints = ClaimedEndpoints(header);
    if (json) {
        nlohmann::json document = {{"slots", header.slotCount}, {"endpoints", nlohmann::json::array()}};
        for (const Endpoint& e : endpoints) {
            document["endpoints"].push_back(
                {{"index", e.index}, {"name", e.name}, {"pid", e.pid}, {"chid", e.chid}, {"alive", e.alive}});
        }
        Say(document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    std::size_t nameWidth = 4;
    for (const Endpoint& e : endpoints) nameWidth = std::max(nameWidth, e.name.size());
    std::cout << "registry " << RegistryObjectName() << ": " << header.slotCount << " slots, "
              << endpoints.size() << " claimed\n";
    if (endpoints.empty()) {
        std::cout.flush();
        return;
    }
    std::cout << std::left << std::setw(6) << "INDEX" << std::setw(static_cast<int>(nameWidth) + 2) << "NAME"
              << std::right << std::setw(8) << "PID" << std::setw(6) << "CHID"
              << "  ALIVE\n";
    for (const Endpoint& e : endpoints) {
        std::cout << std::left << std::setw(6) << e.index << std::setw(static_cast<int>(nameWidth) + 2)
                  << e.name << std::right << std::setw(8) << e.pid << std::setw(6) << e.chid << "  "
                  << (e.alive ? "yes" : "no") << '\n';
    }
    std::cout.flush();
}

// ---- send -----------------------------------------------------------------------------------

struct SendOptions {
    std::string endpoint;
    std::vector<std::string> payloads;
    double timeoutSeconds = 5.0;
};

void Send(const SendOptions& options) {
    CheckEndpointName(options.endpoint);
    std::vector<std::string> messages(options.payloads.size());
    for (std::size_t i = 0; i < options.payloads.size(); ++i) {
        const std::string argument = "message " + std::to_string(i + 1);
        if (auto error = ParseHex(options.payloads[i], messages[i])) {
            Fail(kExitUsage, argument + " '" + options.payloads[i] + "': " + *error);
        }
        if (messages[i].size() > static_cast<std::size_t>(NM::kMaxPayload)) {
            Fail(kExitUsage, argument + " has " + std::to_string(messages[i].size()) +
                                 " bytes, more than the " + std::to_string(NM::kMaxPayload) +
                                 " an NM message can carry");
        }
    }

    std::vector<std::size_t> heldBack;
    std::size_t refused = 0;
    bool allDelivered = true;
    {
        NM::NMClient client(false);
        const int channelIndex = ResolveEndpoint(client, options.endpoint);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const int size = static_cast<int>(messages[i].size());
            const char* status = "delivered";
            if (client.send(channelIndex, messages[i].data(), size) != size) {
                status = "refused";
                ++refused;
            } else if (!WaitDelivered(client, channelIndex, milliseconds(0))) {
                status = "held back";
                heldBack.push_back(i + 1);
            }
            Say(std::to_string(i + 1) + ' ' + status);
        }
        if (!heldBack.empty()) {
            allDelivered = WaitDelivered(client, channelIndex, SecondsOption(options.timeoutSeconds));
        }
        // The destructor lets a delivery under way finish (with its "queue emptied" line) and
        // discards whatever is still held back.
    }

    if (!allDelivered) {
        std::ostringstream numbers;
        for (std::size_t n : heldBack) numbers << ' ' << n;
        Fail(kExitFailure, std::to_string(heldBack.size()) + " held-back message(s) to '" + options.endpoint +
                               "' not delivered within " + SecondsText(options.timeoutSeconds) +
                               " s:" + numbers.str());
    }
    for (std::size_t n : heldBack) Say(std::to_string(n) + " delivered");
    if (refused > 0) {
        Fail(kExitFailure, std::to_string(refused) + " of " + std::to_string(messages.size()) +
                               " message(s) to '" + options.endpoint + "' refused");
    }
}

// ---- listen ---------------------------------------------------------------------------------

std::atomic<bool> gStopListening{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

void StopListening(int) {
    gStopListening = true;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = StopListening;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void WriteReadyFile(const std::string& path) {
    std::ofstream file(path, std::ios::trunc);
    file << getpid() << '\n';
    file.close();
    if (!file) {
        Fail(kExitFailure, "cannot write ready file " + path + ": " +
                               std::error_code(errno, std::generic_category()).message());
    }
}

}  // namespace

void Listen(const ListenOptions& options, const MessageFormat& format) {
    CheckEndpointName(options.endpoint);
    InstallStopHandlers();
    // Polling mode: recvMsg returns at once when nothing is there, so the time limit and the
    // stop signals are noticed within one short sleep.
    NM::NMClient client(true);
    const int channelIndex = ResolveEndpoint(client, options.endpoint);
    if (client.openReceiveChannel(channelIndex) != channelIndex) {
        Fail(kExitFailure, "cannot become the receiver of '" + options.endpoint + "'");
    }
    if (!options.readyFile.empty()) WriteReadyFile(options.readyFile);

    std::optional<Clock::time_point> deadline;
    if (options.timeoutSeconds) deadline = Clock::now() + SecondsOption(*options.timeoutSeconds);
    std::vector<char> buffer(NM::kMaxPayload);
    int received = 0;
    while (!gStopListening) {
        int frameIndex = -1;
        const int size = client.recvMsg(&frameIndex, buffer.data(), NM::kMaxPayload);
        if (size >= 0) {
            const std::optional<std::string> line = format(frameIndex, buffer.data(), std::min(size, NM::kMaxPayload));
            if (!line) continue;
            Say(*line);
            if (options.count > 0 && ++received == options.count) return;
            continue;
        }
        if (deadline && Clock::now() >= *deadline) {
            if (options.count > 0) {
                Fail(kExitFailure, "timed out with " + std::to_string(options.count - received) + " of " +
                                       std::to_string(options.count) + " message(s) missing");
            }
            return;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
}

void AddNmCommands(CLI::App& app) {
    CLI::App* nm = app.add_subcommand("nm", "NM messaging: the notification registry and its endpoints");
    nm->require_subcommand(1);

    auto slotCount = std::make_shared<int>(64);
    CLI::App* create = nm->add_subcommand("create", "Create the notification registry");
    create->add_option("--slots", *slotCount, "Number of endpoint slots")
        ->capture_default_str()
        ->check(CLI::Range(0, 1 << 20));
    create->callback([slotCount] { Create(*slotCount); });

    auto json = std::make_shared<bool>(false);
    CLI::App* list = nm->add_subcommand("list", "Show the claimed endpoints and their receivers");
    list->add_flag("--json", *json, "Print one JSON document");
    list->callback([json] { List(*json); });

    auto send = std::make_shared<SendOptions>();
    CLI::App* sendCommand = nm->add_subcommand(
        "send", "Send one message per hex argument; wait for the delivery of held-back ones");
    sendCommand->add_option("endpoint", send->endpoint, "Endpoint name")->required();
    sendCommand->add_option("hex", send->payloads, "Payload as hex digits ('' for none)")->required();
    sendCommand
        ->add_option("--timeout", send->timeoutSeconds,
                     "Seconds to wait for the delivery of held-back messages")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sendCommand->callback([send] { Send(*send); });

    auto listen = std::make_shared<ListenOptions>();
    CLI::App* listenCommand = nm->add_subcommand(
        "listen", "Become an endpoint's receiver and print '<channel index> <hex payload>' lines");
    listenCommand->add_option("endpoint", listen->endpoint, "Endpoint name")->required();
    listenCommand->add_option("--count", listen->count, "Exit after this many messages")
        ->check(CLI::PositiveNumber);
    listenCommand
        ->add_option("--timeout", listen->timeoutSeconds,
                     "Seconds to listen (default: until SIGINT or SIGTERM)")
        ->check(CLI::NonNegativeNumber);
    listenCommand->add_option("--ready-file", listen->readyFile,
                              "File to create once the endpoint's receiver is published");
    listenCommand->callback([listen] {
        Listen(*listen, [](int index, const char* data, int size) -> std::optional<std::string> {
            return std::to_string(index) + ' ' + Hex(data, size);
        });
    });
}

}  // namespace Coresys
