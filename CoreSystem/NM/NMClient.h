// NM messaging endpoint: sends frames to named endpoints, holds them back while an endpoint has
// no receiver, and receives frames for its own endpoints.
#pragma once

#include <pthread.h>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "CoreSystem/NM/ConnectionManagement.h"
#include "CoreSystem/Platform/Posix.h"

namespace NM {

/// Largest payload of one NM frame.
inline constexpr int kMaxPayload = 10240;
/// Size of the frame header: the destination's channel index, 32-bit little-endian.
inline constexpr int kFrameHeader = 4;
/// Size of a receive buffer: header and up to 10244 payload bytes.
inline constexpr int kReceiveBuffer = 10248;
/// A deferred queue accepts a message while it holds at most this many (so 2505 in all).
inline constexpr std::size_t kDeferredQueueAccepts = 2504;
/// The receive queue accepts a frame while it holds at most this many (so 2504 in all).
inline constexpr std::size_t kReceiveQueueAccepts = 2503;
/// Receive time-out of the receiveMessage thread, after which it notices destruction.
inline constexpr std::uint64_t kReceiveTimeoutNs = 2000000000ull;
/// slogf opcode of the size-limit record.
inline constexpr int kSizeLimitOpcode = 10918;

/// When the receive thread may hold a waiting consumer's wake-up back, so that one wake-up hands
/// several frames over (a wake-up on the host may cost the sender its processor). Frames arrive
/// back to back once kBurstFrames in a row each followed the one before within `batchNs`; the
/// burst ends when no frame followed a held-back wake-up within `batchNs`, or after a pause of
/// kBurstPauses times `batchNs`. A lone frame, or one of a request and reply exchange, is never
/// held back. Used by the receive thread only.
class WakeBatch {
public:
    static constexpr int kBurstFrames = 4;
    static constexpr std::uint64_t kBurstPauses = 8;
    /// At most this many frames wait behind one held-back wake-up.
    static constexpr int kMostHeld = 64;

    /// `batchNs` 0: no wake-up is ever held back.
    explicit WakeBatch(std::uint64_t batchNs) : batchNs_(batchNs) {}
    bool enabled() const { return batchNs_ != 0; }
    /// A frame arrived at `nowNs` (a monotonic clock): true when a waiting consumer's wake-up may
    /// be held back for it.
    bool mayHold(std::uint64_t nowNs);
    /// A frame was queued behind a held-back wake-up.
    void held() { ++held_; }
    /// The consumer was woken and nothing is held back any more; `timedOut`: because no frame
    /// followed in time, which ends the burst.
    void woken(bool timedOut);
    int heldFrames() const { return held_; }
    /// How long the receive thread waits for a next frame before it wakes the consumer.
    std::uint64_t holdNs() const { return batchNs_; }

private:
    std::uint64_t batchNs_;
    std::uint64_t last_ = 0;  ///< when the last frame arrived
    int fast_ = 0;            ///< frames in a row that followed the one before within batchNs_
    bool burst_ = false;
    int held_ = 0;
};

/// A messaging endpoint. Any thread may send; receiving is meant for one consumer at a time.
///
/// Locks: the deferred-queue mutex guards the held-back queues and the transmit thread's state;
/// the receive-queue mutex guards the receive queue. Order: registry mutex, deferred-queue
/// mutex, connection-cache mutex; slot mutex, connection-cache mutex. No lock of the client is
/// held while a frame is being sent.
class NMClient {
public:
    /// `pollingMode`: recvMsg never blocks. Attaches the registry if the process is not yet
    /// attached; the client is usable (every registry operation returns -1) when it is absent.
    explicit NMClient(bool pollingMode);
    /// Withdraws this client's receivers from the registry, stops its threads (within about two
    /// seconds) and discards frames received and messages still held back.
    virtual ~NMClient();
    NMClient(const NMClient&) = delete;
    NMClient& operator=(const NMClient&) = delete;

