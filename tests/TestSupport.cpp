// Test helpers: isolation per test case and child processes under a time limit.
#include "TestSupport.h"

#include "CoreSystem/SharedData/ImageLoader.h"
#include "CoreSystem/SharedData/ListOwner.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CoreSystem/SharedData/DatabaseOwner.h"

#include "CoreSystem/Platform/Linux/Board.h"

namespace CoreSystemTest {

namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
int gCounter = 0;

void Close(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

/// Removes the namespace's shared-memory objects and named semaphores (sem.<word>.* on Linux).
void RemoveSharedObjects(const std::string& word) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev/shm", error)) {
        const std::string name = entry.path().filename();
        if (name.rfind(word + ".", 0) == 0 || name.rfind("sem." + word + ".", 0) == 0)
            fs::remove(entry, error);
    }
}

/// Appends what arrives on `fd` to `text` until end of file (and closes `fd` then) or until
/// nothing more arrives before `deadline`; a deadline already past reads only what is there.
void Drain(int& fd, std::string& text, Clock::time_point deadline) {
    while (fd >= 0) {
        pollfd ready{fd, POLLIN, 0};
        const auto left = std::max(duration_cast<milliseconds>(deadline - Clock::now()), milliseconds(0));
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR)) Close(fd);
    }
}

}  // namespace

IsolatedHost::IsolatedHost() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? info->name() : "case";
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    word_ = "t" + std::to_string(getpid()) + "-" + std::to_string(gCounter++) + "-" + name.substr(0, 24);
    char pattern[] = "/tmp/coresystem-test-XXXXXX";
    root_ = mkdtemp(pattern) ? pattern : "/tmp";
    setenv("CORESYSTEM_NAMESPACE", word_.c_str(), 1);
    setenv("CORESYSTEM_ROOT", root_.c_str(), 1);
    RemoveSharedObjects(word_);
}

IsolatedHost::~IsolatedHost() {
    RemoveSharedObjects(word_);
    std::error_code ignored;
    if (root_ != "/tmp") fs::remove_all(root_, ignored);
    setenv("CORESYSTEM_NAMESPACE", "ctest-startup", 1);
    unsetenv("CORESYSTEM_ROOT");
}

void CreateBoard(const IsolatedHost& host, const std::string& writeTarget) {
    namespace Board = CoreSystem::Platform::Board;
    const auto target = Board::WriteTargetNamed(writeTarget);
    ASSERT_TRUE(target) << "no write target " << writeTarget;
    ASSERT_TRUE(Board::Create(host.root(), *target)) << "cannot create a board: " << std::strerror(errno);
}

std::vector<std::string> BoardLog(const IsolatedHost& host) {
    std::vector<std::string> lines;
    std::istringstream text(CoreSystem::Platform::Board::ReadLog(host.root()).value_or(""));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

Child Spawn(const std::function<int()>& body, bool captureOutput) {
    int fds[2] = {-1, -1};
    if (captureOutput && pipe(fds) != 0) return {};
    fflush(nullptr);
    Child child{fork(), fds[0]};
    if (child.pid == 0) {
        if (captureOutput) dup2(fds[1], STDOUT_FILENO);
        for (int& fd : fds) Close(fd);  // -1 when not captured
        int status = 124;               // when `body` throws
        try {
            status = body();
        } catch (...) {
        }
        fflush(stdout);
        _exit(status);
    }
    Close(fds[1]);
    return child;
}

Program::Program(const std::string& path, const std::vector<std::string>& args,
                 const Environment& environment) {
    errorFd_ = memfd_create("stderr", MFD_CLOEXEC);  // read back from the start by finish()
    child_ = Spawn(
        [&] {
            if (errorFd_ >= 0) dup2(errorFd_, STDERR_FILENO);
            for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(path.c_str())};  // argv[0] is `path`
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            return 127;
        },
        true);
}

Program::~Program() {
    Wait(child_, milliseconds(0));
    Close(child_.outputFd);
    Close(errorFd_);
}

bool Program::printed(const std::string& text) {
    Drain(child_.outputFd, out_, Clock::now());
    return out_.find(text) != std::string::npos;
}

Outcome Program::finish(milliseconds limit) {
    // Reads until the program closes its output, but never past the time limit.
    const auto deadline = Clock::now() + limit;
    Drain(child_.outputFd, out_, deadline);
    Outcome outcome{Wait(child_, duration_cast<milliseconds>(deadline - Clock::now())), out_, ""};
    if (errorFd_ >= 0 && lseek(errorFd_, 0, SEEK_SET) == 0) Drain(errorFd_, outcome.err, Clock::now());
    return outcome;
}

