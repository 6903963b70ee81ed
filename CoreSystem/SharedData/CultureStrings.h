// Culture strings: the localised texts of a configuration image, one writable slot per (string
// id, culture), a change counter per string id and change events, over an image given as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "CoreSystem/Platform/ProcessSync.h"
#include "CoreSystem/SharedData/Conf.h"

namespace CoreSystem {

/// The longest prefix of `text` of at most `bytes` bytes that does not end inside a UTF-8
/// multi-byte sequence (invalid input is cut at most 3 bytes before the limit).
std::string_view Utf8Prefix(std::string_view text, std::size_t bytes);

/// The culture string table of one attached image. The process-wide image client holds one; tests
/// attach their own to an image they built.
///
/// Locking: every operation holds the culture mutex inside the image (process-shared) while it
/// touches text slots and change counters, and sends its change events after releasing it, in the
/// order of the writes. Ids, cultures and slots outside the image are ignored (results 0).
class CultureStrings {
public:
    /// Receives the event code of a changed string (after the culture mutex is released).
    using EventSender = std::function<void(std::uint32_t code)>;

    /// Points the handles at `image` (`size` bytes, which passed conf::CheckImage) and builds the
    /// event map from the reserved strings. The culture mutex must be initialised already.
    void attach(void* image, std::size_t size, EventSender sender);
    bool attached() const { return base_ != nullptr; }
    std::uint8_t* base() const { return base_; }
    std::size_t size() const { return size_; }

    /// Number of cultures K and of change counters.
    std::uint32_t cultureCount() const;
    std::uint32_t counterCount() const { return counterCount_; }
    /// The culture chosen on the device (runtime data word 2).
    std::uint32_t currentCulture() const;
    /// Event code of string id `id` (none: 0).
    std::uint32_t eventCode(std::int32_t id) const;
    /// Capacity in bytes, NUL included, of slot (id, culture); 0 for no usable slot.
    std::uint32_t slotCapacity(std::int32_t id, std::uint32_t culture);
    /// Change counter of `id` (0 outside the table).
    std::uint32_t counter(std::int32_t id);

    /// Usable text bytes (capacity - 1) of slot (id, current culture); 0 when there is none.
    std::int32_t stringCapacity(std::int32_t id);
    /// When the counter of `id` differs from `last`, copies the text of (id, culture) into `out`
    /// and returns the counter; otherwise (also for culture >= K) returns 0 and leaves `out`.
    std::uint32_t getStringForCulture(std::int32_t id, std::uint32_t culture, std::string& out,
                                      std::uint32_t last);
    /// The same for the current culture.
    std::uint32_t getString(std::int32_t id, std::string& out, std::uint32_t last);
    /// Writes `text` (shortened to fit each slot; the caller's text stays as it is) into the
    /// current culture or, with `allCultures`, every culture, with events. String id 0 is ignored.
    void setString(std::int32_t id, const std::string& text, bool allCultures);
    /// Writes `text` into (id, culture); `noNotify` suppresses the event.
    void setStringForCulture(std::int32_t id, std::uint32_t culture, const std::string& text, bool noNotify);
    /// In every culture, writes the source's text into the destination where they differ.
    void copyString(std::int32_t source, std::int32_t destination);
    /// In every culture, writes text(first) + `text` + text(second) into the destination.
    void composeString(std::int32_t first, const std::string& text, std::int32_t second,
                       std::int32_t destination);

    // The handles onto the image, in the order the process-wide object constructs them.
    conf::ConfigurationRoot root;
    conf::ConfCultureRootClass cultureRoot;
    conf::ConfList cursor;  ///< re-pointed at one text slot after another, under the culture mutex
    conf::ConfCultureRuntimeData runtime;
    conf::ConfList counterList;
    /// String id -> event code of the reserved strings that have one (not 0 nor 0xFFFFFFFF).
    std::map<std::int32_t, std::uint32_t> events;

private:
    class Hold;
    /// Points the cursor at slot (id, culture); false (cursor none) when there is no such slot.
    bool selectSlot(std::int32_t id, std::uint32_t culture);
    /// The cursor slot's text, read with a bound.
    std::string_view slotText() const;
    /// Shortens `text` to the cursor slot, compares and writes; queues the event unless `noNotify`.
    bool replaceTextSlot(std::string_view text, std::int32_t id, bool noNotify, std::vector<std::uint32_t>& events);
    /// Stores `text` (which fits) into the cursor slot, bumps the counter, queues the event.
    void writeTextSlot(std::string_view text, std::int32_t id, bool noNotify, std::vector<std::uint32_t>& events);
    void send(const std::vector<std::uint32_t>& codes) const;

    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::uint32_t counterCount_ = 0;
    std::uint8_t* counters_ = nullptr;
    Platform::ProcessMutex* mutex_ = nullptr;
    EventSender sender_;
};

}  // namespace CoreSystem
