// Access to the board's control device "/dev/iplctl" and the hardware shutdown sequence of each
// processor family. Locks (process-local, never held together): the descriptor lock guards the
// lazily opened control descriptor, the control-call lock serialises every device command on it,
// the shutdown lock serialises shutdown sequences.
#pragma once

#include <cstddef>

#include "CoreSystem/Hardware/DeviceFamily.h"

namespace CoreSystem {

/// The descriptor of "/dev/iplctl", opened read-write on the first call on M2 and E2 boards and
/// kept for the process's life. -1 on other families (the device is never opened) or when the
/// open failed; a failed open is tried again on the next call. Any thread.
int IplControlDescriptor();
/// The same with the family given as a value (the process's descriptor is shared by both forms).
int IplControlDescriptor(DeviceFamily family);

/// Sends the device command `dcmd` on `fd` under the control-call lock, so that commands of
/// different threads never interleave at the device. 0, or the device's error number.
int IplDevctl(int fd, int dcmd, void* data, std::size_t bytes, int* info);

class HardwareManager {
public:
    /// Takes the board down with the register sequence of this board's family (nothing on an
    /// unknown family). Logged with code 12345, severity 6. One sequence at a time (shutdown lock).
    static void Shutdown();
    /// The sequence of `family`, whatever the process's family is.
    static void Shutdown(DeviceFamily family);

    /// Takes the board down so that it restarts into its boot loader: on M2 and E2 the CAN
    /// application is told, the H7 and the USB hub are reset, the boot command block is left for
    /// the loader and the watchdog resets the board; on iMX35 the loader register is rewritten by
    /// the shell and Shutdown() runs; nothing on an unknown family. One sequence at a time (the
    /// loader-shutdown lock, always taken before the shutdown lock). Defined with the application
    /// framework, since it talks to the CAN application (CoreSystem/Application/ShutdownToLoader.cpp).
    static void ShutdownToLoader();
    /// The sequence of `family`, whatever the process's family is.
    static void ShutdownToLoader(DeviceFamily family);
};

}  // namespace CoreSystem
