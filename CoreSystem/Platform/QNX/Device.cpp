// Device access on the target: the system's own calls, behind the fault table.
#include "CoreSystem/Platform/Device.h"

#include <cerrno>

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/File.h"

namespace CoreSystem::Platform {

int OpenDevice(const char* path, int oflag) {
    return open(path, oflag);
}

int devctl(int fd, int dcmd, void* data, std::size_t nbytes, int* info) {
    if (InjectedFault(Call::Devctl)) return errno;
    return ::devctl(fd, dcmd, data, nbytes, info);
}

int devctlv(int fd, int dcmd, int sparts, int rparts, const iov_t* siov, const iov_t* riov, int* info) {
    if (InjectedFault(Call::Devctl)) return errno;
    return ::devctlv(fd, dcmd, sparts, rparts, siov, riov, info);
}

std::uintptr_t mmap_device_io(std::size_t len, std::uint64_t io) {
    if (InjectedFault(Call::MapDevice)) return MAP_DEVICE_FAILED;
    return ::mmap_device_io(len, io);
}

int munmap_device_io(std::uintptr_t io, std::size_t len) {
    return ::munmap_device_io(io, len);
}

std::uint8_t in8(std::uintptr_t port) {
    return ::in8(port);
}
std::uint16_t in16(std::uintptr_t port) {
    return ::in16(port);
}
std::uint32_t in32(std::uintptr_t port) {
    return ::in32(port);
}
void out8(std::uintptr_t port, std::uint8_t value) {
    ::out8(port, value);
}
void out16(std::uintptr_t port, std::uint16_t value) {
    ::out16(port, value);
}
void out32(std::uintptr_t port, std::uint32_t value) {
    ::out32(port, value);
}

void* mmap_device_memory(void* addr, std::size_t len, int prot, int flags, std::uint64_t physical) {
    if (InjectedFault(Call::MapDevice)) return MAP_FAILED;
    return ::mmap_device_memory(addr, len, prot, flags, physical);
}

int munmap_device_memory(void* addr, std::size_t len) {
    return ::munmap_device_memory(addr, len);
}

}  // namespace CoreSystem::Platform
