// Fault injection at the platform seam: a test makes a chosen call fail the next time (or the
// n-th next time) with a chosen errno, without mocks in the framework's code.
#pragma once

namespace CoreSystem::Platform {

/// The calls through which faults can be injected.
enum class Call {
    ConnectAttach,
    MsgSend,
    MsgReceive,
    MsgReply,
    ShmOpen,
    Open,
    Write,
    Fsync,
    Rename,
    ShortWrite,  ///< write() stores only the first half of its bytes and returns that count
    Symlink,
    Devctl,     ///< devctl() and devctlv() return the error number
    MapDevice,  ///< mmap_device_io() and mmap_device_memory()
    MsgReceivePulse,
    TimerCreate,
    TimerSettime,
    TimerDelete,
    Count_
};

/// Makes the call fail `times` times with `error` after letting `skip` calls through.
void FailNext(Call call, int error, int skip = 0, int times = 1);
/// Removes every pending fault.
void ClearFaults();
/// For the layer: true (with errno set) when this call is to fail now.
bool InjectedFault(Call call) noexcept;

}  // namespace CoreSystem::Platform
