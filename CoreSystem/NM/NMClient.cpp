// NM client: direct and deferred sending, and the receive queue with its thread.
#include "CoreSystem/NM/NMClient.h"

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>
#include <stdexcept>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/Utilities/Utilities.h"

namespace NM {

namespace {

constexpr const char* kSendSignature = "int NM::NMClient::sendMessage(int, int, const char*, int)";
/// How often the transmit thread, sending to a receiver that does not take its frame, checks
/// whether its client is being destroyed.
const std::uint64_t kStopCheckNs = 1000000000ull;
/// How soon the transmit thread tries again to connect to a published receiver it could not reach.
constexpr int kReconnectMs = 200;
/// Frames of at most this many bytes (header included) are queued in buffers of this size that
/// are used again once taken: frames sent back to back then cost no allocation. At most
/// kSpareFrames such buffers wait for reuse.
constexpr int kSmallFrame = 128;
constexpr std::size_t kSpareFrames = 64;
/// Whether a frame of `length` bytes, header included, lives in a reusable small buffer.
constexpr bool IsSmallFrame(int length) {
    return length <= kSmallFrame;
}

/// Writes one line in one piece, so that lines of the client's threads never interleave.
void printLine(std::ostream& stream, const std::string& text) {
    stream << (text + '\n') << std::flush;
}

std::uint64_t SteadyNs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

class MutexHold {
public:
    explicit MutexHold(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~MutexHold() { pthread_mutex_unlock(&mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    pthread_mutex_t& mutex_;
};

}  // namespace

NMClient::NMClient(bool pollingMode) : pollingMode_(pollingMode) {
    connections_.attachRegistry();
    pthread_mutex_init(&deferredMutex_, nullptr);
    pthread_mutex_init(&receiveMutex_, nullptr);
    spareFrames_.reserve(kSpareFrames);
}

NMClient::~NMClient() {
    // Withdraw our receivers, unless another receiver has taken an endpoint over meanwhile.
    for (int index : publishedIndexes_) connections_.withdraw(index, getpid(), receiveChannelId_);
    running_ = false;
    if (receiveRunning_) {
        // The receive thread would notice within its two-second receive; a pulse ends it now.
        const int coid = CoreSystem::Platform::ConnectAttach(0, 0, receiveChannelId_, _NTO_SIDE_CHANNEL, 0);
        if (coid != -1) {
            CoreSystem::Platform::MsgSendPulse(coid, -1, _PULSE_CODE_MINAVAIL, 0);
            CoreSystem::Platform::ConnectDetach(coid);
        }
        pthread_join(receiveThread_, nullptr);
    } else if (receiveChannelId_ != -1) {
        CoreSystem::Platform::ChannelDestroy(receiveChannelId_);
    }
    stopTransmitThread();
    receiveQueue_.clear();
    deferred_.clear();
    pthread_mutex_destroy(&receiveMutex_);
    pthread_mutex_destroy(&deferredMutex_);
}

int NMClient::getChannelIndex(const char* name) {
    if (!Registry().base) return -1;
    return findOrClaimSlot(name);
}

void NMClient::checkSize(int size) const {
    if (size <= kMaxPayload) return;
    CoreSystem::Platform::slogf(kSizeLimitOpcode, _SLOG_ERROR,
                                "%d %d | %s: Message size %d is larger than NM max message size, %d",
                                static_cast<int>(getpid()), static_cast<int>(CoreSystem::Platform::gettid()),
                                kSendSignature, size, kMaxPayload);
    throw std::runtime_error("NM message size limit exceeded");
}

int NMClient::send(int channelIndex, const char* data, int size) {
    if (!ValidChannelIndex(channelIndex) || size < 0 || (size > 0 && !data)) return -1;
    checkSize(size);  // refused here, so nothing oversized is ever held back
    const int connectionId = connections_.getConnection(channelIndex);
    // Nothing held back for any endpoint: nothing this thread sent before can still be waiting.
    if (connectionId != -1 && deferredQueues_.load(std::memory_order_acquire) == 0)
        return sendMessage(channelIndex, connectionId, data, size);
    {
        MutexHold hold(deferredMutex_);
        // Without a receiver, or behind older held-back messages: hold it back.
        if (connectionId == -1 || deferred_.count(channelIndex) != 0)
            return queueLocked(channelIndex, data, size);
    }
    return sendMessage(channelIndex, connectionId, data, size);
}

int NMClient::sendMessage(int channelIndex, int connectionId, const char* data, int size) {
    return sendFrame(channelIndex, connectionId, data, size, false);
}

int NMClient::sendFrame(int channelIndex, int connectionId, const char* data, int size, bool untilStopped) {
    checkSize(size);
    if (!ValidChannelIndex(channelIndex) || size < 0 || (size > 0 && !data)) return -1;
    // The frame is gathered from the header word and the caller's payload, so the caller's
    // threads and the transmit thread never share a frame buffer, and the payload is copied once.
    const std::int32_t header = channelIndex;
    iov_t frame[2];
    SETIOV(&frame[0], &header, sizeof header);
    SETIOV(&frame[1], data, static_cast<std::size_t>(size));

    RegistrySlot& slot = Registry().slots[channelIndex];
    slot.mutex.lock();
    long result;
    for (;;) {
        // The transmit thread looks up between tries whether its client is being destroyed: a
        // receiver that never takes the frame must not keep the destructor waiting. Only the
        // send-blocked state is bounded, so a frame that timed out was never received.
        if (untilStopped) {
            CoreSystem::Platform::TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_SEND, nullptr, &kStopCheckNs,
                                               nullptr);
        }
        result = CoreSystem::Platform::MsgSendv(connectionId, frame, 2, nullptr, 0);
        if (!untilStopped || result != -1 || errno != ETIMEDOUT) break;
        if (stopping_) {
            slot.mutex.unlock();
            return -1;  // discarded with the client, like every message still held back
        }
    }
    if (result == -1) {
        connections_.dropConnection(channelIndex, connectionId);
        slot.mutex.unlock();
        printLine(std::cout, "error pid " + std::to_string(getpid()) + " " + "sendMessage" + " ch " +
                                 std::to_string(channelIndex) + " channel " + std::to_string(connectionId));
        return -1;
    }
    slot.mutex.unlock();
    return size;
}

int NMClient::queueMessage(int channelIndex, const char* data, int size) {
    if (!ValidChannelIndex(channelIndex) || size < 0 || (size > 0 && !data)) return -1;
    checkSize(size);
    MutexHold hold(deferredMutex_);
    return queueLocked(channelIndex, data, size);
}

int NMClient::queueLocked(int channelIndex, const char* data, int size) {
    std::deque<Held>& queue = deferred_[channelIndex];
    deferredQueues_.store(deferred_.size(), std::memory_order_release);
    if (queue.size() > kDeferredQueueAccepts) return -1;
    Held held{size, nullptr};
    try {
        held.data.reset(new char[static_cast<std::size_t>(size)]);
        if (size > 0) std::memcpy(held.data.get(), data, static_cast<std::size_t>(size));
        queue.push_back(std::move(held));
    } catch (const std::bad_alloc& error) {
        printLine(std::cerr, std::string("queueMessage") + " bad_alloc caught: " + error.what());
        return -1;
    }
    // Tested and started under the deferred-queue mutex: the thread decides to end under it too,
    // so a message is never left without a thread to deliver it.
    startTransmitThreadLocked();
    return size;
}

std::size_t NMClient::heldBack(int channelIndex) {
    MutexHold hold(deferredMutex_);
    auto found = deferred_.find(channelIndex);
    if (found == deferred_.end()) return 0;
    return found->second.size() + (inFlightIndex_ == channelIndex ? 1 : 0);
}

void NMClient::startTransmitThreadLocked() {
    if (transmitRunning_ || stopping_) return;
    if (transmitJoinable_) {
        // The previous thread has decided to end (under this mutex) and needs nothing more.
        pthread_join(transmitThread_, nullptr);
        transmitJoinable_ = false;
    }
    transmitRunning_ = pthread_create(&transmitThread_, nullptr, transmitQueueMain, this) == 0;
    transmitJoinable_ = transmitRunning_;
}

void NMClient::stopTransmitThread() {
    {
        MutexHold hold(deferredMutex_);
        stopping_ = true;
        if (!transmitJoinable_) return;
    }
    // Wake the thread if it waits for receivers; it checks the flag under the registry mutex.
    if (RegistryHeader* registry = Registry().base) {
        CoreSystem::Platform::ProcessLock hold(registry->mutex);
        if (hold.tookOver()) RepairAfterLock(EOWNERDEAD);
        registry->condition.broadcast();
    }
    pthread_join(transmitThread_, nullptr);
    transmitJoinable_ = false;
}

void* NMClient::transmitQueueMain(void* self) {
    static_cast<NMClient*>(self)->transmitQueue();
    return nullptr;
}

void NMClient::transmitQueue() {
    CoreSystem::Platform::pthread_setname_np(0, "transmitQueue");
    RegistryHeader* registry = Registry().base;
    for (;;) {
        // Wait, under the registry mutex, until some held-back queue has a receiver.
        RepairAfterLock(registry->mutex.lock());
        pthread_mutex_lock(&deferredMutex_);
        bool deliverable = false;
        bool unreachable = false;  // a receiver is published but could not be connected to
        for (auto& entry : deferred_) {
            if (connections_.getConnection(entry.first) != -1) {
                deliverable = true;
                break;
            }
            unreachable = unreachable || (SlotPid(entry.first) != -1 && SlotChid(entry.first) != -1);
        }
        if (deferred_.empty() || stopping_) {
            registry->mutex.unlock();
            break;  // ends below, still holding the deferred-queue mutex
        }
        pthread_mutex_unlock(&deferredMutex_);
        if (!deliverable) {
            if (unreachable) {
                // No publication may follow a connection that failed for a moment: try again soon.
                timespec deadline;
                CoreSystem::Utilities::MonotonicDeadline(deadline, kReconnectMs);
                RepairAfterLock(registry->condition.timedwait(registry->mutex, deadline));
            } else {
                RepairAfterLock(registry->condition.wait(registry->mutex));
            }
            registry->mutex.unlock();
            continue;
        }
        registry->mutex.unlock();

        // One delivery pass in ascending channel index.
        pthread_mutex_lock(&deferredMutex_);
        for (auto entry = deferred_.begin(); entry != deferred_.end() && !stopping_;) {
            const int channelIndex = entry->first;
            const int connectionId = connections_.getConnection(channelIndex);
            if (connectionId == -1) {
                ++entry;
                continue;
            }
            if (!drainLocked(entry->second, channelIndex, connectionId)) {
                ++entry;  // the receiver is gone: the rest waits for the next one
                continue;
            }
            printLine(std::cout, "pid " + std::to_string(getpid()) + " queue [" +
                                     std::to_string(channelIndex) + "] emptied");
            entry = deferred_.erase(entry);
            deferredQueues_.store(deferred_.size(), std::memory_order_release);
        }
        if (deferred_.empty() || stopping_) break;
        pthread_mutex_unlock(&deferredMutex_);
    }
    transmitRunning_ = false;
    pthread_mutex_unlock(&deferredMutex_);
}

bool NMClient::drainLocked(std::deque<Held>& queue, int channelIndex, int connectionId) {
    // Messages appended meanwhile by other threads leave in the same pass. The connection id is
    // used only while it works: after a failure it has been detached.
    while (!queue.empty() && !stopping_) {
        Held held = std::move(queue.front());
        queue.pop_front();
        inFlightIndex_ = channelIndex;
        pthread_mutex_unlock(&deferredMutex_);
        int result = sendFrame(channelIndex, connectionId, held.data.get(), held.size, true);
        held.data.reset();
        pthread_mutex_lock(&deferredMutex_);
        inFlightIndex_ = -1;
        if (result == -1) return false;
    }
    return queue.empty();
}

int NMClient::openReceiveChannel(int channelIndex) {
    if (!ValidChannelIndex(channelIndex)) return -1;
    if (receiveChannelId_ == -1) receiveChannelId_ = CoreSystem::Platform::ChannelCreate(0);
    // A channel that could not be made is published as chid -1 (no receiver); no thread for it.
    if (!receiveRunning_ && receiveChannelId_ != -1) {
        receiveRunning_ = pthread_create(&receiveThread_, nullptr, receiveMessageMain, this) == 0;
    }
    {
        MutexHold hold(receiveMutex_);
        publishedIndexes_.push_back(channelIndex);
    }
    return publishReceiver(channelIndex, receiveChannelId_);
}

void* NMClient::receiveMessageMain(void* self) {
    static_cast<NMClient*>(self)->receiveMessage();
    return nullptr;
}

bool WakeBatch::mayHold(std::uint64_t nowNs) {
    if (batchNs_ == 0) return false;
    const std::uint64_t gap = nowNs - last_;
    last_ = nowNs;
    if (gap >= kBurstPauses * batchNs_) {
        woken(true);
    } else if (gap < batchNs_) {
        fast_ = std::min(fast_ + 1, kBurstFrames);
        burst_ = burst_ || fast_ == kBurstFrames;
    } else {
        fast_ = 0;
    }
    return burst_ && held_ < kMostHeld;
}

void WakeBatch::woken(bool timedOut) {
    held_ = 0;
    if (!timedOut) return;
    burst_ = false;
    fast_ = 0;
}

void NMClient::receiveMessage() {
    CoreSystem::Platform::pthread_setname_np(0, "receiveMessage");
    std::unique_ptr<char[]> buffer(new char[kReceiveBuffer]);
    WakeBatch batch(CoreSystem::Platform::kWakeBatchNs);
    while (running_) {
        const std::uint64_t timeout = batch.heldFrames() > 0 ? batch.holdNs() : kReceiveTimeoutNs;
        CoreSystem::Platform::TimerTimeout(CLOCK_MONOTONIC, _NTO_TIMEOUT_RECEIVE, nullptr, &timeout, nullptr);
        struct _msg_info info;
        const int rcvid =
            CoreSystem::Platform::MsgReceive(receiveChannelId_, buffer.get(), kReceiveBuffer, &info);
        if (rcvid <= 0) {
            if (batch.heldFrames() > 0) {
                batch.woken(true);
                wakeConsumer();  // no frame followed in time: the consumer takes those that wait
            }
            if (rcvid == -1 && errno != ETIMEDOUT && errno != EINTR) CoreSystem::Platform::delay(10);
            continue;  // time-out, error or pulse
        }
        CoreSystem::Platform::MsgReply(rcvid, 0, nullptr, 0);
        const int size = info.msglen - kFrameHeader;
        if (size <= 0) continue;  // header only, or not even a header
        const bool mayHold = batch.enabled() && batch.mayHold(SteadyNs());
        const Queued queued = queueFrame(buffer.get(), info.msglen, mayHold);
        if (queued == Queued::wake) {
            batch.woken(false);
            // Posted once the receive-queue mutex is free again, so the consumer it wakes does
            // not go straight back to sleep on that mutex.
            receiveSemaphore_.post();
        } else if (queued == Queued::wakeHeld) {
            batch.held();
        }
    }
    if (batch.heldFrames() > 0) wakeConsumer();
    CoreSystem::Platform::ChannelDestroy(receiveChannelId_);
}

void NMClient::wakeConsumer() {
    bool wake = false;
    {
        MutexHold hold(receiveMutex_);
        if (consumersWaiting_ > 0) {
            --consumersWaiting_;
            wake = true;
        }
    }
    if (wake) receiveSemaphore_.post();
}

NMClient::Queued NMClient::queueFrame(const char* bytes, int length, bool mayHold) {
    const auto frameBytes = static_cast<std::size_t>(length);
    std::int32_t header;
    std::memcpy(&header, bytes, sizeof header);
    // A large frame is copied before the receive-queue mutex is taken, into a copy of its own
    // size: a full queue of them holds little more memory than their bytes.
    std::unique_ptr<char[]> frame;
    if (!IsSmallFrame(length)) {
        try {
            frame.reset(new char[frameBytes]);
        } catch (const std::bad_alloc& error) {
            printLine(std::cerr, std::string("receiveMessage") + " bad_alloc caught: " + error.what());
            return Queued::dropped;
        }
        std::memcpy(frame.get(), bytes, frameBytes);
    }
    MutexHold hold(receiveMutex_);
    if (std::find(publishedIndexes_.begin(), publishedIndexes_.end(), header) == publishedIndexes_.end()) {
        // Meant for another receiver: one that named this channel before, in a process whose
        // pid this one now has.
        printLine(std::cout, "pid " + std::to_string(getpid()) + " dropped a frame for channel index " +
                                 std::to_string(header) + ", which it does not serve");
        return Queued::dropped;
    }
    if (receiveQueue_.size() > kReceiveQueueAccepts) {
        printLine(std::cout, "pid " + std::to_string(getpid()) + " reach receive queue max");
        return Queued::dropped;
    }
    try {
        if (!frame) {
            // A small frame: a few bytes, copied under the mutex into a spare buffer.
            if (spareFrames_.empty()) {
                frame.reset(new char[kSmallFrame]);
            } else {
                frame = std::move(spareFrames_.back());
                spareFrames_.pop_back();
            }
            std::memcpy(frame.get(), bytes, frameBytes);
        }
        receiveQueue_.push_back(Received{length - kFrameHeader, std::move(frame)});
    } catch (const std::bad_alloc& error) {
        printLine(std::cerr, std::string("receiveMessage") + " bad_alloc caught: " + error.what());
        return Queued::dropped;
    }
    if (consumersWaiting_ == 0) return Queued::noneWaits;
    if (mayHold) return Queued::wakeHeld;
    --consumersWaiting_;
    return Queued::wake;
}

int NMClient::recvMsg(int* channelIndex, char* buffer, int length) {
    // Never beyond the frame's payload, whatever `length` says.
    const auto copyOut = [&](const Received& frame) {
        std::int32_t header;
        std::memcpy(&header, frame.frame.get(), sizeof header);
        if (channelIndex) *channelIndex = header;
        const int copied = std::max(0, std::min(length, frame.size));
        if (copied > 0 && buffer)
            std::memcpy(buffer, frame.frame.get() + kFrameHeader, static_cast<std::size_t>(copied));
        return frame.size;
    };
    Received frame;
    bool failed = false;
    {
        MutexHold hold(receiveMutex_);
        while (receiveQueue_.empty() && !failed) {
            if (pollingMode_) return -1;
            // Woken by the receive thread once a frame is queued (a wake-up left over from an
            // earlier failed wait only makes this loop look again).
            ++consumersWaiting_;
            pthread_mutex_unlock(&receiveMutex_);
            failed = receiveSemaphore_.wait() != 0;
            pthread_mutex_lock(&receiveMutex_);
            // Not woken: withdrawn, unless the receive thread has already counted on this
            // wake-up (receiving is for one consumer at a time, so the count is this one's).
            if (failed && consumersWaiting_ > 0) --consumersWaiting_;
        }
        if (!failed) {
            Received& front = receiveQueue_.front();
            if (IsSmallFrame(front.size + kFrameHeader)) {
                // A small frame is copied out under the mutex, and its buffer kept for the next one.
                const int size = copyOut(front);
                if (spareFrames_.size() < kSpareFrames) spareFrames_.push_back(std::move(front.frame));
                receiveQueue_.pop_front();
                return size;
            }
            frame = std::move(front);
            receiveQueue_.pop_front();
        }
    }
    if (failed) {
        printLine(std::cout, "error pid " + std::to_string(getpid()) + " " + "recvMsg");
        return -1;
    }
    return copyOut(frame);
}

}  // namespace NM
