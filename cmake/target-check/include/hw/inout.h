/* Declaration-only stand-in for the target's <hw/inout.h>, for the host compile check of the
 * target side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers
 * always win. */
#ifndef CORESYSTEM_TARGET_CHECK_HW_INOUT_H
#define CORESYSTEM_TARGET_CHECK_HW_INOUT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Register reads and writes at a handle from mmap_device_io(); no error return. */
uint8_t in8(uintptr_t port);
uint16_t in16(uintptr_t port);
uint32_t in32(uintptr_t port);
void out8(uintptr_t port, uint8_t val);
void out16(uintptr_t port, uint16_t val);
void out32(uintptr_t port, uint32_t val);

#ifdef __cplusplus
}
#endif

#endif
