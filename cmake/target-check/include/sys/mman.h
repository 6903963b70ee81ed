/* The host's <sys/mman.h> plus what the target's adds, for the host compile check of the target
 * side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always
 * win. */
#ifndef CORESYSTEM_TARGET_CHECK_SYS_MMAN_H
#define CORESYSTEM_TARGET_CHECK_SYS_MMAN_H

#include_next <sys/mman.h>

#include <stddef.h>
#include <stdint.h>

/* Uncached mapping (device registers, memory shared with hardware). */
#define PROT_NOCACHE 0x00000800
/* What mmap_device_io() returns on failure. */
#define MAP_DEVICE_FAILED ((uintptr_t)MAP_FAILED)

#ifdef __cplusplus
extern "C" {
#endif

uintptr_t mmap_device_io(size_t len, uint64_t io);
int munmap_device_io(uintptr_t io, size_t len);
void* mmap_device_memory(void* addr, size_t len, int prot, int flags, uint64_t physical);
int munmap_device_memory(void* addr, size_t len);

#ifdef __cplusplus
}
#endif

#endif
