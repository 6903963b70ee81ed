/* Declaration-only stand-in for the target's <sys/neutrino.h>, for the host compile check of the
 * target side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers
 * always win. */
#ifndef CORESYSTEM_TARGET_CHECK_SYS_NEUTRINO_H
#define CORESYSTEM_TARGET_CHECK_SYS_NEUTRINO_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

/* One part of a gathered or scattered message. */
typedef struct iovec iov_t;
#define SETIOV(_iov, _addr, _len) ((_iov)->iov_base = (void*)(_addr), (_iov)->iov_len = (_len))

/* ConnectAttach(): the connection id comes from a space apart from file descriptors. */
#define _NTO_SIDE_CHANNEL 0x40000000

/* ChannelCreate() flags. */
#define _NTO_CHF_FIXED_PRIORITY 0x0001

/* TimerTimeout() states: 1 << STATE_SEND, STATE_RECEIVE, STATE_REPLY. */
#define _NTO_TIMEOUT_SEND (1 << 4)
#define _NTO_TIMEOUT_RECEIVE (1 << 5)
#define _NTO_TIMEOUT_REPLY (1 << 6)

/* Pulse codes left to programs (negative codes are the system's). */
#define _PULSE_CODE_MINAVAIL 0
#define _PULSE_CODE_MAXAVAIL 127

/* Information about a received message: the 6.6/7.x layout. */
struct _msg_info {
    uint32_t nd;
    uint32_t srcnd;
    pid_t pid;
    int32_t tid;
    int32_t chid;
    int32_t scoid;
    int32_t coid;
    int32_t msglen;
    int32_t srcmsglen;
    int32_t dstmsglen;
    int16_t priority;
    int16_t flags;
    uint32_t reserved;
};

/* A received pulse. */
struct _pulse {
    uint16_t type;
    uint16_t subtype;
    int8_t code;
    uint8_t zero[3];
    union sigval value;
    int32_t scoid;
};

#ifdef __cplusplus
static_assert(sizeof(struct _msg_info) == 48, "_msg_info: twelve 32-bit and two 16-bit members");
static_assert(offsetof(struct _msg_info, priority) == 40, "_msg_info: priority after the lengths");
static_assert(offsetof(struct _pulse, code) == 4 && offsetof(struct _pulse, value) == 8,
              "_pulse: type, subtype, code, three zero bytes, value");
extern "C" {
#endif

int ChannelCreate(unsigned flags);
int ChannelDestroy(int chid);
int ConnectAttach(uint32_t nd, pid_t pid, int chid, unsigned index, int flags);
int ConnectDetach(int coid);
long MsgSend(int coid, const void* smsg, size_t sbytes, void* rmsg, size_t rbytes);
long MsgSendv(int coid, const iov_t* siov, size_t sparts, const iov_t* riov, size_t rparts);
int MsgReceive(int chid, void* msg, size_t bytes, struct _msg_info* info);
int MsgReceivePulse(int chid, void* pulse, size_t bytes, struct _msg_info* info);
int MsgReply(int rcvid, long status, const void* msg, size_t bytes);
int MsgError(int rcvid, int error);
int MsgSendPulse(int coid, int priority, int code, int value);
int TimerTimeout(clockid_t id, int flags, const struct sigevent* notify, const uint64_t* ntime,
                 uint64_t* otime);
uint64_t ClockCycles(void);

#ifdef __cplusplus
}
#endif

#endif
