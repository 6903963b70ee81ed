// FrameGrab benchmark: the whole command's wall time against the simulated screen service writing a
// small test card, next to, in the same run, the service's own work (the same PNG written without
// any request) and the start of a trivial process (/bin/true). The difference is what the request
// path costs: registry lookup, two NM messages and the wait on the semaphore.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ScreenCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration span) {
    return std::chrono::duration<double, std::micro>(span).count();
}

/// Runs a program to its end; returns its exit status (-1 when it could not run).
int run(const std::vector<std::string>& args, bool quiet) {
    pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            FILE* null = std::freopen("/dev/null", "w", stdout);
            (void)null;
        }
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Figures {
    double median;
    double p90;
};

Figures figures(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

template <typename Body>
Figures measure(int rounds, Body body) {
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        if (!body(i)) {
            std::fprintf(stderr, "framegrab_bench: a round failed\n");
            std::exit(1);
        }
        samples.push_back(microseconds(Clock::now() - start));
    }
    return figures(samples);
}

std::string directoryOf(const char* program) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string(program);
    return self.substr(0, self.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 200;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(10, std::atoi(argv[++i]));
        } else {
            std::printf("usage: framegrab_bench [--rounds N] [--json]\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    const std::string build = directoryOf(argv[0]) + "/..";
    const std::string coresys = build + "/tools/coresys/coresys";
    const std::string frameGrab = build + "/tools/framegrab/FrameGrab";
    const std::string word = "fgbench-" + std::to_string(getpid());
    setenv("CORESYSTEM_NAMESPACE", word.c_str(), 1);
    char pattern[] = "/tmp/framegrab-bench-XXXXXX";
    const std::string work = mkdtemp(pattern) ? pattern : "/tmp";
    const std::string ready = work + "/ready";

    if (run({coresys, "nm", "create"}, true) != 0) {
        std::fprintf(stderr, "framegrab_bench: cannot create the registry\n");
        return 1;
    }
    pid_t service = fork();
    if (service == 0) {
        FILE* null = std::freopen("/dev/null", "w", stdout);
        (void)null;
        execl(coresys.c_str(), coresys.c_str(), "screen-service", "--source", "pattern", "--size", "64x48",
              "--ready-file", ready.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 1000 && access(ready.c_str(), F_OK) != 0; ++i) usleep(10000);
    struct stat seen;
    const bool up = stat(ready.c_str(), &seen) == 0;

    Figures command{}, alone{}, trivial{}, usage{};
    if (up) {
        const std::string shot = work + "/shot.png";
        run({frameGrab, shot}, true);  // warm-up
        command = measure(rounds, [&](int) { return run({frameGrab, shot}, true) == 0; });
        const Coresys::Image card = Coresys::TestPattern(64, 48);
        alone = measure(rounds, [&](int) {
            std::string error;
            return Coresys::WritePngFile(work + "/alone.png", Coresys::TestPattern(card.width, card.height),
                                         error);
        });
        trivial = measure(rounds, [&](int) { return run({"/bin/true"}, false) == 0; });
        // FrameGrab's own start and exit, without a request (it prints its usage line).
        usage = measure(rounds, [&](int) { return run({frameGrab}, true) == 1; });
    }
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    std::string cleanup = "rm -rf '" + work + "' /dev/shm/" + word + ".* /dev/shm/sem." + word + ".*";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "framegrab_bench: cleanup failed\n");
    if (!up) {
        std::fprintf(stderr, "framegrab_bench: the screen service did not start\n");
        return 1;
    }

    const double overhead = command.median - alone.median - trivial.median;
    const double requestPath = command.median - alone.median - usage.median;
    if (json) {
        std::printf(
            "{\"rounds\":%d,\"framegrab_us\":{\"median\":%.1f,\"p90\":%.1f},\"png_alone_us\":{\"median\":%."
            "1f,"
            "\"p90\":%.1f},\"true_us\":{\"median\":%.1f,\"p90\":%.1f},\"request_path_us\":%.1f,"
            "\"framegrab_start_us\":{\"median\":%.1f,\"p90\":%.1f},\"request_path_beyond_own_start_us\":%.1f,"
            "\"ratio_framegrab_to_png_plus_true\":%.3f}\n",
            rounds, command.median, command.p90, alone.median, alone.p90, trivial.median, trivial.p90,
            overhead, usage.median, usage.p90, requestPath, command.median / (alone.median + trivial.median));
        return 0;
    }
    std::printf("FrameGrab benchmark: %d rounds, 64x48 test card\n\n", rounds);
    std::printf("%-44s %10s %10s\n", "", "median", "p90");
    std::printf("%-44s %8.1f us %8.1f us\n", "FrameGrab, whole command", command.median, command.p90);
    std::printf("%-44s %8.1f us %8.1f us\n", "service's PNG alone (no request)", alone.median, alone.p90);
    std::printf("%-44s %8.1f us %8.1f us\n", "/bin/true (process start)", trivial.median, trivial.p90);
    std::printf("%-44s %8.1f us %8.1f us\n", "FrameGrab start, no request (usage line)", usage.median,
                usage.p90);
    std::printf("\nrequest path = command - PNG - process start: %.1f us\n", overhead);
    std::printf("request path beyond FrameGrab's own start: %.1f us\n", requestPath);
    std::printf("command / (PNG + process start): %.2f\n", command.median / (alone.median + trivial.median));
    return 0;
}
