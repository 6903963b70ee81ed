// "coresys screen-service": receives the screen requests sent to "ScreenAction" and
// "ScreenshotAction", logs each one, writes screenshots as PNG files and posts
// "/ScreenShotWaiting" once each screenshot request has been handled.
#include "ScreenService.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Command.h"
#include "NmCommands.h"
#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"
#include "ScreenActionClient.h"
#include "ScreenCapture.h"

namespace Coresys {
namespace {

constexpr const char* kDefaultFramebuffer = "/dev/fb0";
constexpr int kMaxPatternSide = 4096;
/// Request code of the frame the service sends itself to leave its receive loop.
constexpr std::int32_t kWakeCode = -1;

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

/// One line on standard output in one write, flushed: the NM library's own lines never split it.
void Say(const std::string& line) {
    std::cout << (line + '\n') << std::flush;
}

/// A problem the service survives, on standard error.
void Complain(const std::string& message) {
    std::cerr << ("coresys: screen-service: " + message + '\n') << std::flush;
}

// ---- image sources --------------------------------------------------------------------------

enum class SourceKind { Pattern, Framebuffer, X11 };

struct Source {
    SourceKind kind = SourceKind::Pattern;
    std::string device;  ///< framebuffer device
    int width = 320;     ///< test card size
    int height = 240;

