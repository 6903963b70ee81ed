/* Declaration-only stand-in for the target's <devctl.h>, for the host compile check of the target
 * side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always
 * win. */
#ifndef CORESYSTEM_TARGET_CHECK_DEVCTL_H
#define CORESYSTEM_TARGET_CHECK_DEVCTL_H

#include <stddef.h>
#include <sys/uio.h>

typedef struct iovec iov_t;

/* Direction bits of a dcmd: data to the driver, from the driver, both or neither. */
#define _POSIX_DEVDIR_NONE 0
#define _POSIX_DEVDIR_TO 0x80000000
#define _POSIX_DEVDIR_FROM 0x40000000
#define _POSIX_DEVDIR_TOFROM (_POSIX_DEVDIR_TO | _POSIX_DEVDIR_FROM)

/* dcmd = direction + (size of the data << 16) + (class << 8) + command. */
#define __DION(class, cmd) (((class) << 8) + (cmd) + _POSIX_DEVDIR_NONE)
#define __DIOF(class, cmd, data) \
    ((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_FROM)
#define __DIOT(class, cmd, data) \
    ((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_TO)
#define __DIOTF(class, cmd, data) \
    ((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_TOFROM)

/* Command class of the I2C and board commands. */
#define _DCMD_MISC 0x05

#ifdef __cplusplus
extern "C" {
#endif

/* EOK or an errno value, returned directly (never -1). */
int devctl(int filedes, int dcmd, void* dev_data_ptr, size_t n_bytes, int* dev_info_ptr);
int devctlv(int filedes, int dcmd, int sparts, int rparts, const iov_t* sv, const iov_t* rv,
            int* dev_info_ptr);

#ifdef __cplusplus
}
#endif

#endif
