// What the host's channel layer and its pulse timers tell each other (Linux side only).
#pragma once

#include <sys/types.h>

namespace CoreSystem::Platform::Linux {

/// Called by the channel layer, with none of its locks held, for every pulse a receiver of this
/// process takes from its channel `chid`: a timer whose pulse it was may send the next one.
void PulseTaken(int chid, pid_t senderPid, int code, int value) noexcept;

/// The process and channel the connection `coid` of this process leads to; false when unknown.
bool ConnectionTarget(int coid, pid_t* pid, int* chid) noexcept;

}  // namespace CoreSystem::Platform::Linux
