// Variables database benchmark: DBSHM::getVariable and setVariable of an unchanged value (no
// event), alone and while a second process keeps setting other variables, and setVariables of 64
// ids per call, each next to its baseline measured in the same run: uncontended lock/unlock of the
// same 8-byte process mutex around one 48-byte copy (64 copies for the bulk write).
// Build it optimised (-DCMAKE_BUILD_TYPE=Release) for figures worth comparing.
//   db_bench [Google Benchmark flags]   then a table of figures and ratios to the baselines
#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/DatabaseOwner.h"

namespace {

using CoreSystem::DBSHM;

constexpr int kBulk = 64;
constexpr std::int32_t kFirstOther = kBulk + 1;  ///< ids the second process writes
constexpr std::int32_t kTimed = 2 * kBulk + 1;   ///< a variable with a timeout

CoreSystem::Platform::ProcessMutex* gMutex;  ///< the baseline's mutex, in shared memory
pid_t gWriter = -1;

/// Creates the table (this process is its owner and client): 128 i32 variables that never
/// expire and one timed variable, none with an event code.
bool CreateBenchDatabase() {
    conf::ImageDescription d;
    for (int k = 0; k < 2 * kBulk; ++k) d.variables.push_back({"v" + std::to_string(k + 1), "i32", 0, {}, {}});
    d.variables.push_back({"timed", "i32", 0, 3600000u, {}});
    std::string error;
    if (!CoreSystem::CreateDatabase(d, true, error)) {
        std::fprintf(stderr, "db_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

/// With argument 1: a second process sets the other variables, changing values, until stopped.
void StartWriter(const benchmark::State& state) {
    if (state.range(0) == 0 || gWriter > 0) return;
    gWriter = fork();
    if (gWriter == 0) {
        for (unsigned n = 0;; ++n) DBSHM::setVariable(kFirstOther + static_cast<std::int32_t>(n % kBulk), n);
    }
}

void StopWriter() {
    if (gWriter <= 0) return;
    kill(gWriter, SIGKILL);
    waitpid(gWriter, nullptr, 0);
    gWriter = -1;
}

void BaselineCopy(benchmark::State& state, int copies) {
    StartWriter(state);
    CoreSystem::VariableEntry source[kBulk]{}, target[kBulk];
    for (auto _ : state) {
        gMutex->lock();
        for (int k = 0; k < copies; ++k) std::memcpy(&target[k], &source[k], sizeof target[k]);
        gMutex->unlock();
        benchmark::DoNotOptimize(target);
    }
    StopWriter();
}

void Baseline(benchmark::State& state) {
    BaselineCopy(state, 1);
}
void BaselineBulk(benchmark::State& state) {
    BaselineCopy(state, kBulk);
}

void Get(benchmark::State& state) {
    StartWriter(state);
    double value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DBSHM::getVariable(1, value));
        benchmark::DoNotOptimize(value);
    }
    StopWriter();
}

void Set(benchmark::State& state) {
    StartWriter(state);
    DBSHM::setVariable(1, 42);
    for (auto _ : state) DBSHM::setVariable(1, 42);  // unchanged: no event
    StopWriter();
}

void SetTimed(benchmark::State& state) {
    StartWriter(state);
    DBSHM::setVariable(kTimed, 42);
    for (auto _ : state) DBSHM::setVariable(kTimed, 42);  // unchanged, valid: no event, clock read
    StopWriter();
}

void SetMany(benchmark::State& state) {
    StartWriter(state);
    std::int32_t ids[kBulk];
    double values[kBulk];
    for (int k = 0; k < kBulk; ++k) ids[k] = k + 1, values[k] = 42;
    DBSHM::setVariables(kBulk, ids, values);
    for (auto _ : state) DBSHM::setVariables(kBulk, ids, values);
    StopWriter();
}

/// Prints the usual console output, then our figures next to their baselines.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            real_[run.benchmark_name()] = run.GetAdjustedRealTime();
            cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        // Wall-clock time is what a caller waits; CPU time is less disturbed by other work on a busy
        // machine. Both are given, each next to the same measure of the baseline.
        std::printf("\n%-40s %9s %9s %6s %9s %9s %6s\n", "case (ns per call)", "real", "baseline", "ratio",
                    "cpu", "baseline", "ratio");
        const char* rows[][2] = {{"Get", "Baseline"}, {"Set", "Baseline"}, {"SetTimed", "Baseline"},
                                 {"SetMany", "BaselineBulk"}};
        for (const char* load : {"/0", "/1"}) {
            for (const auto& row : rows) {
                const std::string name = std::string(row[0]) + load, base = std::string(row[1]) + load;
                if (!real_.count(name) || !real_.count(base)) continue;
                std::printf("%-40s %9.1f %9.1f %6.2f %9.1f %9.1f %6.2f\n",
                            (name + (load[1] == '1' ? " (2nd process writing)" : "")).c_str(), real_[name],
                            real_[base], real_[name] / real_[base], cpu_[name], cpu_[base], cpu_[name] / cpu_[base]);
            }
        }
    }

private:
    std::map<std::string, double> real_, cpu_;
};

}  // namespace

BENCHMARK(Baseline)->Arg(0)->Arg(1);
BENCHMARK(Get)->Arg(0)->Arg(1);
BENCHMARK(Set)->Arg(0)->Arg(1);
BENCHMARK(SetTimed)->Arg(0)->Arg(1);
BENCHMARK(BaselineBulk)->Arg(0)->Arg(1);
BENCHMARK(SetMany)->Arg(0)->Arg(1);

int main(int argc, char** argv) {
    // A simulated device of its own: re-run with a private namespace, so that the process-wide
    // objects built before main never see another device's objects.
    const std::string word = "db-bench-" + std::to_string(getpid());  // exec keeps the pid
    if (CoreSystem::Platform::NamespaceWord() != word) {
        setenv(CoreSystem::Platform::kNamespaceVariable, word.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("db_bench: execv");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    void* shared = mmap(nullptr, sizeof(*gMutex), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || !CreateBenchDatabase()) return 1;
    gMutex = static_cast<CoreSystem::Platform::ProcessMutex*>(shared);
    gMutex->init();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    CoreSystem::Platform::shm_unlink(CoreSystem::kDatabaseObject);
    return 0;
}
