// Native message passing, pulses and kernel timeouts, with the target's names and results.
// On the target these are the kernel calls themselves; on a development host they are the
// platform layer's emulation, which keeps every property the framework relies on.
#pragma once

#include <sys/types.h>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>

#if defined(__QNX__)
#include <sys/neutrino.h>
#else
#include <sys/uio.h>

/// One part of a gathered message (the target's iov_t has the same members).
typedef struct iovec iov_t;
#define SETIOV(iov, base, len) ((iov)->iov_base = (void*)(base), (iov)->iov_len = (len))
// The target's header values; the framework uses only these names.
#define _NTO_SIDE_CHANNEL 0x40000000
#define _NTO_CHF_FIXED_PRIORITY 0x0001
#define _NTO_CHF_UNBLOCK 0x0002
#define _NTO_CHF_THREAD_DEATH 0x0004
#define _NTO_CHF_DISCONNECT 0x0008
#define _NTO_CHF_COID_DISCONNECT 0x0040
#define _NTO_CHF_SENDER_LEN 0x0200
#define _NTO_CHF_REPLY_LEN 0x0400
#define _NTO_COF_CLOEXEC 0x0001
#define _NTO_TIMEOUT_SEND (1 << 4)    /* 1 << STATE_SEND */
#define _NTO_TIMEOUT_RECEIVE (1 << 5) /* 1 << STATE_RECEIVE */
#define _NTO_TIMEOUT_REPLY (1 << 6)   /* 1 << STATE_REPLY */
#define _PULSE_TYPE 0
#define _PULSE_SUBTYPE 0
#define _PULSE_CODE_MINAVAIL 0
#define _PULSE_CODE_MAXAVAIL 127
#define ND_LOCAL_NODE 0
#define EOK 0

/// Information about a received message (the 6.6/7.x layout).
struct _msg_info {
    std::uint32_t nd;
    std::uint32_t srcnd;
    pid_t pid;
    std::int32_t tid;
    std::int32_t chid;
    std::int32_t scoid;
    std::int32_t coid;
    std::int32_t msglen;
    std::int32_t srcmsglen;
    std::int32_t dstmsglen;
    std::int16_t priority;
    std::int16_t flags;
    std::uint32_t reserved;
};

/// A received pulse, laid out byte for byte as on the target.
struct _pulse {
    std::uint16_t type;
    std::uint16_t subtype;
    std::int8_t code;
    std::uint8_t zero[3];
    union sigval value;
    std::int32_t scoid;
};
#endif

namespace CoreSystem::Platform {

/// Creates a channel owned by the calling process. Returns its chid, or -1 with errno
/// (EINVAL for a flag the host does not implement, EAGAIN when no channel can be made).
/// Chids are never reused within a process.
int ChannelCreate(unsigned flags);
/// Destroys a channel: blocked receivers fail, every sender blocked on it and every later
/// send on a connection to it fails with -1. Returns 0, or -1 with EINVAL.
int ChannelDestroy(int chid);
/// Connects to channel `chid` of process `pid` (0: the calling process) on node `nd`.
/// With _NTO_SIDE_CHANNEL in `index` the id never collides with a file descriptor.
/// Returns the connection id, or -1 when the process or channel does not exist.
int ConnectAttach(std::uint32_t nd, pid_t pid, int chid, unsigned index, int flags);
/// Releases a connection id, also one whose channel is gone. -1 with EINVAL for an unknown id.
int ConnectDetach(int coid);
/// Sends a message and blocks until it is replied to. Returns the reply status; -1 with
/// ESRCH or EBADF when the receiver is gone, ETIMEDOUT after an armed TimerTimeout, or the
/// errno the receiver passed to MsgError.
long MsgSend(int coid, const void* smsg, std::size_t sbytes, void* rmsg, std::size_t rbytes);
/// MsgSend with the message gathered from `sparts` parts and the reply scattered into `rparts`.
long MsgSendv(int coid, const iov_t* siov, int sparts, const iov_t* riov, int rparts);
/// Receives the next message (returns a positive receive id) or pulse (returns 0) in
/// priority order. A longer message is cut to `bytes`; info->msglen < info->srcmsglen tells.
/// -1 with ETIMEDOUT after an armed TimerTimeout, EINVAL when the channel is gone.
int MsgReceive(int chid, void* msg, std::size_t bytes, struct _msg_info* info);
/// Receives the next pulse only; queued messages stay queued.
int MsgReceivePulse(int chid, void* pulse, std::size_t bytes, struct _msg_info* info);
/// Replies to a received message; its sender's MsgSend returns `status`. -1 with ESRCH when
/// the sender has died or stopped waiting.
int MsgReply(int rcvid, long status, const void* msg, std::size_t bytes);
/// Makes the sender's MsgSend fail with -1 and errno `error` (or return 0 for EOK).
int MsgError(int rcvid, int error);
/// Queues a pulse; never blocks. -1 with EBADF/ESRCH when the channel is gone, EINVAL for a
/// bad code, EAGAIN when the receiver's pulse queue is full.
int MsgSendPulse(int coid, int priority, int code, int value);
/// Arms a timeout for the calling thread's next blocking call in one of the `flags` states.
/// `ntime` NULL makes that call a poll. Cleared by the next call, whatever it is.
int TimerTimeout(clockid_t id, int flags, const struct sigevent* notify, const std::uint64_t* ntime,
                 std::uint64_t* otime);

/// How closely messages follow each other when a thread that receives them back to back and hands
/// each to another thread may hold that thread's wake-up back, so that one wake-up hands over
/// several (0: never). On the target a wake-up is cheap and nothing is held back; on a development
/// host it costs a context switch that may take the processor of the very sender whose next
/// message is on its way.
extern const std::uint64_t kWakeBatchNs;

}  // namespace CoreSystem::Platform
