// What the host's channel layer and its pulse timers tell each other (Linux side only).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace CoreSystem::Platform::Linux {

/// Called by the channel layer, with none of its locks held, for every pulse a receiver of this
/// process takes from its channel `chid`: a timer whose pulse it was may send the next one.
void PulseTaken(int chid, pid_t senderPid, int code, int value) noexcept;

/// Called by a receiver of this process, with none of the channel layer's locks held, before it
/// waits on its channel `chid` until `*until` (CLOCK_MONOTONIC ns; UINT64_MAX: no limit). When
/// armed timers of this process aim at the channel and no other receiver keeps them, the caller
/// keeps them while it waits: `*until` is lowered to their earliest expiry, and true says the
/// caller must call ReceiverWoke as soon as its wait ends, however it ends.
bool ReceiverWaits(int chid, std::uint64_t* until) noexcept;

/// Ends what ReceiverWaits began: sends the pulses of the kept timers that are due and hands the
/// others back to the service thread. True when a timer was due (its pulse waits in the channel).
bool ReceiverWoke(int chid) noexcept;

/// The process and channel the connection `coid` of this process leads to; false when unknown.
bool ConnectionTarget(int coid, pid_t* pid, int* chid) noexcept;

}  // namespace CoreSystem::Platform::Linux
