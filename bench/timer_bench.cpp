// TimerListener jitter: how late each callback comes after its expiry on the period's grid, next to
// a plain timerfd loop measured the same way in the same run.
//   timer_bench [--seconds N] [--many-seconds M]
//   one 10 ms period for N seconds (default 10); 100 periods of 1 ms for M seconds (default 3).
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/Application/TimerListener.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

/// The callback times of one periodic source, turned into lateness against its grid.
struct Recorder {
    std::int64_t start = 0;  ///< when the source was armed; expiries at start + k * period, k >= 1
    std::int64_t period = 0;
    std::vector<std::int64_t> times;
    std::atomic<std::size_t> count{0};

    Recorder(std::int64_t periodNs, std::size_t capacity) : period(periodNs), times(capacity) {}
    void record() {
        const std::size_t index = count.load(std::memory_order_relaxed);
        if (index < times.size()) times[index] = NowNs();
        count.store(index + 1, std::memory_order_release);
    }
    /// Lateness of each call after the latest expiry at or before it (ns).
    void latenessInto(std::vector<std::int64_t>& out) const {
        const std::size_t n = std::min(count.load(std::memory_order_acquire), times.size());
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t since = times[i] - start;
            if (since >= period) out.push_back(since % period);
        }
    }
};

void Record(void* recorder) {
    static_cast<Recorder*>(recorder)->record();
}