    std::string name() const {
        switch (kind) {
            case SourceKind::Pattern:
                return "pattern";
            case SourceKind::Framebuffer:
                return "fb:" + device;
            case SourceKind::X11:
                return "x11";
        }
        return "?";
    }
};

bool Readable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

/// A side of the test card: a decimal number from 1 to kMaxPatternSide.
bool ParseSide(const char* begin, const char* end, int& side) {
    const auto [rest, error] = std::from_chars(begin, end, side);
    return error == std::errc() && rest == end && side >= 1 && side <= kMaxPatternSide;
}

void ParseSize(const std::string& text, Source& source) {
    const std::size_t x = text.find('x');
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (x == std::string::npos || !ParseSide(begin, begin + x, source.width) ||
        !ParseSide(begin + x + 1, end, source.height)) {
        Fail(kExitUsage, "--size '" + text + "' is not WIDTHxHEIGHT with sides from 1 to " +
                             std::to_string(kMaxPatternSide));
    }
}

/// The source named on the command line. An explicit x11 or fb source must be usable now.
Source ChooseSource(const std::string& text, const std::string& size) {
    Source source;
    ParseSize(size, source);
    const std::string defaultDevice = CoreSystem::Platform::DevicePath(kDefaultFramebuffer);
    if (text == "auto") {
        if (DisplayAvailable()) {
            source.kind = SourceKind::X11;
        } else if (Readable(defaultDevice)) {
            source.kind = SourceKind::Framebuffer;
            source.device = defaultDevice;
        }
    } else if (text == "pattern") {
        source.kind = SourceKind::Pattern;
    } else if (text == "x11") {
        if (!DisplayAvailable()) {
            const char* display = std::getenv("DISPLAY");
            Fail(kExitFailure, display ? "cannot open X11 display '" + std::string(display) + "'"
                                       : "--source x11 needs DISPLAY");
        }
        source.kind = SourceKind::X11;
    } else if (text == "fb" || text.rfind("fb:", 0) == 0) {
        source.kind = SourceKind::Framebuffer;
        source.device = text == "fb" ? defaultDevice : text.substr(3);
        if (source.device.empty()) Fail(kExitUsage, "--source fb: names no device");
        if (!Readable(source.device)) {
            Fail(kExitFailure, "cannot read framebuffer " + source.device + ": " + ErrnoText(errno));
        }
    } else {
        Fail(kExitUsage, "unknown --source '" + text + "' (pattern, fb, fb:DEVICE, x11 or auto)");
    }
    return source;
}

bool Capture(const Source& source, Image& image, std::string& error) {
    switch (source.kind) {
        case SourceKind::Pattern:
            image = TestPattern(source.width, source.height);
            return true;
        case SourceKind::Framebuffer:
            return CaptureFramebuffer(source.device, image, error);
        case SourceKind::X11:
            return CaptureX11(image, error);
    }
    return false;
}

// ---- requests -------------------------------------------------------------------------------

struct Request {
    bool wellFormed = false;
    const char* problem = "";
    std::int32_t code = 0;
    std::vector<std::int32_t> words;
    bool hasText = false;
    std::string text;
    std::string tail;  ///< bytes after the last whole word of a request without text
};

/// The signed 32-bit little-endian word at `offset`.
std::int32_t WordAt(const char* data, std::size_t offset) {
    std::uint32_t word = 0;
    for (std::size_t b = 4; b-- > 0;) word = (word << 8) | static_cast<unsigned char>(data[offset + b]);
    return static_cast<std::int32_t>(word);
}

bool IsTextRequest(std::int32_t code) {
    return code == kScreenshotRequest || code == 101;
}

Request ParseRequest(const char* data, std::size_t size) {
    Request request;
    if (size < 4) {
        request.problem = "shorter than 4 bytes";
        return request;
    }
    request.code = WordAt(data, 0);
    if (IsTextRequest(request.code)) {
        const void* end = size > 12 ? std::memchr(data + 12, 0, size - 12) : nullptr;
        if (!end) {
            request.problem = "text without NUL";
            return request;
        }
        request.words = {WordAt(data, 4), WordAt(data, 8)};
        request.hasText = true;
        request.text.assign(data + 12, static_cast<const char*>(end));
    } else {
        std::size_t offset = 4;
        for (; offset + 4 <= size; offset += 4) request.words.push_back(WordAt(data, offset));
        request.tail.assign(data + offset, size - offset);
    }
    request.wellFormed = true;
    return request;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

/// `text` in double quotes, with \" \\ and \xNN for every byte outside printable ASCII.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            quoted += "\\x" + Hex(std::string(1, c));
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string LogLine(const std::string& endpoint, const Request& request, std::size_t size) {
    if (!request.wellFormed) {
        return "malformed endpoint=" + endpoint + " size=" + std::to_string(size) +
               " reason=" + Quoted(request.problem);
    }
    std::string line = "request endpoint=" + endpoint + " code=" + std::to_string(request.code) + " words=";
    for (std::size_t i = 0; i < request.words.size(); ++i) {
        if (i > 0) line += ',';
        line += std::to_string(request.words[i]);
    }
    if (request.hasText) line += " text=" + Quoted(request.text);
    if (!request.tail.empty()) line += " tail=" + Hex(request.tail);
    return line;
}

// ---- the semaphore --------------------------------------------------------------------------

/// "/ScreenShotWaiting" in the host namespace: created or reused, emptied of posts left by an
/// earlier service (they would release the next command before its file exists), and removed
/// when the service ends.
class DoneSemaphore {
public:
    DoneSemaphore() {
        semaphore_ = CoreSystem::Platform::sem_open(kScreenshotSemaphore, O_CREAT, 0666, 0);
        if (semaphore_ == SEM_FAILED) {
            Fail(kExitFailure, "cannot create semaphore " +
                                   CoreSystem::Platform::SharedObjectName(kScreenshotSemaphore) + ": " +
                                   ErrnoText(errno));
        }
        while (sem_trywait(semaphore_) == 0) {
        }
    }
    ~DoneSemaphore() {
        CoreSystem::Platform::sem_unlink(kScreenshotSemaphore);
        sem_close(semaphore_);
    }
    DoneSemaphore(const DoneSemaphore&) = delete;
    DoneSemaphore& operator=(const DoneSemaphore&) = delete;

    void post() {
        if (sem_post(semaphore_) != 0) {
            Complain("cannot post " + std::string(kScreenshotSemaphore) + ": " + ErrnoText(errno));
        }
    }

private:
    sem_t* semaphore_;
};

// ---- stopping -------------------------------------------------------------------------------

/// Turns SIGINT and SIGTERM into a stop request. Blocks both in the constructing thread (and so
/// in every thread it starts later); one thread takes them with sigwait, sets the flag and calls
/// the wake function, which makes the blocked receive loop return.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] { waitForSignal(); });
    }
    /// Ends the signal thread. SIGINT and SIGTERM stay blocked: one arriving now changes nothing.
    ~StopSignals() {
        bool signalled;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            finished_ = true;
            signalled = requested_;
        }
        if (!signalled) {
            // Blocked in every thread, SIGTERM only ends the thread's sigwait.
            pthread_kill(thread_.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
        }
        thread_.join();
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// Sets the function that wakes the receive loop. Returns false when a stop was requested
    /// before: then nobody will call it.
    bool setWake(std::function<void()> wake) {
        std::lock_guard<std::mutex> hold(mutex_);
        wake_ = std::move(wake);
        return !requested_;
    }
    /// Forgets the wake function (before what it uses goes away).
    void clearWake() {
        std::lock_guard<std::mutex> hold(mutex_);
        wake_ = nullptr;
    }
    bool requested() const { return requestedFlag_.load(); }

private:
    void waitForSignal() {
        int signal = 0;
        while (sigwait(&signals_, &signal) != 0) {
        }
        std::lock_guard<std::mutex> hold(mutex_);
        if (finished_) return;
        requested_ = true;
        requestedFlag_ = true;
        if (wake_) wake_();
    }

    sigset_t signals_;
    std::mutex mutex_;
    bool finished_ = false;       ///< guarded by mutex_
    bool requested_ = false;      ///< guarded by mutex_
    std::function<void()> wake_;  ///< guarded by mutex_
    std::atomic<bool> requestedFlag_{false};
    std::thread thread_;
};

/// A connection to this process's own receive channel, on which the stop request sends one
/// frame addressed to `channelIndex` that the receive loop recognises. It goes to the channel
/// directly, not through the registry, so it arrives whoever the registry names meanwhile.
class SelfConnection {
public:
    SelfConnection(int channelIndex, int chid)
        : channelIndex_(channelIndex),
          coid_(CoreSystem::Platform::ConnectAttach(0, 0, chid, _NTO_SIDE_CHANNEL, 0)) {
        if (coid_ == -1) {
            Fail(kExitFailure, "cannot connect to the service's own receive channel: " + ErrnoText(errno));
        }
    }
    ~SelfConnection() { CoreSystem::Platform::ConnectDetach(coid_); }
    SelfConnection(const SelfConnection&) = delete;
    SelfConnection& operator=(const SelfConnection&) = delete;

