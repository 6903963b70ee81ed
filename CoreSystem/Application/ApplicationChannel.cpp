// The application channel and the process-wide receive scratch buffer.
#include "CoreSystem/Application/ApplicationChannel.h"

#include <unistd.h>
#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>

#include "CoreSystem/SharedData/BinaryClient.h"

namespace CoreSystem {

namespace {

/// The process-wide receive scratch buffer, allocated during static initialisation and never
/// released, and the lock that gives it to one receive at a time (set while a receive holds it).
/// A cache line of its own, so that writes to neighbouring data never slow the lock down.
struct alignas(64) ReceiveScratch {
    std::atomic<bool> held{false};
    char* const buffer = new char[kReceiveScratchBytes];
};
ReceiveScratch gScratch;

/// Holds the scratch buffer, if it is free, from taking a frame to copying it into a message.
class ScratchHold {
public:
    ScratchHold() : owned_(!gScratch.held.exchange(true, std::memory_order_acquire)) {}
    ~ScratchHold() {
        if (owned_) gScratch.held.store(false, std::memory_order_release);
    }
    ScratchHold(const ScratchHold&) = delete;
    ScratchHold& operator=(const ScratchHold&) = delete;
    bool owned() const { return owned_; }

private:
    const bool owned_;
};

/// The buffer of a receive that overlaps the one holding the scratch buffer.
char* ThreadBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer.reset(new char[kReceiveScratchBytes]);
    return buffer.get();
}

}  // namespace

ApplicationChannel::ApplicationChannel(bool pollingMode)
    : client_(pollingMode), eventChannelIndex_(client_.getChannelIndex(kEventEndpoint)) {}

ApplicationChannel::~ApplicationChannel() = default;

ApplicationMessage* ApplicationChannel::receive() {
    return takeMessage();
}

ApplicationMessage* ApplicationChannel::takeMessage() {
    const ScratchHold hold;
    char* const buffer = hold.owned() ? gScratch.buffer : ThreadBuffer();
    for (;;) {
        std::int32_t channelIndex = -1;
        const int length = client_.recvMsg(&channelIndex, buffer, kReceiveScratchBytes);
        if (length < 1) return nullptr;
        // A frame without a whole id, or one the buffer could not hold whole, is no message.
        if (length < static_cast<int>(ApplicationMessage::kIdBytes) || length > kReceiveScratchBytes) continue;
        auto* message = new ApplicationMessage(buffer, static_cast<std::uint32_t>(length));
        message->channelIndex = channelIndex;
        return message;
    }
}

int ApplicationChannel::openEndpoint(const std::string& name) {
    const int channelIndex = client_.getChannelIndex(name.c_str());
    client_.openReceiveChannel(channelIndex);
    return channelIndex;
}

void ApplicationChannel::sendToApplication(const std::string& application, ApplicationMessage& message) {
    const std::string endpoint = application + kActionSuffix;
    if (message.data()) client_.send(client_.getChannelIndex(endpoint.c_str()), message.data(), message.size());
}

bool ApplicationChannel::Postable(int eventId) {
    if (eventId < 0) {
        std::cout << ("APP " + std::to_string(getpid()) + " SENT AN INVALID EVENT ID " + std::to_string(eventId) +
                      "\n")
                  << std::flush;
    }
    return eventId > 0;
}

void ApplicationChannel::postEventId(int eventId, ApplicationMessage& message) {
    message.setId(static_cast<std::uint32_t>(eventId));
    if (Postable(eventId) && message.data()) client_.send(eventChannelIndex_, message.data(), message.size());
}

void ApplicationChannel::postEventId(int eventId) {
    if (!Postable(eventId)) return;
    const std::uint32_t word = static_cast<std::uint32_t>(eventId);
    char frame[sizeof word];
    std::memcpy(frame, &word, sizeof word);
    client_.send(eventChannelIndex_, frame, sizeof frame);
}

}  // namespace CoreSystem
