// What the host's channel layer and its pulse timers share (Linux side only).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace CoreSystem::Platform::Linux {

/// A pulse timer aimed at a channel of this process: what its expiries send, and when. Guarded by
/// the lock of the ChannelTimers it is listed in.
struct ChannelTimer {
    int priority = 0;
    int code = 0;
    int value = 0;
    std::uint64_t deadline = 0;  ///< next expiry, CLOCK_MONOTONIC ns; 0: disarmed
    std::uint64_t interval = 0;  ///< ns; 0: single shot
    bool pending = false;        ///< its last pulse still waits in the channel
    std::shared_ptr<const std::atomic<bool>> attached;  ///< whether its connection is still attached
};

/// The timers aimed at one channel of this process; each channel has one such record. No thread
/// sends their pulses: every receive on the channel first queues the pulses of the expiries that
/// are due, then waits at most until the next expiry.
struct ChannelTimers {
    std::mutex lock;                    ///< guards `timers` and their fields; taken before the channel's lock
    std::vector<ChannelTimer*> timers;  ///< listed by their owners (the pulse timers)
    std::atomic<std::size_t> count{0};  ///< timers.size(), read without the lock
    std::uint64_t wakeAt = UINT64_MAX;  ///< waiting receivers wake by then at the latest
    void* channel = nullptr;            ///< the channel layer's shared channel object
};

/// The timers record of the channel of this process that connection `coid` leads to, and in
/// `*attached` whether the connection is still attached; null when it leads elsewhere (another
/// process, a destroyed channel, no connection). Both live as long as their pointers.
std::shared_ptr<ChannelTimers> OwnChannelTimers(int coid, std::shared_ptr<const std::atomic<bool>>* attached) noexcept;

/// Called with `timers.lock` held after a timer of the record was armed or disarmed: queues the
/// pulses now due and lets the channel's waiting receivers recompute their wait.
void TimersChanged(ChannelTimers& timers) noexcept;

/// The expiry of a periodic timer that follows `due`, on its grid and after `now`: expiries that
/// were missed are skipped.
inline std::uint64_t NextExpiry(std::uint64_t due, std::uint64_t interval, std::uint64_t now) {
    std::uint64_t next = due + interval;
    if (next <= now) next += ((now - next) / interval + 1) * interval;
    return next;
}

}  // namespace CoreSystem::Platform::Linux
