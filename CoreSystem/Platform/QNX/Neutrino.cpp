// Message passing on the target: the kernel calls themselves.
#include "CoreSystem/Platform/Neutrino.h"

#include "CoreSystem/Platform/Faults.h"

namespace CoreSystem::Platform {

const std::uint64_t kWakeBatchNs = 0;

int ChannelCreate(unsigned flags) {
    return ::ChannelCreate(flags);
}
int ChannelDestroy(int chid) {
    return ::ChannelDestroy(chid);
}
int ConnectAttach(std::uint32_t nd, pid_t pid, int chid, unsigned index, int flags) {
    if (InjectedFault(Call::ConnectAttach)) return -1;
    return ::ConnectAttach(nd, pid, chid, index, flags);
}
int ConnectDetach(int coid) {
    return ::ConnectDetach(coid);
}
long MsgSend(int coid, const void* smsg, std::size_t sbytes, void* rmsg, std::size_t rbytes) {
    if (InjectedFault(Call::MsgSend)) return -1;
    return ::MsgSend(coid, smsg, sbytes, rmsg, rbytes);
}
long MsgSendv(int coid, const iov_t* siov, int sparts, const iov_t* riov, int rparts) {
    if (InjectedFault(Call::MsgSend)) return -1;
    return ::MsgSendv(coid, siov, sparts, riov, rparts);
}
int MsgReceive(int chid, void* msg, std::size_t bytes, struct _msg_info* info) {
    if (InjectedFault(Call::MsgReceive)) return -1;
    return ::MsgReceive(chid, msg, bytes, info);
}
int MsgReceivePulse(int chid, void* pulse, std::size_t bytes, struct _msg_info* info) {
    if (InjectedFault(Call::MsgReceivePulse)) return -1;
    return ::MsgReceivePulse(chid, pulse, bytes, info);
}
int MsgReply(int rcvid, long status, const void* msg, std::size_t bytes) {
    if (InjectedFault(Call::MsgReply)) return -1;
    return ::MsgReply(rcvid, status, msg, bytes);
}
int MsgError(int rcvid, int error) {
    return ::MsgError(rcvid, error);
}
int MsgSendPulse(int coid, int priority, int code, int value) {
    return ::MsgSendPulse(coid, priority, code, value);
}
int TimerTimeout(clockid_t id, int flags, const struct sigevent* notify, const std::uint64_t* ntime,
                 std::uint64_t* otime) {
    return ::TimerTimeout(id, flags, notify, ntime, otime);
}

}  // namespace CoreSystem::Platform
