// FrameGrab: asks the screen service for a screenshot written to the given path, waits until a
// new file is there, and reports it. It reports success only for a file written after its own
// request; every other outcome is a reason on standard error and exit status 1.
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "ScreenActionClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kUsage = "FrameGrab: Argument must be the screenshot file name (full path)";
constexpr const char* kFinished = "FrameGrab: Finished writing file ";
constexpr double kDefaultTimeout = 60.0;
/// How often the file and the service are looked at while waiting.
constexpr milliseconds kPollInterval(20);
/// How long a command that found its file waits for the post that goes with it.
constexpr milliseconds kPostGrace(100);

constexpr const char* kHelp = R"(Usage: FrameGrab [OPTIONS] [--] PATH

Asks the device's screen service for a screenshot written to PATH (PNG) and waits until a new
file is there. A relative PATH is taken from the current directory; '-' writes the PNG to
standard output.

Options:
  -h, --help         Show this text and exit
  --version          Show the version and exit
  --delay SECONDS    Wait this long before asking for the screenshot
  --timeout SECONDS  Give up after this long (default 60; 0 waits for as long as it takes)
  --                 End of options: what follows is the path, even when it starts with '-'

On success it prints "FrameGrab: Finished writing file PATH" and exits with status 0. On failure
it prints "FrameGrab: " and the reason on standard error and exits with status 1.
)";

struct Options {
    std::string path;
    bool toStdout = false;
    double delaySeconds = 0;
    double timeoutSeconds = kDefaultTimeout;
};

class Failure {
public:
    explicit Failure(std::string message) : message(std::move(message)) {}
    std::string message;
};

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

/// Seconds as written on the command line: a finite, non-negative decimal number.
std::optional<double> ParseSeconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) return std::nullopt;
    return value;
}

std::string SecondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

/// Reads the command line. Returns an exit status when the program ends here.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
    std::vector<std::string> paths;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            paths.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kHelp << std::flush;
            return 0;
        } else if (arg == "--version") {
            std::cout << "FrameGrab " << CORESYSTEM_VERSION << std::endl;
            return 0;
        } else if (arg == "--delay" || arg == "--timeout") {
            std::optional<double> seconds;
            if (i + 1 < argc) seconds = ParseSeconds(argv[++i]);
            if (!seconds) {
                std::cerr << "FrameGrab: " << arg << " needs a number of seconds (0 or more)\n"
                          << "Run with --help for usage." << std::endl;
                return 1;
            }
            (arg == "--delay" ? options.delaySeconds : options.timeoutSeconds) = *seconds;
        } else {
            std::cerr << "FrameGrab: unknown option '" << arg << "' (use -- before a path that starts with '-')\n"
                      << "Run with --help for usage." << std::endl;
            return 1;
        }
    }
    if (paths.size() != 1) {
        std::cout << kUsage << std::endl;
        return 1;
    }
    options.path = paths[0];
    options.toStdout = !optionsEnded && options.path == "-";
    return std::nullopt;
}

/// What identifies one file at a path: a file renamed into place has a new inode.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
};

Identity IdentityOf(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    return {true, status.st_dev, status.st_ino};
}

