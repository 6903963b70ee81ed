/* Declaration-only stand-in for the target's <hw/i2c.h>, for the host compile check of the target
 * side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always
 * win. */
#ifndef CORESYSTEM_TARGET_CHECK_HW_I2C_H
#define CORESYSTEM_TARGET_CHECK_HW_I2C_H

#include <devctl.h>
#include <stdint.h>

/* A slave address and its format. */
typedef struct {
    uint32_t addr;
    uint32_t fmt;
} i2c_addr_t;

#define I2C_ADDRFMT_7BIT 2

/* Header of a master send; the `len` data bytes follow it. `stop` 1: send a stop condition. */
typedef struct {
    i2c_addr_t slave;
    uint32_t len;
    uint32_t stop;
} i2c_send_t;

#define _DCMD_I2C _DCMD_MISC
#define DCMD_I2C_SEND __DIOT(_DCMD_I2C, 5, i2c_send_t)

#ifdef __cplusplus
static_assert(sizeof(i2c_addr_t) == 8, "i2c_addr_t: two 32-bit members");
static_assert(sizeof(i2c_send_t) == 16 && offsetof(i2c_send_t, len) == 8,
              "i2c_send_t: address, then 32-bit len and stop");
static_assert(DCMD_I2C_SEND == 0x80100505, "DCMD_I2C_SEND: to the driver, 16 bytes, class 5, 5");
#endif

#endif
