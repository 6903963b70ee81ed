// Test helpers: isolation per test case and child processes under a time limit.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

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

Child SpawnProgram(const std::string& path, const std::vector<std::string>& args, bool captureOutput) {
    return Spawn(
        [&]() {
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            return 127;
        },
        captureOutput);
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