/// The absolute path the service is asked to write: relative paths are taken from our working
/// directory (the service's may be anywhere). Fails when the file cannot be there.
std::string TargetPath(const std::string& path) {
    if (path.empty()) throw Failure("the path is empty");
    if (path.back() == '/') throw Failure(path + " names a directory, not a file");
    std::string absolute = path;
    if (path[0] != '/') {
        std::vector<char> cwd(4096);
        if (!getcwd(cwd.data(), cwd.size())) {
            throw Failure("cannot resolve " + path + ": current directory: " + ErrnoText(errno));
        }
        absolute = std::string(cwd.data()) + "/" + path;
    }
    const std::size_t slash = absolute.rfind('/');
    const std::string directory = slash == 0 ? "/" : absolute.substr(0, slash);
    struct stat status;
    if (stat(directory.c_str(), &status) != 0) {
        throw Failure("directory " + directory + " does not exist (" + ErrnoText(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) throw Failure(directory + " is not a directory");
    if (stat(absolute.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw Failure(path + " is a directory");
    }
    if (absolute.size() > static_cast<std::size_t>(kMaxRequestText)) {
        throw Failure("the path " + std::string(absolute != path ? "(made absolute) " : "") + "is longer than " +
                      std::to_string(kMaxRequestText) + " characters; no screenshot was requested");
    }
    return absolute;
}

bool ProcessAlive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

/// The screen service as seen through the receiver of "ScreenshotAction".
class Service {
public:
    explicit Service(int channelIndex) : channelIndex_(channelIndex) {}
    int receiverPid() const { return NM::SlotChid(channelIndex_) == -1 ? -1 : NM::SlotPid(channelIndex_); }
    bool running() const { return ProcessAlive(receiverPid()); }
    std::string describe() const {
        const int pid = NM::SlotPid(channelIndex_);
        return pid > 0 ? "the screen service (pid " + std::to_string(pid) + ") is gone" : "no screen service is running";
    }

private:
    int channelIndex_;
};

/// Takes a post of `semaphore` within `limit`. True when it did.
bool TimedWait(sem_t* semaphore, milliseconds limit) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += std::chrono::nanoseconds(limit).count();
    until.tv_sec += until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    return sem_timedwait(semaphore, &until) == 0;
}

/// The screen service's note on why the screenshot at `target` failed, taken away; empty when
/// there is none.
std::string TakeFailureNote(const std::string& target) {
    const std::string name = ScreenshotFailureName(target);
    const int fd = CoreSystem::Platform::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return "";
    std::string reason(static_cast<std::size_t>(kMaxFailureReason), '\0');
    const ssize_t size = read(fd, reason.data(), reason.size());
    close(fd);
    CoreSystem::Platform::shm_unlink(name.c_str());
    reason.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return reason.empty() ? "no reason given" : reason;
}

/// Waits for the screenshot at `target`, which was `before` when it was requested.
void AwaitScreenshot(ScreenActionClient& client, sem_t* done, const std::string& target, const Identity& before,
                     const Options& options) {
    const Service service(client.screenshotActionIndex());
    const bool forever = options.timeoutSeconds == 0;
    const auto deadline =
        Clock::now() + milliseconds(std::llround(std::min(options.timeoutSeconds, 3.2e7) * 1000.0));
    auto written = [&] {
        const Identity now = IdentityOf(target);
        return now.exists && (!before.exists || now.device != before.device || now.inode != before.inode);
    };
    int servingPid = -1;  // the receiver our request was handed to, once it was
    for (;;) {
        if (written()) {
            // The service posts right after the rename: take that post, so that posts do not pile
            // up for later commands (if it is another's, its owner sees its file all the same).
            if (done) TimedWait(done, kPostGrace);
            return;
        }
        const std::string failure = TakeFailureNote(target);
        if (!failure.empty()) throw Failure("the screen service could not write " + options.path + ": " + failure);
        const bool heldBack = client.heldBack() > 0;
        if (!heldBack && servingPid == -1) servingPid = service.receiverPid();
        if (heldBack) {
            // A receiver that died leaves its pid in the slot: nothing will deliver the request.
            if (NM::SlotPid(client.screenshotActionIndex()) > 0 && !service.running()) {
                throw Failure(service.describe() + "; the screenshot request was not delivered");
            }
        } else if (!ProcessAlive(servingPid) || service.receiverPid() != servingPid) {
            if (written()) return;
            throw Failure("the screen service" + (servingPid > 0 ? " (pid " + std::to_string(servingPid) + ")" : "") +
                          " went away before it wrote " + options.path);
        }
        if (!forever && Clock::now() >= deadline) {
            throw Failure(std::string(heldBack ? "no screen service took the request" : "no new file at " + options.path) +
                          " within " + SecondsText(options.timeoutSeconds) + " s");
        }
        if (!done) {
            std::this_thread::sleep_for(kPollInterval);
            continue;
        }
        if (TimedWait(done, kPollInterval) && !written()) {
            // Another FrameGrab's post (or one left behind): give it back for its owner and let
            // the owner take it before we look again.
            sem_post(done);
            std::this_thread::sleep_for(kPollInterval);
        }
    }
}

/// Copies the file at `path` to descriptor `fd`.
void CopyToDescriptor(const std::string& path, int fd) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 16);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        for (std::streamsize offset = 0; offset < file.gcount();) {
            const ssize_t n = write(fd, chunk.data() + offset, static_cast<std::size_t>(file.gcount() - offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Failure("cannot write the screenshot to standard output: " + ErrnoText(errno));
            offset += n;
        }
    }
    if (!file.eof()) throw Failure("cannot read the screenshot back from " + path);
}

/// A private directory for the file the service writes when the PNG goes to standard output.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/FrameGrab.XXXXXX";
        if (!mkdtemp(pattern.data())) throw Failure("cannot create a temporary directory: " + ErrnoText(errno));
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        unlink(file().c_str());
        rmdir(path_.c_str());
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    std::string file() const { return path_ + "/screenshot.png"; }

private:
    std::string path_;
};

int Run(const Options& options, int pngFd) {
    std::optional<TemporaryDirectory> temporary;
    if (options.toStdout) temporary.emplace();
    const std::string target = options.toStdout ? temporary->file() : TargetPath(options.path);

    if (options.delaySeconds > 0) {
        std::this_thread::sleep_for(milliseconds(std::llround(std::min(options.delaySeconds, 3.2e7) * 1000.0)));
    }
    ScreenActionClient client;
    if (client.screenshotActionIndex() == -1) {
        throw Failure(NM::Registry().base ? "the notification registry is full"
                                          : "no notification registry " +
                                                CoreSystem::Platform::SharedObjectName(NM::kRegistryName) +
                                                " (is the device up?)");
    }
    const Service service(client.screenshotActionIndex());
    sem_t* done = CoreSystem::Platform::sem_open(kScreenshotSemaphore, 0);
    if (done == SEM_FAILED) {
        done = nullptr;
        // The service creates the semaphore before it publishes its endpoints.
        if (!service.running()) throw Failure(service.describe() + "; no screenshot was requested");
    }
    const Identity before = IdentityOf(target);
    TakeFailureNote(target);  // one left from an earlier request is not about this one
    client.requestScreenshot(target, 1);
    const int sent = client.lastResult();
    client.sendAction2();
    if (sent <= 0) {
        throw Failure("the screenshot request could not be sent" +
                      (service.running() ? std::string() : ": " + service.describe()));
    }
    AwaitScreenshot(client, done, target, before, options);
    if (options.toStdout) CopyToDescriptor(target, pngFd);
    std::cout << kFinished << options.path << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = ParseCommandLine(argc, argv, options)) return *status;
    int pngFd = STDOUT_FILENO;
    if (options.toStdout) {
        // Standard output carries the PNG alone: every line, the NM library's included, goes to
        // standard error from here on.
        std::cout.flush();
        pngFd = dup(STDOUT_FILENO);
        if (pngFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::cerr << "FrameGrab: cannot set up standard output: " << ErrnoText(errno) << std::endl;
            return 1;
        }
        signal(SIGPIPE, SIG_IGN);
    }
    try {
        return Run(options, pngFd);
    } catch (const Failure& failure) {
        std::cout.flush();
        std::cerr << "FrameGrab: " << failure.message << std::endl;
        return 1;
    }
}
