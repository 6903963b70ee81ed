// The application framework's message object and the per-thread blocks it is made of.
#include "CoreSystem/Application/ApplicationMessage.h"

#include <new>
#include <utility>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORESYSTEM_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(CORESYSTEM_ADDRESS_SANITIZER)
#define CORESYSTEM_ADDRESS_SANITIZER 1
#endif
#ifdef CORESYSTEM_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace CoreSystem {

namespace {

/// Released blocks of 32, 64, ... 1024 bytes that a thread keeps for its next messages: at most
/// kKept per size, so a thread never holds more than about 32 KiB. Larger blocks go straight back.
constexpr unsigned kSizes = 6;
constexpr std::size_t kSmallestBlock = 32;
constexpr unsigned kKept = 16;

/// Under AddressSanitizer a kept block is poisoned, and so is the part of a block beyond the bytes
/// asked for, so a message used after its delete, deleted twice or written past its end is still
/// caught. Nothing of this is compiled otherwise.
inline void Poison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t from,
                   [[maybe_unused]] std::size_t to) {
#ifdef CORESYSTEM_ADDRESS_SANITIZER
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + from, to - from);
#endif
}
inline void Unpoison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef CORESYSTEM_ADDRESS_SANITIZER
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#endif
}
/// A released block's first byte is poisoned: reading it reports a second release.
inline void CheckLive([[maybe_unused]] void* block) {
#ifdef CORESYSTEM_ADDRESS_SANITIZER
    (void)*static_cast<volatile char*>(block);
#endif
}

/// Size class of a block of `bytes` (kSizes for one that is not kept).
inline unsigned SizeClass(std::size_t bytes) {
    if (bytes <= kSmallestBlock) return 0;
    if (bytes > (kSmallestBlock << (kSizes - 1))) return kSizes;
    return static_cast<unsigned>(64 - __builtin_clzll(static_cast<unsigned long long>(bytes - 1))) - 5;
}

/// One thread's kept blocks, each list linked through the blocks' first word. Constant-initialised
/// and trivially destructible, so reaching it costs no initialisation check.
struct KeptBlocks {
    void* head[kSizes];
    std::uint16_t count[kSizes];
    bool armed;   ///< the thread's BlockReturn is constructed
    bool closed;  ///< the thread is ending: nothing more is kept
};
thread_local KeptBlocks tKept{};

/// Gives a thread's kept blocks back when the thread ends (for the main thread: at exit).
struct BlockReturn {
    void arm() {}
    ~BlockReturn() {
        for (unsigned size = 0; size < kSizes; ++size) {
            while (void* block = tKept.head[size]) {
                Unpoison(block, kSmallestBlock << size);
                tKept.head[size] = *static_cast<void**>(block);
                ::operator delete(block);
            }
            tKept.count[size] = 0;
        }
        tKept.closed = true;
    }
};
thread_local BlockReturn tReturn;

void* TakeBlock(std::size_t bytes) {
    const unsigned size = SizeClass(bytes);
    if (size == kSizes) return ::operator new(bytes);
    KeptBlocks& kept = tKept;
    void* block = kept.head[size];
    if (block) {
        Unpoison(block, kSmallestBlock << size);
        kept.head[size] = *static_cast<void**>(block);
        --kept.count[size];
    } else {
        block = ::operator new(kSmallestBlock << size);
    }
    Poison(block, bytes, kSmallestBlock << size);
    return block;
}

void GiveBlock(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    CheckLive(block);
    const unsigned size = SizeClass(bytes);
    KeptBlocks& kept = tKept;
    if (size == kSizes || kept.closed || kept.count[size] == kKept) {
        ::operator delete(block);
        return;
    }
    if (!kept.armed) {
        kept.armed = true;
        tReturn.arm();  // registers the return of the blocks at thread end
    }
    Unpoison(block, kSmallestBlock << size);
    *static_cast<void**>(block) = kept.head[size];
    kept.head[size] = block;
    ++kept.count[size];
    Poison(block, 0, kSmallestBlock << size);
}

}  // namespace

void* ApplicationMessage::operator new(std::size_t size) {
    return TakeBlock(size);
}

void ApplicationMessage::operator delete(void* block, std::size_t size) noexcept {
    GiveBlock(block, size);
}

ApplicationMessage::ApplicationMessage(std::uint32_t payloadSize)
    : data_(static_cast<char*>(TakeBlock(std::size_t{payloadSize} + kIdBytes))), payloadSize_(payloadSize) {
    std::memset(data_, 0, std::size_t{payloadSize} + kIdBytes);
}

ApplicationMessage::ApplicationMessage(const void* bytes, std::uint32_t length) {
    if (length < kIdBytes || !bytes) {
        data_ = static_cast<char*>(TakeBlock(kIdBytes));
        std::memset(data_, 0, kIdBytes);
        return;
    }
    data_ = static_cast<char*>(TakeBlock(length));
    std::memcpy(data_, bytes, length);
    payloadSize_ = length - kIdBytes;
}

ApplicationMessage::~ApplicationMessage() {
    GiveBlock(data_, std::size_t{payloadSize_} + kIdBytes);
}

ApplicationMessage::ApplicationMessage(ApplicationMessage&& other) noexcept
    : channelIndex(other.channelIndex),
      data_(std::exchange(other.data_, nullptr)),
      payloadSize_(std::exchange(other.payloadSize_, 0)) {}

ApplicationMessage& ApplicationMessage::operator=(ApplicationMessage&& other) noexcept {
    if (this != &other) {
        GiveBlock(data_, std::size_t{payloadSize_} + kIdBytes);
        channelIndex = other.channelIndex;
        data_ = std::exchange(other.data_, nullptr);
        payloadSize_ = std::exchange(other.payloadSize_, 0);
    }
    return *this;
}

void ApplicationMessage::setArgument(std::uint32_t argument) {
    if (data_ && payloadSize_ >= sizeof argument) std::memcpy(data_ + kIdBytes, &argument, sizeof argument);
}

}  // namespace CoreSystem
