// The application framework's message: a 32-bit id followed by a payload, with the channel index
// at which it arrived. It travels as its data array, id first, as the payload of one NM frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace CoreSystem {

/// A message of the application framework. Bytes 0-3 of the data hold the id, bytes 4 onward the
/// payload; words are stored little-endian as they lie in memory. Owns its data; movable, not
/// copyable (a copy would share the array).
///
/// Messages are made and released at the rate frames arrive, so the object and its data array
/// come from blocks each thread keeps for reuse (a few per size, up to 1 KiB); `new` and `delete`
/// of a message are used as usual, from any thread.
class ApplicationMessage {
public:
    /// Size of the id in front of the payload.
    static constexpr std::uint32_t kIdBytes = 4;

    /// A zeroed message with `payloadSize` payload bytes; channel index 0.
    explicit ApplicationMessage(std::uint32_t payloadSize);
    /// A copy of the `length` bytes at `bytes` (id first); channel index 0. A run shorter than
    /// 4 bytes carries no complete id and gives a zeroed message without payload.
    ApplicationMessage(const void* bytes, std::uint32_t length);
    ~ApplicationMessage();
    ApplicationMessage(ApplicationMessage&& other) noexcept;
    ApplicationMessage& operator=(ApplicationMessage&& other) noexcept;
    ApplicationMessage(const ApplicationMessage&) = delete;
    ApplicationMessage& operator=(const ApplicationMessage&) = delete;

    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;

    /// The id (0 for a moved-from message).
    std::uint32_t id() const {
        std::uint32_t id = 0;
        if (data_) std::memcpy(&id, data_, sizeof id);
        return id;
    }
    void setId(std::uint32_t id) {
        if (data_) std::memcpy(data_, &id, sizeof id);
    }
    /// Writes the first payload word; does nothing when the payload is shorter than 4 bytes.
    void setArgument(std::uint32_t argument);
    /// The data array (id, then payload); null only for a moved-from message.
    char* data() const { return data_; }
    /// Bytes to send: payload size + 4 (0 for a moved-from message).
    std::uint32_t size() const { return data_ ? payloadSize_ + kIdBytes : 0; }
    std::uint32_t payloadSize() const { return payloadSize_; }

    /// Channel index at which the message arrived; 0 for a message built locally.
    std::int32_t channelIndex = 0;

private:
    char* data_ = nullptr;
    std::uint32_t payloadSize_ = 0;
};

}  // namespace CoreSystem