Outcome RunProgram(const std::string& path, const std::vector<std::string>& args, milliseconds limit) {
    return Program(path, args).finish(limit);
}

int Wait(Child& child, milliseconds limit) {
    const pid_t pid = std::exchange(child.pid, -1);
    int status = 0;
    if (pid <= 0) return -1;
    if (Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string ReadOutput(Child& child, bool toEnd) {
    std::string text;
    Drain(child.outputFd, text, toEnd ? Clock::now() + std::chrono::minutes(1) : Clock::now());
    if (toEnd) Close(child.outputFd);
    return text;
}

bool Eventually(const std::function<bool()>& predicate, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

bool BlockedInFutex(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return static_cast<bool>(file >> number) && (number == SYS_futex || number == SYS_futex_waitv);
}

conf::ImageDescription ExampleConfiguration() {
    conf::ImageDescription d;
    d.cultures = {"en", "de"};
    d.currentCulture = 1;
    d.strings = {
        {16, {"Hello", "Hallo"}}, {24, {"Volume", "Lautstärke"}}, {8, {"Off", "Aus"}}, {8, {"On", "An"}}};
    d.reservedStrings = {{1, 701}, {2, 0}};
    d.variables = {{"Volume", "i32", 77, std::nullopt, {}},
                   {"Mute", "i8", 78, 5000, {{0, 2}, {1, 3}, {2, std::nullopt}}}};
    d.lists = {{7, 3, 10, 0, {0x0A, 0x00, 0x03, 0x00}}};
    d.applications = {{"Radio", {{0, 9100}, {1, 9101}}, {{0, 801}}, {{5, 1}, {7, 2}}, {{0, 1}}, true},
                      {"NVMgr", {{0, 9200}, {2, 9202}, {6, 9206}}, {}, {}, {}, false}};
    return d;
}

std::vector<std::uint8_t> BuildConfiguration(const conf::ImageDescription& description) {
    std::vector<std::uint8_t> image;
    std::string error;
    EXPECT_TRUE(conf::BuildImage(description, image, error)) << error;
    return image;
}

/// Loads the image of `description` as the loader does; false (and the test fails) when refused.
static bool LoadImage(const conf::ImageDescription& description) {
    const std::vector<std::uint8_t> image = BuildConfiguration(description);
    std::string error;
    const bool loaded = CoreSystem::LoadConfiguration(image.data(), image.size(), true, error);
    EXPECT_TRUE(loaded) << error;
    return loaded;
}

bool LoadDevice(const conf::ImageDescription& description) {
    if (!LoadImage(description)) return false;
    Child owner = Spawn(
        [&description] {
            std::string refused;
            if (CoreSystem::CreateDatabase(description, true, refused)) return 0;
            std::fprintf(stderr, "%s\n", refused.c_str());
            return 1;
        });
    const int status = Wait(owner);
    EXPECT_EQ(status, 0) << "the database owner failed";
    return status == 0;
}

std::string BuildDirectory() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path().parent_path().string();
}

std::vector<CoreSystem::ListStart> RestartLists(const std::string& first, const std::string& second) {
    // The owner's report comes back on its standard output: one line per definition.
    Child owner = Spawn(
        [&] {
            std::vector<CoreSystem::ListStart> report;
            std::string error;
            const bool started = CoreSystem::StartListOwner(first, second, true, report, error);
            for (const auto& start : report) {
                std::printf("list %u %llu %d %s\n", start.id, static_cast<unsigned long long>(start.size),
                            static_cast<int>(start.outcome), start.reason.c_str());
            }
            if (!started) std::printf("error %s\n", error.c_str());
            return started ? 0 : 1;
        },
        true);
    std::istringstream output(ReadOutput(owner));
    EXPECT_EQ(Wait(owner), 0) << "the list owner failed: " << output.str();
    std::vector<CoreSystem::ListStart> report;
    for (std::string line; std::getline(output, line);) {
        std::istringstream fields(line);
        std::string kind;
        CoreSystem::ListStart start;
        int outcome = 0;
        if (!(fields >> kind >> start.id >> start.size >> outcome) || kind != "list") continue;
        start.outcome = static_cast<CoreSystem::ListStart::Outcome>(outcome);
        std::getline(fields >> std::ws, start.reason);
        report.push_back(start);
    }
    return report;
}

std::vector<CoreSystem::ListStart> StartDevice(const std::string& first, const std::string& second,
                                               const conf::ImageDescription& description) {
    LoadImage(description);
    return RestartLists(first, second);
}

std::string CoresysPath() {
    return BuildDirectory() + "/tools/coresys/coresys";
}

Outcome RunCoresys(const std::vector<std::string>& args, const Environment& environment) {
    return Program(CoresysPath(), args, environment).finish();
}

}  // namespace CoreSystemTest
