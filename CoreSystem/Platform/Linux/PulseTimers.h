// What the host's channel layer and its pulse timers tell each other (Linux side only).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace CoreSystem::Platform::Linux {

/// Called by the channel layer, with none of its locks held, for every pulse a receiver of this
/// process takes from its channel `chid`: a timer whose pulse it was may send the next one.
void PulseTaken(int chid, pid_t senderPid, int code, int value) noexcept;

/// Called by a receiver of this process, with none of the channel layer's locks held, before it
/// waits on (or, with a zero time limit, gives up on) its channel `chid` until `*until`
/// (CLOCK_MONOTONIC ns; UINT64_MAX: no limit), counted in the channel's waiting receivers. When
/// timers of this process aim at the channel and no other receiver keeps them, their expiries
/// already due are sent (the channel's sequence moves) and the caller keeps them while it waits:
/// `*until` is lowered to their earliest expiry, and true says the caller must call ReceiverWoke
/// as soon as its wait ends, however it ends.
bool ReceiverWaits(int chid, std::uint64_t* until) noexcept;

/// Ends what ReceiverWaits began, once the caller no longer counts in `*receiversWaiting` (the
/// channel's count of waiting receivers): sends the pulses of the kept timers that are due. The
/// others stay with the channel's receivers (see SendHeldDue), or go back to the service thread
/// when another receiver waits. True when a timer was due (its pulse waits in the channel).
bool ReceiverWoke(int chid, const std::uint32_t* receiversWaiting) noexcept;

/// Called by every receive of this process before it looks at its channel, and by every send to
/// a channel of this process before it queues, with none of the channel layer's locks held: sends
/// the pulses of the timers held between receives that are due, so they go before anything that
/// came after their expiry. A clock read when any are held, nothing otherwise. True when a pulse
/// was sent.
bool SendHeldDue() noexcept;

/// The process and channel the connection `coid` of this process leads to; false when unknown.
bool ConnectionTarget(int coid, pid_t* pid, int* chid) noexcept;

}  // namespace CoreSystem::Platform::Linux
