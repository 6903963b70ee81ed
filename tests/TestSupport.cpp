// Test helpers: isolation per test case and child processes under a time limit.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace CoreSystemTest {

namespace {
std::atomic<int> gCounter{0};
}

IsolatedHost::IsolatedHost() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->name()) : std::string("case");
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '-';
    }
    if (name.size() > 24) name.resize(24);
    word_ = "t" + std::to_string(getpid()) + "-" + std::to_string(gCounter++) + "-" + name;
    char pattern[] = "/tmp/coresystem-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    root_ = made ? made : "/tmp";
    setenv("CORESYSTEM_NAMESPACE", word_.c_str(), 1);
    setenv("CORESYSTEM_ROOT", root_.c_str(), 1);
    removeSharedObjects();
}

IsolatedHost::~IsolatedHost() {
    removeSharedObjects();
    std::error_code ignored;
    if (root_ != "/tmp") std::filesystem::remove_all(root_, ignored);
    setenv("CORESYSTEM_NAMESPACE", "ctest-startup", 1);
    unsetenv("CORESYSTEM_ROOT");
}

void IsolatedHost::removeSharedObjects() const {
    // Shared-memory objects and named semaphores of this namespace (sem.<word>.* on Linux).
    DIR* dir = opendir("/dev/shm");
    if (!dir) return;
    const std::string prefix = word_ + ".";
    const std::string semPrefix = "sem." + word_ + ".";
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.rfind(prefix, 0) == 0 || name.rfind(semPrefix, 0) == 0) {
            unlink(("/dev/shm/" + name).c_str());
        }
    }
    closedir(dir);
}

Child Spawn(const std::function<int()>& body, bool captureOutput) {
    int fds[2] = {-1, -1};
    if (captureOutput && pipe(fds) != 0) return {};
    fflush(stdout);
    fflush(stderr);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        if (captureOutput) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
        }
        int status = 125;
        try {
            status = body();
        } catch (...) {
            status = 124;
        }
        fflush(stdout);
        _exit(status);
    }
    if (captureOutput) {
        close(fds[1]);
        child.outputFd = fds[0];
    }
    return child;
}

namespace {
Child SpawnWith(const std::string& path, const std::vector<std::string>& args, bool captureOutput,
                const std::string& errorPath, const Environment& environment) {
    return Spawn(
        [&]() {
            if (!errorPath.empty()) {
                int fd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (fd >= 0) {
                    dup2(fd, STDERR_FILENO);
                    close(fd);
                }
            }
            for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            return 127;
        },
        captureOutput);
}
}  // namespace

Child SpawnProgram(const std::string& path, const std::vector<std::string>& args, bool captureOutput) {
    return SpawnWith(path, args, captureOutput, "", {});
}

Program::Program(const std::string& path, const std::vector<std::string>& args,
                 const Environment& environment) {
    char pattern[] = "/tmp/coresystem-stderr-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    errorFile_ = pattern;
    child_ = SpawnWith(path, args, true, errorFile_, environment);
}

Program::~Program() {
    if (child_.pid > 0) Wait(child_, std::chrono::milliseconds(0));
    if (child_.outputFd >= 0) close(child_.outputFd);
    unlink(errorFile_.c_str());
}

bool Program::printed(const std::string& text) {
    out_ += ReadOutput(child_, false);
    return out_.find(text) != std::string::npos;
}

Outcome Program::finish(std::chrono::milliseconds limit) {
    // Read until the program closes its output, but never past the time limit.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Outcome outcome{0, out_, ""};
    while (child_.outputFd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{child_.outputFd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t n = read(child_.outputFd, buffer, sizeof buffer);
        if (n > 0) {
            outcome.out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    if (child_.outputFd >= 0) {
        close(child_.outputFd);
        child_.outputFd = -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    outcome.status = Wait(child_, std::max(left, std::chrono::milliseconds(1)));
    std::ifstream error(errorFile_);
    outcome.err.assign(std::istreambuf_iterator<char>(error), {});
    out_ = outcome.out;
    return outcome;
}

Outcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                   std::chrono::milliseconds limit) {
    return Program(path, args).finish(limit);
}

int Wait(Child& child, std::chrono::milliseconds limit) {
    if (child.pid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            child.pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child.pid = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string ReadOutput(Child& child, bool toEnd) {
    std::string text;
    if (child.outputFd < 0) return text;
    if (!toEnd) fcntl(child.outputFd, F_SETFL, fcntl(child.outputFd, F_GETFL) | O_NONBLOCK);
    char buffer[4096];
    for (;;) {
        ssize_t n = read(child.outputFd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (toEnd) {
        close(child.outputFd);
        child.outputFd = -1;
    }
    return text;
}

bool Eventually(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string BuildDirectory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = 0;
    return std::filesystem::path(path).parent_path().parent_path().string();
}

}  // namespace CoreSystemTest
