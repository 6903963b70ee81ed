// Culture string benchmark: BinaryClient::getString on the polling path (counter unchanged) and
// with a changed counter (text copied), alone and while a second process keeps writing the string,
// next to the baseline measured in the same run: one uncontended lock/unlock of an 8-byte process
// mutex in shared memory around a copy of the same text bytes.
// Build it optimised (-DCMAKE_BUILD_TYPE=Release) for figures worth comparing.
//   culture_bench [ITERATIONS]   calls per measurement (default 200000); 7 rounds, medians
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/ProcessSync.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageLoader.h"

namespace {

using CoreSystem::BinaryClient;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kString = 1;
constexpr int kMeasurements = 7;
const std::string kTexts[2] = {"Lautstärke", "Lautstarke!"};  // the same length: 11 bytes

volatile std::uint32_t gSink;

/// ns per call of `iterations` calls of `call`.
template <typename Call>
double Once(int iterations, Call& call) {
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) call();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / iterations;
}

/// Median ns per call of each of `calls`, measured round-robin (kMeasurements rounds) so that a
/// busy moment of the machine falls on all of them alike.
template <typename... Calls>
std::array<double, sizeof...(Calls)> Medians(int iterations, Calls&... calls) {
    std::array<std::vector<double>, sizeof...(Calls)> runs;
    for (int m = 0; m < kMeasurements; ++m) {
        std::size_t k = 0;
        ((runs[k++].push_back(Once(iterations, calls))), ...);
    }
    std::array<double, sizeof...(Calls)> medians{};
    for (std::size_t k = 0; k < runs.size(); ++k) {
        std::sort(runs[k].begin(), runs[k].end());
        medians[k] = runs[k][kMeasurements / 2];
    }
    return medians;
}

/// Places an image with string 1 in two cultures and opens it through the process's image client.
bool OpenBenchImage() {
    conf::ImageDescription d;
    d.cultures = {"en", "de"};
    d.strings = {{8, {"", ""}}, {32, {kTexts[0], kTexts[0]}}};
    std::vector<std::uint8_t> image;
    std::string error;
    if (!conf::BuildImage(d, image, error) ||
        !CoreSystem::LoadConfiguration(image.data(), image.size(), true, error)) {
        std::fprintf(stderr, "culture_bench: %s\n", error.c_str());
        return false;
    }
    BinaryClient::open();
    return BinaryClient::imageBase() != nullptr;
}

/// A second process that rewrites the string (alternating texts, no events) until stopped.
pid_t StartWriter() {
    const pid_t pid = fork();
    if (pid == 0) {
        for (unsigned n = 0;; ++n) BinaryClient::setStringForCulture(kString, 0, kTexts[n & 1], true);
    }
    return pid;
}

void StopWriter(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

/// Baseline, polling and changed-counter figures of one phase, measured round-robin.
std::array<double, 3> Measure(int iterations, CoreSystem::Platform::ProcessMutex& mutex) {
    std::string out;
    auto baseline = [&] {
        mutex.lock();
        out.assign(kTexts[0].data(), kTexts[0].size());
        mutex.unlock();
    };
    std::uint32_t last = BinaryClient::getString(kString, out, 0);
    auto polling = [&] {
        const std::uint32_t now = BinaryClient::getString(kString, out, last);
        if (now != 0) last = now;  // with a writer, the poll sees its changes
        gSink = now;
    };
    auto changed = [&] { gSink = BinaryClient::getString(kString, out, 0); };
    return Medians(iterations, baseline, polling, changed);
}

}  // namespace

int main(int argc, char** argv) {
    // A simulated device of its own: re-run with a private namespace and root, so that the
    // process-wide objects built before main never see another device's objects.
    const std::string word = "culture-bench-" + std::to_string(getpid());  // exec keeps the pid
    if (CoreSystem::Platform::NamespaceWord() != word) {
        char root[] = "/tmp/culture-bench-XXXXXX";
        if (!mkdtemp(root)) return 1;
        setenv(CoreSystem::Platform::kNamespaceVariable, word.c_str(), 1);
        setenv(CoreSystem::Platform::kRootVariable, root, 1);
        execv("/proc/self/exe", argv);
        std::perror("culture_bench: execv");
        return 1;
    }
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    if (!OpenBenchImage()) return 1;

    // The baseline: the same 8-byte mutex type in shared memory, the same bytes copied.
    void* shared = mmap(nullptr, sizeof(CoreSystem::Platform::ProcessMutex), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    auto* mutex = static_cast<CoreSystem::Platform::ProcessMutex*>(shared);
    mutex->init();

    const std::array<double, 3> alone = Measure(iterations, *mutex);
    const pid_t writer = StartWriter();
    const std::array<double, 3> busy = Measure(iterations, *mutex);
    StopWriter(writer);

    std::printf("%-52s %9s %7s\n", "case (median of 7, ns per call)", "ns", "ratio");
    auto row = [](const char* name, double ns, double base) {
        std::printf("%-52s %9.1f %7.2f\n", name, ns, ns / base);
    };
    row("baseline: lock + copy of 11 bytes + unlock", alone[0], alone[0]);
    row("getString, counter unchanged (polling)", alone[1], alone[0]);
    row("getString, counter changed (text copied)", alone[2], alone[0]);
    row("baseline, while a second process writes", busy[0], busy[0]);
    row("getString polling, second process writing", busy[1], busy[0]);
    row("getString changed, second process writing", busy[2], busy[0]);
    std::printf("{\"baseline_ns\":%.1f,\"polling_ns\":%.1f,\"changed_ns\":%.1f,\"baseline_busy_ns\":%.1f,"
                "\"polling_busy_ns\":%.1f,\"changed_busy_ns\":%.1f,\"ratio_polling_to_baseline\":%.3f}\n",
                alone[0], alone[1], alone[2], busy[0], busy[1], busy[2], alone[1] / alone[0]);

    CoreSystem::Platform::shm_unlink(CoreSystem::kConfigurationObject);
    const char* root = std::getenv(CoreSystem::Platform::kRootVariable);
    std::error_code ignored;
    if (root && std::strncmp(root, "/tmp/culture-bench-", 19) == 0) std::filesystem::remove_all(root, ignored);
    return 0;
}