struct Figures {
    double median = 0, p99 = 0;  // microseconds
    std::size_t calls = 0;
    double cpu = 0;  ///< process CPU time (user + system) per second of the run, in ms
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Figures Summarise(const std::vector<std::unique_ptr<Recorder>>& recorders) {
    std::vector<std::int64_t> lateness;
    Figures figures;
    for (const auto& recorder : recorders) {
        recorder->latenessInto(lateness);
        figures.calls += recorder->count.load();
    }
    if (lateness.empty()) return figures;
    std::sort(lateness.begin(), lateness.end());
    figures.median = static_cast<double>(lateness[lateness.size() / 2]) / 1000.0;
    figures.p99 = static_cast<double>(lateness[lateness.size() * 99 / 100]) / 1000.0;
    return figures;
}

std::vector<std::unique_ptr<Recorder>> MakeRecorders(int sources, std::int64_t periodNs, double seconds) {
    std::vector<std::unique_ptr<Recorder>> recorders;
    const auto capacity = static_cast<std::size_t>(seconds * 1e9 / static_cast<double>(periodNs)) + 16;
    for (int i = 0; i < sources; ++i) recorders.push_back(std::make_unique<Recorder>(periodNs, capacity));
    return recorders;
}

timespec ToTimespec(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

/// Baseline: one thread per source, each reading its own timerfd. All are armed from one start
/// time, as the listeners are started within microseconds of each other: their expiries coincide.
/// With `phases`, source i is armed that many ns after the first instead, as the listeners were.
Figures RunTimerfd(int sources, std::int64_t periodNs, double seconds, const std::vector<std::int64_t>* phases = nullptr) {
    auto recorders = MakeRecorders(sources, periodNs, seconds);
    const double cpuBefore = CpuSeconds();
    const std::int64_t start = NowNs() + 20000000;  // after every thread has armed its timer
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < recorders.size(); ++i) {
        const std::int64_t armed = start + (phases ? (*phases)[i] : 0);
        threads.emplace_back([&stop, periodNs, armed, r = recorders[i].get()] {
            const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
            itimerspec setting{};
            setting.it_value = ToTimespec(armed + periodNs);
            setting.it_interval = ToTimespec(periodNs);
            r->start = armed;
            timerfd_settime(fd, TFD_TIMER_ABSTIME, &setting, nullptr);
            std::uint64_t expirations;
            while (!stop.load(std::memory_order_relaxed)) {
                if (read(fd, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations)) r->record();
            }
            close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds) + std::chrono::milliseconds(20));
    stop = true;
    for (auto& thread : threads) thread.join();
    Figures figures = Summarise(recorders);
    figures.cpu = (CpuSeconds() - cpuBefore) * 1000.0 / seconds;
    return figures;
}

/// Ours: one TimerListener per source, started one after another; `phases` gets when each was
/// started, in ns after the first.
Figures RunListeners(int sources, std::int64_t periodNs, double seconds, std::vector<std::int64_t>& phases) {
    auto recorders = MakeRecorders(sources, periodNs, seconds);
    const double cpuBefore = CpuSeconds();
    std::vector<std::unique_ptr<CoreSystem::TimerListener>> listeners;
    for (int i = 0; i < sources; ++i) listeners.push_back(std::make_unique<CoreSystem::TimerListener>());
    const auto periodMs = static_cast<unsigned>(periodNs / 1000000);
    for (int i = 0; i < sources; ++i) {
        recorders[static_cast<std::size_t>(i)]->start = NowNs();
        listeners[static_cast<std::size_t>(i)]->setCallback(Record, recorders[static_cast<std::size_t>(i)].get(),
                                                           periodMs, periodMs);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    listeners.clear();  // no callback runs once they are destroyed
    for (const auto& recorder : recorders) phases.push_back(recorder->start - recorders.front()->start);
    Figures figures = Summarise(recorders);
    figures.cpu = (CpuSeconds() - cpuBefore) * 1000.0 / seconds;
    return figures;
}

void Report(const char* title, int sources, std::int64_t periodNs, double seconds) {
    std::printf("%s: %d x %lld ms for %.1f s (lateness after each expiry)\n", title, sources,
                static_cast<long long>(periodNs / 1000000), seconds);
    const Figures baseline = RunTimerfd(sources, periodNs, seconds);
    std::vector<std::int64_t> phases;
    const Figures ours = RunListeners(sources, periodNs, seconds, phases);
    // Expiries that coincide wake their threads in one timer interrupt; spread out as the
    // listeners' are, each costs one of its own. This baseline sees the same spread.
    const Figures spread = sources > 1 ? RunTimerfd(sources, periodNs, seconds, &phases) : Figures{};
    const auto expected = static_cast<std::size_t>(sources * seconds * 1e9 / static_cast<double>(periodNs));
    std::printf("  %-16s %10s %10s %8s %12s (of ~%zu calls)\n", "", "median us", "p99 us", "calls", "CPU ms/s",
                expected);
    std::printf("  %-16s %10.1f %10.1f %8zu %12.1f\n", "timerfd loop", baseline.median, baseline.p99, baseline.calls,
                baseline.cpu);
    std::printf("  %-16s %10.1f %10.1f %8zu %12.1f\n", "TimerListener", ours.median, ours.p99, ours.calls, ours.cpu);
    std::printf("  %-16s %9.2fx %9.2fx\n", "ratio", ours.median / std::max(baseline.median, 0.001),
                ours.p99 / std::max(baseline.p99, 0.001));
    if (sources > 1) {
        std::printf("  %-16s %10.1f %10.1f %8zu %12.1f\n", "timerfd, spread", spread.median, spread.p99, spread.calls,
                    spread.cpu);
        std::printf("  %-16s %9.2fx %9.2fx\n", "ratio to spread", ours.median / std::max(spread.median, 0.001),
                    ours.p99 / std::max(spread.p99, 0.001));
    }
    std::printf("\n");
}

double Argument(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: timer_bench [--seconds N] [--many-seconds M]\n");
            return 0;
        }
    }
    const double seconds = Argument(argc, argv, "--seconds", 10);
    const double manySeconds = Argument(argc, argv, "--many-seconds", 3);
    if (seconds <= 0 || manySeconds <= 0) {
        std::fprintf(stderr, "timer_bench: durations must be positive\n");
        return 1;
    }
    Report("one period", 1, 10000000, seconds);
    Report("many periods", 100, 1000000, manySeconds);
    return 0;
}