    /// Channel index of endpoint `name` (claimed if new), or -1.
    int getChannelIndex(const char* name);
    /// Sends `size` bytes to `channelIndex`, or holds them back while it has no receiver or
    /// older messages wait for it. Returns `size`, or -1 when refused or delivery failed.
    /// Throws std::runtime_error("NM message size limit exceeded") when `size` exceeds 10240.
    int send(int channelIndex, const char* data, int size);
    /// Sends one frame synchronously on `connectionId` under the slot mutex. Returns `size`, or
    /// -1 when the receiver is gone (it is then declared gone). Throws as send() does.
    int sendMessage(int channelIndex, int connectionId, const char* data, int size);
    /// Holds a copy back for `channelIndex`. Returns `size`, or -1 when the queue is full or
    /// memory ran out. Refuses (throws) oversized payloads like send().
    int queueMessage(int channelIndex, const char* data, int size);
    /// Number of messages held back for `channelIndex` and not yet handed to its receiver,
    /// counting one that is being delivered; 0 when none wait.
    std::size_t heldBack(int channelIndex);
    /// Becomes the receiver of `channelIndex` (one channel and one receive thread serve every
    /// index of the client). Returns `channelIndex`, or -1.
    int openReceiveChannel(int channelIndex);
    /// Takes the oldest received frame: its channel index into `*channelIndex` and at most
    /// `length` payload bytes into `buffer`. Returns the payload size, or -1 when none is there
    /// (polling mode) or waiting failed. Blocks until a frame arrives unless polling.
    int recvMsg(int* channelIndex, char* buffer, int length);

private:
    struct Held {
        int size;
        std::unique_ptr<char[]> data;
    };
    struct Received {
        int size;
        std::unique_ptr<char[]> frame;  ///< the header word, then `size` payload bytes
    };

    static void* transmitQueueMain(void* self);
    static void* receiveMessageMain(void* self);
    void transmitQueue();
    void receiveMessage();
    /// What became of a received frame, and of the wake-up of a consumer waiting for it.
    enum class Queued { dropped, noneWaits, wake, wakeHeld };
    /// Appends a received frame (`length` bytes from `bytes`, header word first) to the receive
    /// queue, unless it is not for this client or the queue is full. A waiting consumer is to be
    /// woken now (wake), or with `mayHold` later, by wakeConsumer() once more frames have followed
    /// (wakeHeld).
    Queued queueFrame(const char* bytes, int length, bool mayHold);
    /// Wakes a consumer that waits, if one does.
    void wakeConsumer();
    int queueLocked(int channelIndex, const char* data, int size);
    bool drainLocked(std::deque<Held>& queue, int channelIndex, int connectionId);
    /// sendMessage; with `untilStopped` the send gives up (-1, the receiver kept) once the
    /// client is being destroyed.
    int sendFrame(int channelIndex, int connectionId, const char* data, int size, bool untilStopped);
    void checkSize(int size) const;
    void startTransmitThreadLocked();
    void stopTransmitThread();

    int receiveChannelId_ = -1;
    ConnectionManagement connections_;
    bool pollingMode_;

    pthread_mutex_t deferredMutex_;
    std::map<int, std::deque<Held>> deferred_;  ///< guarded by deferredMutex_
    /// deferred_.size(), written under deferredMutex_: while it is 0 a send to a connected
    /// receiver goes out without taking the mutex.
    std::atomic<std::size_t> deferredQueues_{0};
    int inFlightIndex_ = -1;                    ///< guarded by deferredMutex_
    bool transmitRunning_ = false;              ///< guarded by deferredMutex_
    bool transmitJoinable_ = false;             ///< guarded by deferredMutex_
    pthread_t transmitThread_{};                ///< guarded by deferredMutex_
    std::atomic<bool> stopping_{false};

    std::atomic<bool> running_{true};
    bool receiveRunning_ = false;
    pthread_t receiveThread_{};
    pthread_mutex_t receiveMutex_;
    /// The receive semaphore: posted once for each wake-up of a consumer waiting in recvMsg.
    CoreSystem::Platform::ThreadWake receiveSemaphore_;
    std::deque<Received> receiveQueue_;  ///< guarded by receiveMutex_
    int consumersWaiting_ = 0;           ///< consumers about to wait or waiting; guarded by receiveMutex_
    /// Buffers of small frames already taken, reused for the next ones; guarded by receiveMutex_.
    std::vector<std::unique_ptr<char[]>> spareFrames_;
    std::vector<int> publishedIndexes_;  ///< written under receiveMutex_ by the owner's thread
};

}  // namespace NM