    void sendWake() const {
        const std::int32_t frame[3] = {channelIndex_, kWakeCode, static_cast<std::int32_t>(getpid())};
        CoreSystem::Platform::MsgSend(coid_, frame, sizeof frame, nullptr, 0);
    }
    static bool IsWake(const char* data, int size) {
        return size == 8 && WordAt(data, 0) == kWakeCode &&
               WordAt(data, 4) == static_cast<std::int32_t>(getpid());
    }

private:
    int channelIndex_;
    int coid_;
};

// ---- the service ----------------------------------------------------------------------------

struct Options {
    std::string source = "auto";
    std::string size = "320x240";
    std::string readyFile;
    bool once = false;
};

std::string RegistryObjectName() {
    return CoreSystem::Platform::SharedObjectName(NM::kRegistryName);
}

/// Resolves `endpoint` and fails when it cannot be claimed or another live process serves it.
int ClaimEndpoint(NM::NMClient& client, const char* endpoint) {
    const int channelIndex = client.getChannelIndex(endpoint);
    if (channelIndex < 0) {
        Fail(kExitFailure, "cannot claim endpoint '" + std::string(endpoint) + "': registry " +
                               RegistryObjectName() + " is full");
    }
    if (const int pid = LiveReceiver(channelIndex)) {
        Fail(kExitFailure,
             "endpoint '" + std::string(endpoint) + "' is already served by process " + std::to_string(pid));
    }
    return channelIndex;
}

void Publish(NM::NMClient& client, int channelIndex, const char* endpoint) {
    if (client.openReceiveChannel(channelIndex) != channelIndex || NM::SlotPid(channelIndex) != getpid() ||
        NM::SlotChid(channelIndex) == -1) {
        Fail(kExitFailure, "cannot become the receiver of '" + std::string(endpoint) + "'");
    }
}

void WriteReadyFile(const std::string& path) {
    std::ofstream file(path, std::ios::trunc);
    file << getpid() << '\n';
    file.close();
    if (!file) Fail(kExitFailure, "cannot write ready file " + path + ": " + ErrnoText(errno));
}

/// The reasons of failed screenshots, each left in a shared-memory object for the FrameGrab that
/// waits for it (ScreenshotFailureName). The objects it made are removed when the service stops.
class FailureNotes {
public:
    FailureNotes() = default;
    ~FailureNotes() {
        for (const std::string& name : names_) CoreSystem::Platform::shm_unlink(name.c_str());
    }
    FailureNotes(const FailureNotes&) = delete;
    FailureNotes& operator=(const FailureNotes&) = delete;

