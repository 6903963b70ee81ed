// Native message passing emulated on Linux. A channel is a shared-memory object holding message
// slots; futex words carry every hand-over, so a send wakes the receiver and the reply wakes the
// sender with no other system call. A keeper thread per owning process lists each channel's owner
// word in its robust list, so the kernel itself marks it and wakes a blocked sender when the
// owning process dies (senders wait on their own word and the owner's at once, and the first one
// woken wakes the rest): a sender never hangs on a dead receiver.
#include "CoreSystem/Platform/Neutrino.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Linux/Futex.h"
#include "CoreSystem/Platform/Linux/ProcStat.h"
#include "CoreSystem/Platform/Linux/PulseTimers.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/ProcessSync.h"

namespace CoreSystem::Platform {

namespace {

using Linux::futexWait;
using Linux::futexWake;
using Linux::monotonicNs;
using Linux::relax;
using Linux::toTimespec;

constexpr std::uint32_t kMagic = 0x4e43484eu;  // "NHCN"
constexpr std::uint32_t kVersion = 3;
constexpr int kSlotCount = 64;
/// Pulses pending on one channel; they have their own pool, so blocked senders never stop one.
constexpr int kPulseCount = 1024;
/// Largest message (and reply) one send carries on this host.
constexpr std::size_t kSlotCapacity = 65536 - 128;
constexpr int kDefaultPriority = 10;
/// How long a blocked sender sleeps before it also asks the kernel whether the owner lives
/// (a fallback: the robust list normally wakes it at once).
constexpr std::uint64_t kLivenessSliceNs = 1000000000ull;
/// How long a sender spins for its reply before it sleeps (measured in bench/nm_bench: without
/// the spin the reply's wake-up lies on the path of every frame).
constexpr std::uint64_t kSendSpinNs = 4000;
/// A receive that took a message less than kReceiveBurstNs ago polls its channel for up to
/// kReceiveSpinNs before it sleeps: a sender sending back to back is usually that close behind.
constexpr std::uint64_t kReceiveBurstNs = 20000;
constexpr std::uint64_t kReceiveSpinNs = 3000;
/// How far ahead a sender reaching for its kept slot, or a receiver for a queued message, fetches
/// the message's first bytes.
constexpr std::size_t kPrefetchBytes = 128;
/// A message of at most this many bytes is copied into its slot under the channel lock.
constexpr std::size_t kQueueInLockBytes = 512;
/// When this thread's last receive took a message (0: not since it last slept).
thread_local std::uint64_t lastMessageAt = 0;

// Values of a slot's custody word that can never be a thread id (ids stay below 2^22).
constexpr std::uint32_t kCustodyFree = 0;
constexpr std::uint32_t kReplied = 0x3fffff01u;
constexpr std::uint32_t kAbandoned = 0x3fffff02u;
constexpr std::uint32_t kDestroyed = 0x3fffff03u;
/// The sender has read its reply and keeps the slot for its next send; any claim may take it
/// back when the free list runs out.
constexpr std::uint32_t kKept = 0x3fffff04u;

enum SlotState : std::uint32_t { kFree = 0, kClaimed = 1, kQueued = 2, kReceived = 3 };

/// One message in a channel. The words a spinning sender watches have a cache line of their own,
/// so that its looking does not pull the line with the rest of the slot away from the receiver.
struct alignas(64) Slot {
    std::uint32_t custody;         ///< futex: owner's keeper tid while the owner has the message
    std::uint32_t senderSpinning;  ///< 1 while the sender spins for its reply instead of sleeping
    std::uint32_t reserved[14];
    std::uint32_t state;           ///< SlotState, under the channel lock
    std::uint32_t generation;      ///< changes at every claim; part of the receive id
    std::int32_t next;             ///< queue or free-list link
    std::uint32_t order;           ///< arrival number: FIFO among equal priorities
    std::int32_t senderPid;
    std::int32_t senderTid;
    std::int32_t senderCoid;
    std::int32_t priority;
    std::uint32_t sendBytes;
    std::uint32_t replyCapacity;
    std::uint32_t replyBytes;
    std::int32_t error;
    std::int64_t status;
    std::uint32_t reserved2[2];
    char data[kSlotCapacity];
};

/// A pending pulse.
struct PulseEntry {
    std::int32_t next;  ///< queue or free-list link
    std::uint32_t order;
    std::int32_t priority;
    std::int32_t code;
    std::int32_t value;
    std::int32_t scoid;
    std::uint32_t queued;  ///< 1 while in the queue, 0 while free
    std::uint32_t reserved;
};

/// A channel. The first cache line is written rarely, so every core keeps a copy of it. The second
/// holds the lock and what it guards, which a send or a receive changes in one go; the third the
/// word a waiting receiver watches, so that its looking does not pull the second away from a
/// sender in the middle of queuing.
struct ChannelShared {
    std::uint32_t magic;
    std::uint32_t version;
    std::int32_t ownerPid;
    std::int32_t chid;
    std::uint32_t destroyed;
    std::uint32_t timerDue;  ///< see kNoTimerDue; else the owner's earliest timer expiry (us clock)
    robust_list aliveNode;  ///< first entry of the channel in the keeper list
    std::uint32_t alive;    ///< keeper tid; the kernel sets FUTEX_OWNER_DIED at death
    std::uint32_t freeSeq;  ///< futex: bumped when a slot is freed or on destroy
    std::uint32_t sendersWaiting;
    std::uint32_t reserved1[5];
    ProcessMutex lock;       ///< guards the queues, free lists, slot and pulse states
    std::int32_t queueHead;  ///< priority-ordered queue, FIFO within a priority
    std::int32_t freeHead;
    std::int32_t pulseHead;  ///< priority-ordered, FIFO within a priority
    std::int32_t pulseFree;
    std::uint32_t arrivals;    ///< next arrival number
    std::uint32_t timerOrder;  ///< arrival number kept for an overdue timer's pulse (kTimerStamped)
    std::uint32_t reserved2[8];
    std::uint32_t seq;  ///< futex: bumped (under the lock) when something is queued or on destroy
    std::uint32_t receiversWaiting;
    std::uint32_t reserved3[14];
    PulseEntry pulses[kPulseCount];
    Slot slots[kSlotCount];
};

static_assert(offsetof(ChannelShared, alive) - offsetof(ChannelShared, aliveNode) == 8,
              "robust futex offset");
static_assert(offsetof(ChannelShared, lock) == 64 && offsetof(ChannelShared, arrivals) == 88 &&
                  offsetof(ChannelShared, seq) == 128 && offsetof(ChannelShared, pulses) == 192,
              "the lock and the queues share the second cache line, seq has the third");
static_assert(sizeof(PulseEntry) == 32 && offsetof(Slot, state) == 64 && offsetof(Slot, data) == 128 &&
                  sizeof(Slot) == 65536 && offsetof(ChannelShared, slots) % 64 == 0,
              "channel layout");

constexpr long kRobustOffset = 8;

// The owner's timers aimed at a channel are expired by its receivers, and a pulse due while none
// waited is queued late. So that it still goes ahead of what arrived after its expiry, the owner
// publishes its earliest expiry in `timerDue` (a microsecond clock of 32 bits, compared within
// half its range), and the first arrival at or after it reserves an arrival number for the pulse.
constexpr std::uint32_t kNoTimerDue = 0;
constexpr std::uint32_t kTimerStamped = 1;  ///< `timerOrder` holds the reserved number
/// Expiries further ahead are not published; a receiver waiting for one looks again by then.
constexpr std::uint64_t kTimerDueHorizonNs = 1800ull * 1000000000ull;

std::uint32_t timerClock(std::uint64_t ns) {
    const auto us = static_cast<std::uint32_t>(ns / 1000);
    return us <= kTimerStamped ? kTimerStamped + 1 : us;
}

std::uint32_t load(const std::uint32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
void store(std::uint32_t& word, std::uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
bool exchange(std::uint32_t& word, std::uint32_t& expected, std::uint32_t desired) {
    return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

/// True when process `pid` has ended: it no longer exists, or it is a zombie not yet reaped.
bool processGone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[256];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    const char* state = std::strrchr(text, ')');
    return state && (state[1] == ' ') && (state[2] == 'Z' || state[2] == 'X');
}

/// Cheaper check for the receive path: the process no longer exists at all.
bool processVanished(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

/// True while the sender of a queued message certainly lives: it is spinning for its reply right
/// now (it flags that before it queues), or the kernel still knows its process.
bool senderAttending(const Slot& slot) {
    return __atomic_load_n(&slot.senderSpinning, __ATOMIC_SEQ_CST) != 0 || !processVanished(slot.senderPid);
}

/// True once a sender's wait is over: replied, or failed because the channel is gone.
bool settled(std::uint32_t custody) {
    return custody == kReplied || custody == kDestroyed;
}

/// A mapping of a channel object, unmapped when the last user lets go.
struct Mapping {
    ChannelShared* shared = nullptr;
    ~Mapping() {
        if (shared) munmap(shared, sizeof(ChannelShared));
    }
};

struct Channel {
    int chid = 0;
    int tableIndex = 0;
    std::string name;
    std::shared_ptr<Mapping> mapping;
    Linux::ChannelTimers timers;  ///< the timers of this process aimed at it
    /// kEmptyKnown | seq when a receive found the queues empty at that value of the channel's seq:
    /// while seq has not moved they still are, and a receive waits without taking the lock.
    std::atomic<std::uint64_t> emptyAt{0};
};

constexpr std::uint64_t kEmptyKnown = 1ull << 32;

/// A thread that sends again keeps its slot after the reply and takes it for its next message to
/// the same channel, without giving it back to the free list in between (its first send gives its
/// slot back: a thread that sends once would keep it for nothing). The slot is a hint, checked
/// under the channel lock: the channel takes kept slots back when its free list runs out.
struct KeptSlot {
    const ChannelShared* channel = nullptr;
    int index = -1;
    bool sentBefore = false;
};
thread_local KeptSlot tKept;

struct Connection {
    pid_t pid = 0;
    int chid = 0;
    int placeholderFd = -1;  ///< keeps a file-descriptor-numbered id from colliding with a file
    std::shared_ptr<Mapping> mapping;
    std::atomic<bool> attached{true};  ///< false once detached: a timer's pulses stop there
};

constexpr int kChannelTable = 256;

/// Process-local tables; never destroyed, so they stay usable while the process exits.
struct State {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Channel>> channels;
    std::array<std::shared_ptr<Channel>, kChannelTable> byIndex;
    std::map<int, std::shared_ptr<Connection>> connections;
    int nextChid = 0;  ///< 0: not yet chosen (see firstChid)
    int nextSideCoid = _NTO_SIDE_CHANNEL;
    pid_t pid = 0;
    pid_t keeperTid = 0;
    bool prepared = false;  ///< stale channels swept and the exit hook registered
    robust_list_head robustHead{};
};

State& state();

void atforkPrepare() {
    state().mutex.lock();
    for (auto& entry : state().channels) entry.second->timers.lock.lock();
}
void atforkParent() {
    for (auto& entry : state().channels) entry.second->timers.lock.unlock();
    state().mutex.unlock();
}
void atforkChild() {
    State& s = state();
    for (auto& entry : s.channels) entry.second->timers.lock.unlock();
    // The parent's channels stay the parent's; its connections remain usable here.
    s.channels.clear();
    s.byIndex.fill(nullptr);
    s.keeperTid = 0;
    s.nextChid = 0;
    s.prepared = false;  // a new process: it sweeps at its first channel too
    s.pid = getpid();
    tKept = KeptSlot{};  // the child's thread has sent nothing yet
    s.mutex.unlock();
}

State& state() {
    static State* instance = [] {
        auto* created = new State;
        created->pid = getpid();
        pthread_atfork(atforkPrepare, atforkParent, atforkChild);
        return created;
    }();
    return *instance;
}

// ---- Per-thread kernel timeout -------------------------------------------------------------

struct Timeout {
    bool armed = false;
    int states = 0;
    bool poll = false;
    std::uint64_t deadline = 0;  ///< absolute CLOCK_MONOTONIC ns
};

thread_local Timeout tTimeout;
thread_local int tPriority = kDefaultPriority;

/// Takes the armed timeout, which covers only this call; returns it when it names `states`.
Timeout takeTimeout(int states) {
    Timeout armed = tTimeout;
    tTimeout = Timeout{};
    if (!armed.armed || (armed.states & states) == 0) return Timeout{};
    return armed;
}

// ---- Keeper thread -------------------------------------------------------------------------

std::uint32_t gKeeperReady = 0;

void* keeperMain(void*) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    ::pthread_setname_np(pthread_self(), "channelKeeper");
    State& s = state();
    // Our own list replaces the C library's for this thread, which never takes a robust mutex.
    syscall(SYS_set_robust_list, &s.robustHead, sizeof(s.robustHead));
    __atomic_store_n(&s.keeperTid, static_cast<pid_t>(syscall(SYS_gettid)), __ATOMIC_RELEASE);
    store(gKeeperReady, 1);
    futexWake(&gKeeperReady);
    std::uint32_t never = 0;
    for (;;) syscall(SYS_futex, &never, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    return nullptr;
}

/// Starts the keeper once per process. Called with the state mutex held.
bool ensureKeeper(State& s) {
    if (s.keeperTid != 0) return true;
    s.robustHead.list.next = &s.robustHead.list;
    s.robustHead.futex_offset = kRobustOffset;
    s.robustHead.list_op_pending = nullptr;
    store(gKeeperReady, 0);
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    int rc = pthread_create(&thread, &attr, keeperMain, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    while (load(gKeeperReady) == 0) futexWait(&gKeeperReady, 0, nullptr);
    return true;
}

// One entry per channel (its `alive` word): the kernel walks at most 2048 entries of a list, so
// a process may own as many channels as its table holds and every one is marked at its death.
void linkChannel(State& s, ChannelShared* shared) {
    shared->aliveNode.next = s.robustHead.list.next;
    __atomic_store_n(&s.robustHead.list.next, &shared->aliveNode, __ATOMIC_RELEASE);
}

void unlinkChannel(State& s, ChannelShared* shared) {
    robust_list* previous = &s.robustHead.list;
    while (previous->next != &s.robustHead.list && previous->next != &shared->aliveNode)
        previous = previous->next;
    if (previous->next != &shared->aliveNode) return;
    __atomic_store_n(&previous->next, shared->aliveNode.next, __ATOMIC_RELEASE);
}

// ---- Channel objects -----------------------------------------------------------------------

/// First chid of this process. Channels are named by pid and chid, and pids are reused: chids
/// start at a value taken from the process's start time, so that a registry entry or connection
/// naming a dead process's channel never reaches a channel of a later process with its pid.
int firstChid() {
    const std::uint64_t ticks = Linux::startTicks("/proc/self/stat");
    return 1 + static_cast<int>((ticks & 0xFFFFFu) << 10);
}

std::string channelObjectName(pid_t pid, int chid) {
    return SharedObjectName(("/nto.ch." + std::to_string(pid) + "." + std::to_string(chid)).c_str());
}

/// Removes channel objects left behind by processes that died without cleaning up.
void sweepStaleChannels() {
    std::string prefix = SharedObjectName("/nto.ch.").substr(1);
    DIR* dir = opendir("/dev/shm");
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        std::string path = "/dev/shm/" + name;
        // The owner's pid is in the name: an object whose owner lives may still be being made
        // (its header not yet written), and is left alone.
        const pid_t namedOwner = static_cast<pid_t>(std::atoi(name.c_str() + prefix.size()));
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ChannelShared header;
        ssize_t n = pread(fd, &header, offsetof(ChannelShared, lock), 0);
        close(fd);
        const bool complete = n == static_cast<ssize_t>(offsetof(ChannelShared, lock)) &&
                              header.magic == kMagic && header.version == kVersion;
        bool stale = namedOwner <= 0 || processGone(namedOwner) ||
                     (complete && (header.destroyed != 0 || (header.alive & FUTEX_OWNER_DIED) != 0));
        if (stale) unlink(path.c_str());
    }
    closedir(dir);
}

void unlinkOwnChannels() {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    for (auto& entry : s.channels) ::shm_unlink(entry.second->name.c_str());
}

std::shared_ptr<Mapping> mapChannel(int fd) {
    void* address = mmap(nullptr, sizeof(ChannelShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) return nullptr;
    auto mapping = std::make_shared<Mapping>();
    mapping->shared = static_cast<ChannelShared*>(address);
    return mapping;
}

std::shared_ptr<Channel> findChannel(int chid) {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    auto found = s.channels.find(chid);
    return found == s.channels.end() ? nullptr : found->second;
}

std::shared_ptr<Connection> findConnection(int coid) {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    auto found = s.connections.find(coid);
    return found == s.connections.end() ? nullptr : found->second;
}

/// True when the kernel has marked the owner dead. The first to see it passes the news on: the
/// kernel wakes only one waiter of the owner's word.
bool ownerMarkedDead(ChannelShared* ch) {
    if ((load(ch->alive) & FUTEX_OWNER_DIED) == 0) return false;
    futexWake(&ch->alive);
    __atomic_add_fetch(&ch->freeSeq, 1, __ATOMIC_RELEASE);
    futexWake(&ch->freeSeq);
    return true;
}

/// Sleeps while `*word` is `expected`, at most until `deadline` (CLOCK_MONOTONIC), and wakes
/// when the channel's owner dies: the owner's word is watched too, flagged so that the kernel
/// wakes a waiter when it marks the word. Where the kernel cannot wait on two words, the caller's
/// liveness check after each timed-out slice notices the death. Returns ETIMEDOUT or 0.
int waitWatchingOwner(ChannelShared* ch, std::uint32_t* word, std::uint32_t expected,
                      const timespec& deadline) {
    static std::atomic<bool> singleWordOnly{false};
    std::uint32_t alive = load(ch->alive);
    if (alive & FUTEX_OWNER_DIED) return 0;
    if ((alive & FUTEX_WAITERS) == 0) {
        if (!exchange(ch->alive, alive, alive | FUTEX_WAITERS)) return 0;  // changed: look again
        alive |= FUTEX_WAITERS;
    }
    if (!singleWordOnly.load(std::memory_order_relaxed)) {
        futex_waitv both[2] = {};
        both[0] = {expected, reinterpret_cast<std::uintptr_t>(word), FUTEX_32, 0};
        both[1] = {alive, reinterpret_cast<std::uintptr_t>(&ch->alive), FUTEX_32, 0};
        if (syscall(SYS_futex_waitv, both, 2, 0, &deadline, CLOCK_MONOTONIC) >= 0) return 0;
        if (errno != ENOSYS) return errno == ETIMEDOUT ? ETIMEDOUT : 0;
        singleWordOnly = true;
    }
    return futexWait(word, expected, &deadline) == ETIMEDOUT ? ETIMEDOUT : 0;
}

// ---- Queue and slots (all under the channel lock) --------------------------------------------

/// True when queued entry `a` (a message or a pulse) is received before `b`: the higher priority
/// first, the earlier arrival among equals (arrival numbers wrap).
template <typename A, typename B>
bool receivedBefore(const A& a, const B& b) {
    return a.priority > b.priority ||
           (a.priority == b.priority && static_cast<std::int32_t>(a.order - b.order) < 0);
}

/// Links entry `index` of `entries` into the queue starting at `head`, in the order receivedBefore
/// gives.
template <typename Entry>
void insertByPriority(Entry* entries, std::int32_t& head, int index, std::uint32_t order) {
    Entry& entry = entries[index];
    entry.order = order;
    int previous = -1;
    int current = head;
    while (current >= 0 && !receivedBefore(entry, entries[current])) {
        previous = current;
        current = entries[current].next;
    }
    entry.next = current;
    if (previous < 0) {
        head = index;
    } else {
        entries[previous].next = index;
    }
}

/// The next arrival number; the first arrival after the owner's published timer expiry first
/// reserves one for that timer's pulse.
std::uint32_t arrival(ChannelShared* ch) {
    const std::uint32_t due = ch->timerDue;
    if (due > kTimerStamped && static_cast<std::int32_t>(timerClock(monotonicNs()) - due) >= 0) {
        ch->timerOrder = ch->arrivals++;
        ch->timerDue = kTimerStamped;
    }
    return ch->arrivals++;
}

void enqueue(ChannelShared* ch, int index) {
    insertByPriority(ch->slots, ch->queueHead, index, arrival(ch));
}

void unqueue(ChannelShared* ch, int index) {
    int previous = -1;
    for (int current = ch->queueHead; current >= 0; current = ch->slots[current].next) {
        if (current == index) {
            if (previous < 0) {
                ch->queueHead = ch->slots[current].next;
            } else {
                ch->slots[previous].next = ch->slots[current].next;
            }
            return;
        }
        previous = current;
    }
}

/// Returns a slot to the free list; tells whether a sender waits for one.
bool freeSlotLocked(ChannelShared* ch, int index) {
    Slot& slot = ch->slots[index];
    slot.state = kFree;
    __atomic_store_n(&slot.senderSpinning, 0u, __ATOMIC_SEQ_CST);  // a sender that died spinning left it
    CrashPoint(Call::KillInFree);
    store(slot.custody, kCustodyFree);
    slot.next = ch->freeHead;
    ch->freeHead = index;
    if (load(ch->sendersWaiting) == 0) return false;
    __atomic_add_fetch(&ch->freeSeq, 1, __ATOMIC_RELEASE);
    return true;
}

/// Cuts the queue starting at `head` after the last entry it reaches in order that `queued`
/// accepts, marking those in `reached`.
template <typename Entry, typename Queued>
void keepReachable(Entry* entries, int count, std::int32_t& head, bool* reached, Queued queued) {
    int last = -1;
    for (int i = head; i >= 0 && i < count && !reached[i] && queued(entries[i]); i = entries[i].next) {
        reached[i] = true;
        last = i;
    }
    if (last < 0) {
        head = -1;
    } else {
        entries[last].next = -1;
    }
}

/// After the channel lock was taken over from a process that died holding it: the queues keep
/// the entries they still reach, in order; queued slots they lost go back by priority; the free
/// lists are made again from everything else.
void repairLocked(ChannelShared* ch) {
    bool queued[kSlotCount] = {};
    keepReachable(ch->slots, kSlotCount, ch->queueHead, queued,
                  [](const Slot& slot) { return slot.state == kQueued; });
    for (int i = 0; i < kSlotCount; ++i) {
        if (ch->slots[i].state == kQueued && !queued[i]) enqueue(ch, i);
    }
    ch->freeHead = -1;
    for (int i = kSlotCount - 1; i >= 0; --i) {
        if (ch->slots[i].state != kFree) continue;
        ch->slots[i].next = ch->freeHead;
        ch->freeHead = i;
    }
    bool reached[kPulseCount] = {};
    keepReachable(ch->pulses, kPulseCount, ch->pulseHead, reached,
                  [](const PulseEntry& pulse) { return pulse.queued != 0; });
    ch->pulseFree = -1;
    for (int i = kPulseCount - 1; i >= 0; --i) {
        if (reached[i]) continue;
        ch->pulses[i].queued = 0;
        ch->pulses[i].next = ch->pulseFree;
        ch->pulseFree = i;
    }
}

/// Puts pulse `index` into the pulse queue by priority, FIFO within a priority.
void enqueuePulse(ChannelShared* ch, int index, std::uint32_t order) {
    ch->pulses[index].queued = 1;
    insertByPriority(ch->pulses, ch->pulseHead, index, order);
}

/// Takes a free pulse entry and fills it; -1 when the pool is empty.
int newPulseLocked(ChannelShared* ch, int priority, int code, int value) {
    const int index = ch->pulseFree;
    if (index < 0) return -1;
    PulseEntry& pulse = ch->pulses[index];
    ch->pulseFree = pulse.next;
    pulse.priority = priority;
    pulse.code = code;
    pulse.value = value;
    pulse.scoid = state().pid;
    return index;
}

/// Queues the pulses of the channel's timers that are due at `now` (one undelivered pulse per
/// timer at most) and publishes the next expiry for senders. Under the timers' lock and the
/// channel lock; returns when a receiver must look again at the latest.
std::uint64_t expireTimersLocked(ChannelShared* ch, Linux::ChannelTimers& timers, std::uint64_t now,
                                 int* queued) {
    const bool stamped = ch->timerDue == kTimerStamped;
    std::uint64_t next = now + kTimerDueHorizonNs;
    std::uint64_t due = next;  // the earliest expiry that sends a pulse
    for (Linux::ChannelTimer* timer : timers.timers) {
        if (timer->deadline == 0) continue;
        if (timer->deadline <= now) {
            if (!timer->pending && timer->attached->load(std::memory_order_relaxed)) {
                const int index = newPulseLocked(ch, timer->priority, timer->code, timer->value);
                if (index >= 0) enqueuePulse(ch, index, stamped ? ch->timerOrder : ch->arrivals++);
                timer->pending = index >= 0;
                *queued += timer->pending ? 1 : 0;
            }
            timer->deadline = timer->interval == 0 ? 0 : Linux::NextExpiry(timer->deadline, timer->interval, now);
            if (timer->deadline == 0) continue;
        }
        next = std::min(next, timer->deadline);
        if (!timer->pending) due = std::min(due, timer->deadline);
    }
    ch->timerDue = due < now + kTimerDueHorizonNs ? timerClock(due + 999) : kNoTimerDue;  // rounded up
    if (*queued > 0) __atomic_add_fetch(&ch->seq, 1, __ATOMIC_SEQ_CST);
    timers.wakeAt = next;
    return next;
}

/// A receiver took a pulse of this process: the timer it came from may send again.
void timerPulseTakenLocked(Linux::ChannelTimers& timers, int code, int value) {
    for (Linux::ChannelTimer* timer : timers.timers) {
        if (timer->pending && timer->code == code && timer->value == value) {
            timer->pending = false;
            return;
        }
    }
}

/// A thread that waits for a timer's expiry wakes at it, not up to the host's default timer slack
/// (50 us) later: the target's timers have no such slack. Set once per thread.
void wakeWithoutSlack() {
    thread_local bool set = false;
    if (!set) set = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
}

/// Holds the channel lock, repairing the channel when it was taken over from a dead holder.
class ChannelHold {
public:
    explicit ChannelHold(ChannelShared* ch) : hold_(ch->lock, ProcessLock::Brief{}) {
        if (hold_.tookOver()) repairLocked(ch);
    }

private:
    ProcessLock hold_;
};

void freeSlot(ChannelShared* ch, int index) {
    bool wake;
    {
        ChannelHold hold(ch);
        wake = freeSlotLocked(ch, index);
    }
    if (wake) futexWake(&ch->freeSeq);
}

/// Frees the slots kept by senders between their sends, and those whose sender died before it
/// could free them itself.
bool reclaimAbandonedLocked(ChannelShared* ch) {
    bool any = false;
    for (int i = 0; i < kSlotCount; ++i) {
        Slot& slot = ch->slots[i];
        if (slot.state == kFree) continue;
        const std::uint32_t custody = load(slot.custody);
        const bool kept = slot.state == kReceived && custody == kKept;
        bool settled = slot.state == kClaimed || slot.state == kQueued || custody == kReplied;
        if (!kept && (!settled || !processGone(slot.senderPid))) continue;
        if (slot.state == kQueued) unqueue(ch, i);
        freeSlotLocked(ch, i);
        any = true;
    }
    return any;
}

/// Takes a slot for a message: the one this thread kept after its last send to the channel if
/// nobody took it back since, else a free one (reclaiming kept slots and those of dead senders
/// when none is free); -1 when all are in use.
int takeFreeSlotLocked(ChannelShared* ch) {
    int index = -1;
    if (tKept.channel == ch) {
        const Slot& kept = ch->slots[tKept.index];
        if (kept.state == kReceived && load(kept.custody) == kKept) index = tKept.index;
        tKept.channel = nullptr;
    }
    if (index < 0) {
        if (ch->freeHead < 0) reclaimAbandonedLocked(ch);
        if (ch->freeHead < 0) return -1;
        index = ch->freeHead;
        ch->freeHead = ch->slots[index].next;
    }
    Slot& slot = ch->slots[index];
    slot.senderPid = state().pid;  // a claimer that dies before writing its message is known
    slot.state = kClaimed;
    slot.generation = (slot.generation + 1) & 0x1ffff;
    if (slot.generation == 0) slot.generation = 1;
    return index;
}

/// Takes a free slot for a message, waiting while all are in use.
int claimSlot(ChannelShared* ch, const Timeout& timeout) {
    for (;;) {
        std::uint32_t seen;
        {
            ChannelHold hold(ch);
            if (ch->destroyed) {
                errno = EBADF;
                return -1;
            }
            const int index = takeFreeSlotLocked(ch);
            if (index >= 0) return index;
            seen = load(ch->freeSeq);
            __atomic_add_fetch(&ch->sendersWaiting, 1, __ATOMIC_ACQ_REL);
        }
        std::uint64_t now = monotonicNs();
        if (timeout.armed && (timeout.states & _NTO_TIMEOUT_SEND) &&
            (timeout.poll || now >= timeout.deadline)) {
            __atomic_sub_fetch(&ch->sendersWaiting, 1, __ATOMIC_ACQ_REL);
            errno = processGone(ch->ownerPid) ? ESRCH : ETIMEDOUT;  // a dead owner is not a time-out
            return -1;
        }
        std::uint64_t until = now + kLivenessSliceNs;
        if (timeout.armed && (timeout.states & _NTO_TIMEOUT_SEND)) until = std::min(until, timeout.deadline);
        timespec limit = toTimespec(until);
        const int rc = waitWatchingOwner(ch, &ch->freeSeq, seen, limit);
        __atomic_sub_fetch(&ch->sendersWaiting, 1, __ATOMIC_ACQ_REL);
        if (ownerMarkedDead(ch) || (rc == ETIMEDOUT && processGone(ch->ownerPid))) {
            errno = ESRCH;
            return -1;
        }
    }
}

/// Withdraws a message whose sender stops waiting. Returns false when the reply came first or
/// when the timeout does not cover the state the message is in.
bool abandon(ChannelShared* ch, int index, int states) {
    Slot& slot = ch->slots[index];
    bool withdrawn = false;
    bool wake = false;
    {
        ChannelHold hold(ch);
        if (slot.state == kQueued) {
            if ((states & _NTO_TIMEOUT_SEND) == 0) return false;
            unqueue(ch, index);
            wake = freeSlotLocked(ch, index);
            withdrawn = true;
        }
    }
    if (wake) futexWake(&ch->freeSeq);
    if (withdrawn) return true;
    if ((states & _NTO_TIMEOUT_REPLY) == 0) return false;
    std::uint32_t seen = load(slot.custody);
    while (seen != kReplied && seen != kDestroyed && (seen & FUTEX_OWNER_DIED) == 0) {
        if (exchange(slot.custody, seen, kAbandoned)) return true;
    }
    return false;
}

int toRcvid(int tableIndex, int slot, std::uint32_t generation) {
    return static_cast<int>((generation << 14) | (static_cast<std::uint32_t>(tableIndex) << 6) |
                            static_cast<std::uint32_t>(slot));
}

int receive(int chid, void* msg, std::size_t bytes, struct _msg_info* info, bool pulsesOnly) {
    Timeout timeout = takeTimeout(_NTO_TIMEOUT_RECEIVE);
    if (InjectedFault(pulsesOnly ? Call::MsgReceivePulse : Call::MsgReceive)) return -1;
    std::shared_ptr<Channel> channel = findChannel(chid);
    if (!channel) {
        errno = ESRCH;
        return -1;
    }
    if (msg == nullptr || bytes < sizeof(_pulse)) {
        errno = EFAULT;
        return -1;
    }
    ChannelShared* ch = channel->mapping->shared;
    Linux::ChannelTimers& timers = channel->timers;
    for (;;) {
        int index = -1;
        bool gotPulse = false;
        bool wakeSender = false;
        int timerPulses = 0;
        std::uint64_t nextExpiry = UINT64_MAX;
        std::uint32_t seen = 0;  // set whenever the loop goes on to wait
        const std::uint64_t emptyAt = channel->emptyAt.load(std::memory_order_acquire);
        if ((emptyAt & kEmptyKnown) != 0 && timers.count.load(std::memory_order_acquire) == 0 &&
            load(ch->seq) == static_cast<std::uint32_t>(emptyAt)) {
            // Found empty before, nothing queued since and no timer to expire: wait without taking
            // the lock, which a sender sending back to back is about to take.
            seen = static_cast<std::uint32_t>(emptyAt);
        } else {
            // The timers aimed at the channel are expired here, under their lock (taken first).
            std::unique_lock<std::mutex> timersHold(timers.lock, std::defer_lock);
            if (timers.count.load(std::memory_order_acquire) != 0) timersHold.lock();
            ChannelHold hold(ch);
            if (ch->destroyed) {
                errno = ESRCH;
                return -1;
            }
            // A timer listed since: look again with the timers' lock (a timer armed after this
            // hold wakes this receiver).
            if (!timersHold.owns_lock() && timers.count.load(std::memory_order_acquire) != 0) continue;
            if (timersHold.owns_lock()) nextExpiry = expireTimersLocked(ch, timers, monotonicNs(), &timerPulses);
            // A message whose sender has died while it waited is never received: drop it.
            while (ch->queueHead >= 0 && !senderAttending(ch->slots[ch->queueHead])) {
                const int dead = ch->queueHead;
                unqueue(ch, dead);
                wakeSender = freeSlotLocked(ch, dead) || wakeSender;
            }
            // The higher priority first, pulses and messages alike; the earlier among equals.
            const int pulseIndex = ch->pulseHead;
            index = pulsesOnly ? -1 : ch->queueHead;
            if (index >= 0) {
                // Its first bytes travel while the queue is updated under the lock.
                const char* data = ch->slots[index].data;
                for (std::size_t at = 0; at < kPrefetchBytes; at += 64) __builtin_prefetch(data + at);
            }
            if (pulseIndex >= 0) {
                const PulseEntry& head = ch->pulses[pulseIndex];
                if (index < 0 || receivedBefore(head, ch->slots[index])) {
                    ch->pulseHead = head.next;
                    _pulse pulse{};
                    pulse.type = _PULSE_TYPE;
                    pulse.subtype = _PULSE_SUBTYPE;
                    pulse.code = static_cast<std::int8_t>(head.code);
                    pulse.value.sival_int = head.value;
                    pulse.scoid = head.scoid;
                    std::memcpy(msg, &pulse, sizeof pulse);
                    if (timersHold.owns_lock() && head.scoid == state().pid) {
                        timerPulseTakenLocked(timers, head.code, head.value);
                    }
                    PulseEntry& entry = ch->pulses[pulseIndex];
                    entry.queued = 0;
                    entry.next = ch->pulseFree;
                    ch->pulseFree = pulseIndex;
                    gotPulse = true;
                    index = -1;
                }
            }
            if (index >= 0) {
                unqueue(ch, index);
                ch->slots[index].state = kReceived;
            }
            seen = load(ch->seq);
            const bool empty = ch->queueHead < 0 && ch->pulseHead < 0;
            channel->emptyAt.store(empty ? kEmptyKnown | seen : 0, std::memory_order_release);
        }
        if (wakeSender) futexWake(&ch->freeSeq);
        if (timerPulses > 1 && __atomic_load_n(&ch->receiversWaiting, __ATOMIC_SEQ_CST) != 0) {
            futexWake(&ch->seq, timerPulses - 1);
        }
        if (gotPulse) {
            if (info && !pulsesOnly) {
                std::memset(info, 0, sizeof *info);
                info->chid = chid;
                info->msglen = info->srcmsglen = static_cast<std::int32_t>(sizeof(_pulse));
            }
            return 0;
        }
        if (index >= 0) {
            Slot& slot = ch->slots[index];
            std::size_t copied = std::min<std::size_t>(bytes, slot.sendBytes);
            std::memcpy(msg, slot.data, copied);
            if (info) {
                std::memset(info, 0, sizeof *info);
                info->pid = slot.senderPid;
                info->tid = slot.senderTid;
                info->chid = chid;
                info->scoid = slot.senderPid;
                info->coid = slot.senderCoid;
                info->msglen = static_cast<std::int32_t>(copied);
                info->srcmsglen = static_cast<std::int32_t>(slot.sendBytes);
                info->dstmsglen = static_cast<std::int32_t>(slot.replyCapacity);
                info->priority = static_cast<std::int16_t>(slot.priority);
            }
            lastMessageAt = monotonicNs();
            return toRcvid(channel->tableIndex, index, slot.generation);
        }
        std::uint64_t until = timeout.armed ? std::min(timeout.deadline, nextExpiry) : nextExpiry;
        if (nextExpiry != UINT64_MAX) wakeWithoutSlack();
        int rc = ETIMEDOUT;
        if (!timeout.poll && nextExpiry == UINT64_MAX && lastMessageAt != 0) {
            // Frames have been arriving back to back: look again for a few microseconds before
            // sleeping (the host only; a sleep and a wake-up cost far more here than on the device).
            const std::uint64_t now = monotonicNs();
            if (now - lastMessageAt < kReceiveBurstNs) {
                const std::uint64_t spinUntil = std::min<std::uint64_t>(now + kReceiveSpinNs, until);
                for (unsigned round = 1; load(ch->seq) == seen; ++round) {
                    relax();
                    if ((round & 63) == 0 && monotonicNs() >= spinUntil) break;
                }
            }
            lastMessageAt = 0;
        }
        if (!timeout.poll) {
            // Counted as waiting only now, so that a sender queuing while this thread looked
            // needs no wake-up call. Against the sender's bump of seq and its reading of the count
            // (both sequentially consistent): one of the two sees the other.
            __atomic_add_fetch(&ch->receiversWaiting, 1, __ATOMIC_SEQ_CST);
            if (__atomic_load_n(&ch->seq, __ATOMIC_SEQ_CST) != seen) {
                rc = 0;  // something arrived while this thread looked
            } else {
                timespec limit = toTimespec(until);
                rc = futexWait(&ch->seq, seen, until != UINT64_MAX ? &limit : nullptr);
            }
            __atomic_sub_fetch(&ch->receiversWaiting, 1, __ATOMIC_SEQ_CST);
        }
        if (rc == ETIMEDOUT && timeout.armed && (timeout.poll || monotonicNs() >= timeout.deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

/// Finds the slot a receive id names; null (errno ESRCH) when it is stale.
Slot* slotOf(int rcvid, ChannelShared** channelOut, std::shared_ptr<Channel>& keep) {
    if (rcvid <= 0) {
        errno = ESRCH;
        return nullptr;
    }
    int index = rcvid & 0x3f;
    int tableIndex = (rcvid >> 6) & 0xff;
    std::uint32_t generation = static_cast<std::uint32_t>(rcvid) >> 14;
    {
        State& s = state();
        std::lock_guard<std::mutex> hold(s.mutex);
        keep = s.byIndex[static_cast<std::size_t>(tableIndex)];
    }
    if (!keep) {
        errno = ESRCH;
        return nullptr;
    }
    ChannelShared* ch = keep->mapping->shared;
    Slot& slot = ch->slots[index];
    const std::uint32_t custody = load(slot.custody);
    if (slot.generation != generation || custody == kCustodyFree || custody == kReplied || custody == kKept) {
        errno = ESRCH;
        return nullptr;
    }
    *channelOut = ch;
    return &slot;
}

/// Hands the reply already written into the slot back to its sender.
int complete(ChannelShared* ch, int index) {
    Slot& slot = ch->slots[index];
    std::uint32_t seen = load(slot.custody);
    for (;;) {
        if (seen == kAbandoned) {
            freeSlot(ch, index);
            errno = ESRCH;
            return -1;
        }
        if (seen == kReplied || seen == kDestroyed || seen == kCustodyFree || seen == kKept) {
            errno = ESRCH;
            return -1;
        }
        if (exchange(slot.custody, seen, kReplied)) break;
    }
    // A sender that was asleep and is woken, or that is spinning, is certainly alive; otherwise
    // ask the kernel.
    if ((seen & FUTEX_WAITERS) && futexWake(&slot.custody, 1) == 1) return 0;
    if ((seen & FUTEX_WAITERS) == 0 && __atomic_load_n(&slot.senderSpinning, __ATOMIC_SEQ_CST) != 0) return 0;
    if (processGone(slot.senderPid)) {
        freeSlot(ch, index);
        errno = ESRCH;
        return -1;
    }
    return 0;
}

}  // namespace

// ---- Channels ----------------------------------------------------------------------------------

int ChannelCreate(unsigned flags) {
    takeTimeout(0);
    constexpr unsigned kSupported = _NTO_CHF_FIXED_PRIORITY | _NTO_CHF_SENDER_LEN | _NTO_CHF_REPLY_LEN;
    if ((flags & ~kSupported) != 0) {
        errno = EINVAL;
        return -1;
    }
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    if (!s.prepared) {
        sweepStaleChannels();
        atexit(unlinkOwnChannels);
        s.prepared = true;
    }
    int tableIndex = -1;
    for (int i = 0; i < kChannelTable && tableIndex < 0; ++i) {
        if (!s.byIndex[static_cast<std::size_t>(i)]) tableIndex = i;
    }
    if (tableIndex < 0 || !ensureKeeper(s)) {
        errno = EAGAIN;
        return -1;
    }
    auto channel = std::make_shared<Channel>();
    if (s.nextChid <= 0) s.nextChid = firstChid();
    channel->chid = s.nextChid++;
    channel->tableIndex = tableIndex;
    channel->name = channelObjectName(s.pid, channel->chid);
    int fd = ::shm_open(channel->name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {  // left by an earlier process with our pid
        ::shm_unlink(channel->name.c_str());
        fd = ::shm_open(channel->name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        errno = EAGAIN;
        return -1;
    }
    if (ftruncate(fd, sizeof(ChannelShared)) != 0 || !(channel->mapping = mapChannel(fd))) {
        close(fd);
        ::shm_unlink(channel->name.c_str());
        errno = EAGAIN;
        return -1;
    }
    close(fd);
    ChannelShared* ch = channel->mapping->shared;
    ch->magic = kMagic;
    ch->version = kVersion;
    ch->ownerPid = s.pid;
    ch->chid = channel->chid;
    ch->lock.init();
    ch->queueHead = -1;
    ch->freeHead = 0;
    for (int i = 0; i < kSlotCount; ++i) ch->slots[i].next = i + 1 < kSlotCount ? i + 1 : -1;
    ch->pulseHead = -1;
    ch->pulseFree = 0;
    for (int i = 0; i < kPulseCount; ++i) ch->pulses[i].next = i + 1 < kPulseCount ? i + 1 : -1;
    store(ch->alive, static_cast<std::uint32_t>(s.keeperTid));
    channel->timers.channel = ch;
    linkChannel(s, ch);
    s.channels[channel->chid] = channel;
    s.byIndex[static_cast<std::size_t>(tableIndex)] = channel;
    return channel->chid;
}

int ChannelDestroy(int chid) {
    takeTimeout(0);
    State& s = state();
    std::shared_ptr<Channel> channel;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        auto found = s.channels.find(chid);
        if (found == s.channels.end()) {
            errno = EINVAL;
            return -1;
        }
        channel = found->second;
        s.channels.erase(found);
        s.byIndex[static_cast<std::size_t>(channel->tableIndex)] = nullptr;
        unlinkChannel(s, channel->mapping->shared);
    }
    ChannelShared* ch = channel->mapping->shared;
    {
        ChannelHold hold(ch);
        ch->destroyed = 1;
        for (auto& slot : ch->slots) {
            if (slot.state != kQueued && slot.state != kReceived) continue;
            std::uint32_t seen = load(slot.custody);
            while (seen != kReplied && seen != kAbandoned && seen != kKept &&
                   !exchange(slot.custody, seen, kDestroyed)) {
            }
            futexWake(&slot.custody);
        }
        __atomic_add_fetch(&ch->seq, 1, __ATOMIC_RELEASE);
        __atomic_add_fetch(&ch->freeSeq, 1, __ATOMIC_RELEASE);
    }
    futexWake(&ch->seq);
    futexWake(&ch->freeSeq);
    ::shm_unlink(channel->name.c_str());
    return 0;
}

// ---- Connections -------------------------------------------------------------------------------

int ConnectAttach(std::uint32_t nd, pid_t pid, int chid, unsigned index, int flags) {
    takeTimeout(0);
    if (InjectedFault(Call::ConnectAttach)) return -1;
    if ((flags & ~_NTO_COF_CLOEXEC) != 0) {
        errno = EINVAL;
        return -1;
    }
    State& s = state();
    if (pid == 0) pid = getpid();
    if (nd != ND_LOCAL_NODE || pid < 0 || chid <= 0) {
        errno = ESRCH;
        return -1;
    }
    int fd = ::shm_open(channelObjectName(pid, chid).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        errno = ESRCH;
        return -1;
    }
    auto connection = std::make_shared<Connection>();
    struct stat info;
    bool sized = fstat(fd, &info) == 0 && static_cast<std::size_t>(info.st_size) >= sizeof(ChannelShared);
    connection->mapping = sized ? mapChannel(fd) : nullptr;
    close(fd);
    ChannelShared* ch = connection->mapping ? connection->mapping->shared : nullptr;
    if (!ch || ch->magic != kMagic || ch->version != kVersion || ch->ownerPid != pid || ch->chid != chid ||
        load(ch->destroyed) != 0 || (load(ch->alive) & FUTEX_OWNER_DIED) != 0) {
        errno = ESRCH;
        return -1;
    }
    connection->pid = pid;
    connection->chid = chid;
    std::lock_guard<std::mutex> hold(s.mutex);
    int coid;
    if (index & _NTO_SIDE_CHANNEL) {
        coid = s.nextSideCoid++;
    } else {
        // An id from the file-descriptor space: hold a descriptor so no file gets the number.
        int placeholder = open("/dev/null", O_RDONLY | O_CLOEXEC);
        coid = placeholder < 0 ? -1 : fcntl(placeholder, F_DUPFD_CLOEXEC, static_cast<int>(index));
        if (placeholder >= 0) close(placeholder);
        if (coid < 0) {
            errno = EAGAIN;
            return -1;
        }
        connection->placeholderFd = coid;
    }
    s.connections[coid] = connection;
    return coid;
}

int ConnectDetach(int coid) {
    takeTimeout(0);
    State& s = state();
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        auto found = s.connections.find(coid);
        if (found == s.connections.end()) {
            errno = EINVAL;
            return -1;
        }
        connection = found->second;
        s.connections.erase(found);
    }
    connection->attached.store(false, std::memory_order_relaxed);
    if (connection->placeholderFd >= 0) close(connection->placeholderFd);
    return 0;
}

// ---- Messages ----------------------------------------------------------------------------------

long MsgSend(int coid, const void* smsg, std::size_t sbytes, void* rmsg, std::size_t rbytes) {
    iov_t send{const_cast<void*>(smsg), sbytes};
    iov_t reply{rmsg, rbytes};
    return MsgSendv(coid, &send, 1, &reply, 1);
}

long MsgSendv(int coid, const iov_t* siov, int sparts, const iov_t* riov, int rparts) {
    Timeout timeout = takeTimeout(_NTO_TIMEOUT_SEND | _NTO_TIMEOUT_REPLY);
    if (InjectedFault(Call::MsgSend)) return -1;
    std::shared_ptr<Connection> connection = findConnection(coid);
    if (!connection) {
        errno = EBADF;
        return -1;
    }
    std::size_t sbytes = 0;
    std::size_t rbytes = 0;
    bool valid = sparts >= 0 && rparts >= 0 && (sparts == 0 || siov) && (rparts == 0 || riov);
    for (int i = 0; valid && i < sparts; ++i) {
        valid = siov[i].iov_len == 0 || siov[i].iov_base != nullptr;
        sbytes += siov[i].iov_len;
    }
    for (int i = 0; valid && i < rparts; ++i) {
        valid = riov[i].iov_len == 0 || riov[i].iov_base != nullptr;
        rbytes += riov[i].iov_len;
    }
    if (!valid || sbytes > kSlotCapacity) {
        errno = valid ? EOVERFLOW : EFAULT;
        return -1;
    }
    ChannelShared* ch = connection->mapping->shared;
    if (load(ch->alive) & FUTEX_OWNER_DIED) {
        errno = ESRCH;
        return -1;
    }
    // Writes the message and the sender's details into a claimed slot. The sender counts as
    // spinning from the moment its message is queued: the receiver then knows it lives without
    // asking the kernel.
    const auto fill = [&](Slot& slot) {
        char* into = slot.data;
        for (int i = 0; i < sparts; ++i) {
            if (siov[i].iov_len > 0) std::memcpy(into, siov[i].iov_base, siov[i].iov_len);
            into += siov[i].iov_len;
        }
        slot.senderPid = state().pid;
        slot.senderTid = static_cast<std::int32_t>(gettid());
        slot.senderCoid = coid;
        slot.priority = tPriority;
        slot.sendBytes = static_cast<std::uint32_t>(sbytes);
        slot.replyCapacity = static_cast<std::uint32_t>(std::min(rbytes, kSlotCapacity));
        slot.replyBytes = 0;
        slot.error = 0;
        slot.status = 0;
        __atomic_store_n(&slot.senderSpinning, 1u, __ATOMIC_SEQ_CST);
    };
    // Queues a filled slot; tells whether a receiver sleeps and must be woken.
    const auto queueLocked = [ch](int index) {
        Slot& slot = ch->slots[index];
        store(slot.custody, load(ch->alive) & FUTEX_TID_MASK);
        slot.state = kQueued;
        enqueue(ch, index);
        __atomic_add_fetch(&ch->seq, 1, __ATOMIC_SEQ_CST);
        return __atomic_load_n(&ch->receiversWaiting, __ATOMIC_SEQ_CST) != 0;
    };
    int index = -1;
    bool wakeReceiver = false;
    if (sbytes <= kQueueInLockBytes) {
        // A small message is claimed, written and queued in one hold of the channel lock: each
        // hold moves the lock's cache line between the sender's and the receiver's cores. The
        // kept slot's lines are asked for first, so that they travel while the lock does.
        if (tKept.channel == ch) {
            Slot& kept = ch->slots[tKept.index];
            __builtin_prefetch(&kept.state, 1);
            for (std::size_t at = 0; at < std::min(sbytes, kPrefetchBytes); at += 64)
                __builtin_prefetch(kept.data + at, 1);
        }
        ChannelHold hold(ch);
        if (ch->destroyed) {
            errno = EBADF;
            return -1;
        }
        index = takeFreeSlotLocked(ch);
        if (index >= 0) {
            fill(ch->slots[index]);
            wakeReceiver = queueLocked(index);
        }
    }
    if (index < 0) {
        index = claimSlot(ch, timeout);
        if (index < 0) return -1;
        fill(ch->slots[index]);
        ChannelHold hold(ch);
        if (ch->destroyed) {
            freeSlotLocked(ch, index);
            errno = EBADF;
            return -1;
        }
        wakeReceiver = queueLocked(index);
    }
    Slot& slot = ch->slots[index];
    if (wakeReceiver) futexWake(&ch->seq, 1);
    // No test of the owner's death here: the receiver may already have replied and ended while
    // this thread was not running, and its reply must not be lost. The wait below looks at the
    // death before the reply.

    // Spin briefly first: a receiver that is already running replies within microseconds, and a
    // reply to a sender that is not asleep costs neither side a system call.
    const std::uint64_t spinUntil = monotonicNs() + kSendSpinNs;
    for (unsigned round = 1; !settled(load(slot.custody)); ++round) {
        relax();
        if ((round & 63) == 0 && monotonicNs() >= spinUntil) break;
    }
    __atomic_store_n(&slot.senderSpinning, 0u, __ATOMIC_SEQ_CST);

    bool timed = timeout.armed;
    for (bool ownerGone = false;;) {
        // The owner's death is looked at before the reply: a receiver that replied and then died
        // has replied, and the reply must not be lost.
        ownerGone = ownerGone || ownerMarkedDead(ch);
        std::uint32_t seen = __atomic_load_n(&slot.custody, __ATOMIC_SEQ_CST);
        if (seen == kReplied) break;
        if (seen == kDestroyed) {
            errno = EBADF;
            return -1;
        }
        if (ownerGone) {
            errno = ESRCH;
            return -1;
        }
        if ((seen & FUTEX_WAITERS) == 0) {
            if (!exchange(slot.custody, seen, seen | FUTEX_WAITERS)) continue;
            seen |= FUTEX_WAITERS;
        }
        std::uint64_t now = monotonicNs();
        if (timed && (timeout.poll || now >= timeout.deadline)) {
            if (abandon(ch, index, timeout.states)) {
                errno = processGone(ch->ownerPid) ? ESRCH : ETIMEDOUT;  // a dead owner is not a time-out
                return -1;
            }
            timed = false;  // replied meanwhile, or its state is not covered: wait without limit
            continue;
        }
        std::uint64_t until = now + kLivenessSliceNs;
        if (timed) until = std::min(until, timeout.deadline);
        timespec limit = toTimespec(until);
        int rc = waitWatchingOwner(ch, &slot.custody, seen, limit);
        ownerGone =
            rc == ETIMEDOUT && !(timed && monotonicNs() >= timeout.deadline) && processGone(ch->ownerPid);
    }
    std::size_t left = std::min<std::size_t>(slot.replyBytes, rbytes);
    const char* from = slot.data;
    for (int i = 0; i < rparts && left > 0; ++i) {
        std::size_t part = std::min(left, riov[i].iov_len);
        if (part > 0) std::memcpy(riov[i].iov_base, from, part);
        from += part;
        left -= part;
    }
    long status = static_cast<long>(slot.status);
    int error = slot.error;
    if (tKept.sentBefore) {
        // Kept until this thread's next send, which then takes the channel lock once, not twice.
        tKept.channel = ch;
        tKept.index = index;
        store(slot.custody, kKept);
    } else {
        tKept.sentBefore = true;
        freeSlot(ch, index);
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return status;
}

int MsgReceive(int chid, void* msg, std::size_t bytes, struct _msg_info* info) {
    return receive(chid, msg, bytes, info, false);
}

int MsgReceivePulse(int chid, void* pulse, std::size_t bytes, struct _msg_info* info) {
    return receive(chid, pulse, bytes, info, true);
}

int MsgReply(int rcvid, long status, const void* msg, std::size_t bytes) {
    takeTimeout(0);
    if (InjectedFault(Call::MsgReply)) return -1;
    std::shared_ptr<Channel> keep;
    ChannelShared* ch = nullptr;
    Slot* slot = slotOf(rcvid, &ch, keep);
    if (!slot) return -1;
    std::size_t copied = std::min<std::size_t>(bytes, slot->replyCapacity);
    if (copied > 0 && msg) std::memcpy(slot->data, msg, copied);
    slot->replyBytes = msg ? static_cast<std::uint32_t>(copied) : 0;
    slot->status = status;
    slot->error = 0;
    return complete(ch, static_cast<int>(slot - ch->slots));
}

int MsgError(int rcvid, int error) {
    takeTimeout(0);
    std::shared_ptr<Channel> keep;
    ChannelShared* ch = nullptr;
    Slot* slot = slotOf(rcvid, &ch, keep);
    if (!slot) return -1;
    slot->replyBytes = 0;
    slot->status = 0;
    slot->error = error;
    return complete(ch, static_cast<int>(slot - ch->slots));
}

int MsgSendPulse(int coid, int priority, int code, int value) {
    takeTimeout(0);
    std::shared_ptr<Connection> connection = findConnection(coid);
    if (!connection) {
        errno = EBADF;
        return -1;
    }
    if (code < -128 || code > 127 || priority < -1 || priority > 255) {
        errno = EINVAL;
        return -1;
    }
    ChannelShared* ch = connection->mapping->shared;
    if (load(ch->alive) & FUTEX_OWNER_DIED) {
        errno = ESRCH;
        return -1;
    }
    bool wakeReceiver;
    {
        ChannelHold hold(ch);
        if (ch->destroyed) {
            errno = EBADF;
            return -1;
        }
        const int index = newPulseLocked(ch, priority == -1 ? tPriority : (priority == 0 ? 1 : priority), code, value);
        if (index < 0) {
            errno = EAGAIN;
            return -1;
        }
        enqueuePulse(ch, index, arrival(ch));
        __atomic_add_fetch(&ch->seq, 1, __ATOMIC_SEQ_CST);
        wakeReceiver = __atomic_load_n(&ch->receiversWaiting, __ATOMIC_SEQ_CST) != 0;
    }
    if (wakeReceiver) futexWake(&ch->seq, 1);
    return 0;
}

// A sender sending back to back follows its last message within about a microsecond here; a
// wake-up costs several (measured in bench/nm_bench).
const std::uint64_t kWakeBatchNs = 3000;

namespace Linux {

std::shared_ptr<ChannelTimers> OwnChannelTimers(int coid, std::shared_ptr<const std::atomic<bool>>* attached) noexcept {
    const std::shared_ptr<Connection> connection = findConnection(coid);
    if (!connection || connection->pid != state().pid) return nullptr;
    const std::shared_ptr<Channel> channel = findChannel(connection->chid);
    if (!channel) return nullptr;
    *attached = std::shared_ptr<const std::atomic<bool>>(connection, &connection->attached);
    return std::shared_ptr<ChannelTimers>(channel, &channel->timers);
}

void TimersChanged(ChannelTimers& timers) noexcept {
    auto* ch = static_cast<ChannelShared*>(timers.channel);
    bool wake;
    {
        ChannelHold hold(ch);
        if (ch->destroyed) return;
        // Waiting receivers wake by `wakeAt`; they need to look again only when a pulse was
        // queued or an expiry now comes before that.
        const std::uint64_t wakeAt = timers.wakeAt;
        int queued = 0;
        wake = expireTimersLocked(ch, timers, monotonicNs(), &queued) < wakeAt || queued > 0;
        if (wake) __atomic_add_fetch(&ch->seq, 1, __ATOMIC_SEQ_CST);
        wake = wake && __atomic_load_n(&ch->receiversWaiting, __ATOMIC_SEQ_CST) != 0;
    }
    if (wake) futexWake(&ch->seq);  // each looks again and waits for the new expiry
}

}  // namespace Linux

int TimerTimeout(clockid_t id, int flags, const struct sigevent* notify, const std::uint64_t* ntime,
                 std::uint64_t* otime) {
    (void)notify;
    tTimeout = Timeout{};
    if (otime) *otime = 0;
    if (id != CLOCK_MONOTONIC && id != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    int states = flags & (_NTO_TIMEOUT_SEND | _NTO_TIMEOUT_RECEIVE | _NTO_TIMEOUT_REPLY);
    if (states == 0) return 0;
    Timeout armed;
    armed.armed = true;
    armed.states = states;
    armed.poll = ntime == nullptr;
    std::uint64_t now = monotonicNs();
    if (ntime == nullptr) {
        armed.deadline = now;
    } else if (flags & TIMER_ABSTIME) {
        timespec clockNow;
        clock_gettime(id, &clockNow);
        std::uint64_t nowOnClock = static_cast<std::uint64_t>(clockNow.tv_sec) * 1000000000ull +
                                   static_cast<std::uint64_t>(clockNow.tv_nsec);
        armed.deadline = *ntime > nowOnClock ? now + (*ntime - nowOnClock) : now;
    } else {
        armed.deadline = now + *ntime;
    }
    tTimeout = armed;
    return 0;
}

}  // namespace CoreSystem::Platform
