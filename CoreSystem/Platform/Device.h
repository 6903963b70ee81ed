// Device access with the target's names, types and results: device control commands, the I2C
// master send, device registers and physical memory. On the target these are the system's own
// calls; on a development host they reach the simulated board under the host root (docs/board.md).
#pragma once

#include <sys/mman.h>
#include <cstddef>
#include <cstdint>

#include "CoreSystem/Platform/Neutrino.h"  // iov_t, EOK

#if defined(__QNX__)
#include <devctl.h>
#include <hw/i2c.h>
#include <hw/inout.h>
#else
// The target's header values; framework code uses only these names.
#define _POSIX_DEVDIR_NONE 0x00000000u
#define _POSIX_DEVDIR_TO 0x80000000u   /* data from the caller to the driver */
#define _POSIX_DEVDIR_FROM 0x40000000u /* data from the driver to the caller */
#define DCMD_I2C_SEND 0x80100505
#define I2C_ADDRFMT_10BIT 0x0001
#define I2C_ADDRFMT_7BIT 0x0002
/// Uncached device memory: a bit of this layer, removed before the host's mmap sees `prot`.
#define PROT_NOCACHE 0x0800
#define MAP_DEVICE_FAILED (reinterpret_cast<std::uintptr_t>(MAP_FAILED))

/// Address of an I2C slave and its format (I2C_ADDRFMT_7BIT or I2C_ADDRFMT_10BIT).
typedef struct {
    std::uint32_t addr;
    std::uint32_t fmt;
} i2c_addr_t;

/// Header of a master send: followed by `len` data bytes; `stop` 1 ends with a stop condition.
typedef struct {
    i2c_addr_t slave;
    std::uint32_t len;
    std::uint32_t stop;
} i2c_send_t;
#endif

static_assert(sizeof(i2c_addr_t) == 8, "i2c_addr_t is two 32-bit fields");
static_assert(sizeof(i2c_send_t) == 16, "i2c_send_t is the 16-byte header before the data");
static_assert(offsetof(i2c_send_t, len) == 8 && offsetof(i2c_send_t, stop) == 12, "i2c_send_t layout");

namespace CoreSystem::Platform {

/// Opens the device node `path` (e.g. "/dev/iplctl"); on a host it resolves under the host root
/// like every fixed device path. -1 with errno (ENOENT when the board has no such node).
/// Fault: Call::Open.
int OpenDevice(const char* path, int oflag);

/// Sends the device command `dcmd` on `fd`. The direction bits of `dcmd` say which way `data`
/// travels and `nbytes` how many bytes (the size field of `dcmd` is not used). Returns EOK or an
/// error number, never -1: ENOTTY for a command the device does not know, EBADF for a bad
/// descriptor. Nothing is copied into `data` on failure. `info` (may be null) gets the device's
/// extra status. Fault: Call::Devctl (returns the injected error number).
int devctl(int fd, int dcmd, void* data, std::size_t nbytes, int* info);
/// devctl with the data gathered from `sparts` parts of `siov` and the reply scattered into
/// `rparts` parts of `riov` (DCMD_I2C_SEND: header, then the data bytes; no reply parts).
int devctlv(int fd, int dcmd, int sparts, int rparts, const iov_t* siov, const iov_t* riov, int* info);

/// Makes `len` bytes of device registers at physical address `io` usable by in*() and out*().
/// Returns the handle (the address of the first register), or MAP_DEVICE_FAILED with errno
/// (EINVAL for `len` 0, ENXIO where no device memory is). Fault: Call::MapDevice.
std::uintptr_t mmap_device_io(std::size_t len, std::uint64_t io);
/// Releases a mapping of mmap_device_io. 0, or -1 with EINVAL when `io` is not such a mapping.
int munmap_device_io(std::uintptr_t io, std::size_t len);

/// Register reads and stores at an address inside a device mapping (mmap_device_io or
/// mmap_device_memory). No error result: as on the target, an address outside every mapping is
/// a fault of the program (SIGSEGV).
std::uint8_t in8(std::uintptr_t port);
std::uint16_t in16(std::uintptr_t port);
std::uint32_t in32(std::uintptr_t port);
void out8(std::uintptr_t port, std::uint8_t value);
void out16(std::uintptr_t port, std::uint16_t value);
void out32(std::uintptr_t port, std::uint32_t value);

/// Maps `len` bytes of physical memory at `physical`. `prot` combines PROT_READ, PROT_WRITE and
/// PROT_NOCACHE (a mapping asked for write access is readable too); `flags` 0 or MAP_FIXED (with
/// `addr`). Returns the address, or MAP_FAILED with errno (EINVAL for `len` 0 or an unknown bit,
/// ENXIO where no device memory is). Fault: Call::MapDevice.
void* mmap_device_memory(void* addr, std::size_t len, int prot, int flags, std::uint64_t physical);
/// Releases a mapping of mmap_device_memory. 0, or -1 with EINVAL when `addr` is not one.
int munmap_device_memory(void* addr, std::size_t len);

}  // namespace CoreSystem::Platform
