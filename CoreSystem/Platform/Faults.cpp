// The fault table behind FailNext/InjectedFault: one pending fault per call, process-wide.
// With nothing armed a call costs one relaxed atomic load; a forked child inherits what is armed.
#include "CoreSystem/Platform/Faults.h"

#include <pthread.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <mutex>

namespace CoreSystem::Platform {

namespace {

struct Pending {
    int error = 0;
    int skip = 0;
    int times = 0;  // > 0: armed
};

constexpr auto kCalls = static_cast<std::size_t>(Call::Count_);

// Never destroyed: calls made while statics are torn down still find it.
struct FaultTable {
    FaultTable() {
        // A fork while another thread edits the table must not leave the child's copy locked.
        ::pthread_atfork([] { Table().mutex.lock(); }, [] { Table().mutex.unlock(); },
                         [] { Table().mutex.unlock(); });
    }
    static FaultTable& Table() {
        static auto* table = new FaultTable;
        return *table;
    }
    std::mutex mutex;
    Pending pending[kCalls];
};

std::atomic<int> gArmed{0};  // number of calls with a pending fault

bool Valid(Call call) {
    return static_cast<std::size_t>(call) < kCalls;
}

}  // namespace

void FailNext(Call call, int error, int skip, int times) {
    if (!Valid(call)) return;
    FaultTable& table = FaultTable::Table();
    std::lock_guard<std::mutex> hold(table.mutex);
    Pending& entry = table.pending[static_cast<std::size_t>(call)];
    const bool wasArmed = entry.times > 0;
    entry = times > 0 ? Pending{error, skip > 0 ? skip : 0, times} : Pending{};
    const bool armed = entry.times > 0;
    if (armed != wasArmed) gArmed.fetch_add(armed ? 1 : -1, std::memory_order_release);
}

void ClearFaults() {
    FaultTable& table = FaultTable::Table();
    std::lock_guard<std::mutex> hold(table.mutex);
    for (Pending& entry : table.pending) entry = Pending{};
    gArmed.store(0, std::memory_order_release);
}

bool InjectedFault(Call call) noexcept {
    if (gArmed.load(std::memory_order_acquire) == 0 || !Valid(call)) return false;
    FaultTable& table = FaultTable::Table();
    std::lock_guard<std::mutex> hold(table.mutex);
    Pending& entry = table.pending[static_cast<std::size_t>(call)];
    if (entry.times <= 0) return false;
    if (entry.skip > 0) {
        --entry.skip;
        return false;
    }
    const int error = entry.error;
    if (--entry.times == 0) {
        entry = Pending{};
        gArmed.fetch_sub(1, std::memory_order_release);
    }
    errno = error;
    return true;
}

void CrashPoint(Call point) noexcept {
    if (InjectedFault(point)) ::raise(SIGKILL);
}

}  // namespace CoreSystem::Platform
