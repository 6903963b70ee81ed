/* Declaration-only stand-in for the target's <sys/syspage.h>, for the host compile check of the
 * target side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers
 * always win. Only the members the code reads are declared: the system page's qtime entry and its
 * cycles_per_sec (ClockCycles() increments per second). */
#ifndef CORESYSTEM_TARGET_CHECK_SYS_SYSPAGE_H
#define CORESYSTEM_TARGET_CHECK_SYS_SYSPAGE_H

#include <stdint.h>

struct syspage_entry_info {
    uint16_t entry_off;
    uint16_t entry_size;
};

struct qtime_entry {
    uint64_t cycles_per_sec;
};

struct syspage_entry {
    struct syspage_entry_info qtime;
};

#ifdef __cplusplus
extern "C" {
#endif
extern struct syspage_entry* _syspage_ptr;
#ifdef __cplusplus
}
#endif

#define SYSPAGE_ENTRY(entry) \
    ((struct entry##_entry*)((char*)_syspage_ptr + _syspage_ptr->entry.entry_off))

#endif
