// The application framework's message object.
#include "CoreSystem/Application/ApplicationMessage.h"

#include <cstring>
#include <utility>

namespace CoreSystem {

ApplicationMessage::ApplicationMessage(std::uint32_t payloadSize)
    : data_(new char[std::size_t{payloadSize} + kIdBytes]()), payloadSize_(payloadSize) {}

ApplicationMessage::ApplicationMessage(const void* bytes, std::uint32_t length) {
    if (length < kIdBytes || !bytes) {
        data_ = new char[kIdBytes]();
        return;
    }
    data_ = new char[length];
    std::memcpy(data_, bytes, length);
    payloadSize_ = length - kIdBytes;
}

ApplicationMessage::~ApplicationMessage() {
    delete[] data_;
}

ApplicationMessage::ApplicationMessage(ApplicationMessage&& other) noexcept
    : channelIndex(other.channelIndex),
      data_(std::exchange(other.data_, nullptr)),
      payloadSize_(std::exchange(other.payloadSize_, 0)) {}

ApplicationMessage& ApplicationMessage::operator=(ApplicationMessage&& other) noexcept {
    if (this != &other) {
        delete[] data_;
        channelIndex = other.channelIndex;
        data_ = std::exchange(other.data_, nullptr);
        payloadSize_ = std::exchange(other.payloadSize_, 0);
    }
    return *this;
}

std::uint32_t ApplicationMessage::id() const {
    std::uint32_t id = 0;
    if (data_) std::memcpy(&id, data_, sizeof id);
    return id;
}

void ApplicationMessage::setId(std::uint32_t id) {
    if (data_) std::memcpy(data_, &id, sizeof id);
}

void ApplicationMessage::setArgument(std::uint32_t argument) {
    if (data_ && payloadSize_ >= sizeof argument) std::memcpy(data_ + kIdBytes, &argument, sizeof argument);
}

}  // namespace CoreSystem