    void leave(const std::string& path, const std::string& reason) {
        const std::string name = ScreenshotFailureName(path);
        const int fd = CoreSystem::Platform::shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        const std::string text = reason.substr(0, kMaxFailureReason);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            Complain("cannot leave the reason for " + path + " in " + name + ": " + ErrnoText(errno));
        }
        if (fd >= 0) close(fd);
        if (std::find(names_.begin(), names_.end(), name) == names_.end()) names_.push_back(name);
    }

private:
    std::vector<std::string> names_;
};

void TakeScreenshot(const Source& source, const std::string& path, DoneSemaphore& done, FailureNotes& failures) {
    Image image;
    std::string error;
    if (Capture(source, image, error) && WritePngFile(path, image, error)) {
        Say("screenshot path=" + Quoted(path) + " written=" + std::to_string(image.width) + "x" +
            std::to_string(image.height) + " source=" + source.name());
        done.post();
    } else {
        // No post: whoever waits must not take a failure for a written file. The reason is left
        // for it instead.
        Say("screenshot path=" + Quoted(path) + " failed source=" + source.name());
        Complain(error);
        failures.leave(path, error);
    }
}

void Serve(const Options& options) {
    Source source = ChooseSource(options.source, options.size);

    StopSignals stop;  // before any thread of the client starts, so that all inherit the mask
    NM::NMClient client(false);
    if (!NM::Registry().base) {
        Fail(kExitFailure, "no registry " + RegistryObjectName() + " (create it with 'coresys nm create')");
    }
    const int screenActionIndex = ClaimEndpoint(client, kScreenActionEndpoint);
    const int screenshotActionIndex = ClaimEndpoint(client, kScreenshotActionEndpoint);
    // Removed before the endpoints are withdrawn: a command that comes too late then finds no
    // semaphore and does not wait for a service that is gone.
    DoneSemaphore done;
    FailureNotes failures;
    Publish(client, screenActionIndex, kScreenActionEndpoint);
    Publish(client, screenshotActionIndex, kScreenshotActionEndpoint);
    SelfConnection self(screenActionIndex, NM::SlotChid(screenActionIndex));
    const bool running = stop.setWake([&self] { self.sendWake(); });
    struct WakeGuard {
        StopSignals& stop;
        ~WakeGuard() { stop.clearWake(); }  // before `self` goes, on every way out
    } wakeGuard{stop};

    if (!options.readyFile.empty()) WriteReadyFile(options.readyFile);
    Say("ready source=" + source.name());

    std::vector<char> buffer(NM::kMaxPayload);
    while (running) {
        int channelIndex = -1;
        const int size = client.recvMsg(&channelIndex, buffer.data(), NM::kMaxPayload);
        const bool stopping = stop.requested();
        if (size >= 0 && !(stopping && SelfConnection::IsWake(buffer.data(), size))) {
            const std::size_t kept = static_cast<std::size_t>(std::min(size, NM::kMaxPayload));
            const std::string endpoint = channelIndex == screenActionIndex ? kScreenActionEndpoint
                                         : channelIndex == screenshotActionIndex
                                             ? kScreenshotActionEndpoint
                                             : "#" + std::to_string(channelIndex);
            const Request request = ParseRequest(buffer.data(), kept);
            Say(LogLine(endpoint, request, kept));
            if (request.wellFormed && request.code == kScreenshotRequest) {
                TakeScreenshot(source, request.text, done, failures);
                if (options.once) break;
            }
        }
        if (stopping) break;
    }
}

constexpr const char* kFooter = R"(
Serves the screen requests of the simulated device: becomes the receiver of the NM endpoints
"ScreenAction" and "ScreenshotAction" (the registry must exist: 'coresys nm create'), creates
the named semaphore "/ScreenShotWaiting" (or reuses it, dropping posts left over from an earlier
run) and removes it again when it stops on SIGINT or SIGTERM (exit status 0).

Standard output, one flushed line each:
  ready source=SOURCE                                       both endpoints are published
  request endpoint=NAME code=C words=W1,W2,... [text="..."] [tail=HEX]
                                                            every request received; codes 100
                                                            and 101 carry text after two words
  malformed endpoint=NAME size=N reason="..."               ignored (short, or text without NUL)
  screenshot path="..." written=WxH source=SOURCE           the PNG file is in place
  screenshot path="..." failed source=SOURCE                the reason is on standard error

Code 100 takes a screenshot: the image is written as PNG into a new ".screenshot-XXXXXX" file
beside the path, synced and renamed over the path, so the file is either absent or complete and
always a new file. The semaphore is posted only then. When the capture or the write fails,
nothing is written (no fallback to the test card) and nothing is posted: the error goes to
standard error and, for FrameGrab, into the shared-memory object "/ScreenShotFailed.<hash of
the path>" (removed when the service stops). Every other code is logged only.

Sources: 'pattern' is a generated test card of --size; 'fb' reads the visible area of the
framebuffer /dev/fb0 (under CORESYSTEM_ROOT when set), 'fb:DEVICE' that of DEVICE as given;
'x11' the root window of DISPLAY. 'auto' picks x11 when DISPLAY opens, else fb when /dev/fb0 is
readable, else pattern. An explicit x11 or fb source that cannot be opened at start fails the
command.)";

}  // namespace

void AddScreenServiceCommand(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* command =
        app.add_subcommand("screen-service", "Play the device's screen service: take screenshots");
    command->add_option("--source", options->source, "Image source: pattern, fb, fb:DEVICE, x11 or auto")
        ->capture_default_str();
    command->add_option("--size", options->size, "Size of the test card, WIDTHxHEIGHT")
        ->capture_default_str();
    command->add_option("--ready-file", options->readyFile,
                        "File to create once both endpoints are published");
    command->add_flag("--once", options->once, "Exit after the first screenshot request has been handled");
    command->footer(kFooter);
    command->callback([options] { Serve(*options); });
}

}  // namespace Coresys
