// Culture strings over an attached image: bounded slot access under the culture mutex, change
// counters that are never 0 once written, and events sent after the mutex is released.
#include "CoreSystem/SharedData/CultureStrings.h"

#include <cstring>

namespace CoreSystem {

std::string_view Utf8Prefix(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    // text[n] is the first byte left out: while it continues a sequence, that sequence would be
    // cut, so leave out its lead byte too. A sequence has at most 3 continuation bytes.
    std::size_t n = bytes;
    for (int step = 0; step < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; ++step) --n;
    if ((static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = bytes;  // not UTF-8: cut at the limit
    return text.substr(0, n);
}

/// Holds the culture mutex; `held` is false when it could not be taken (nothing is touched then).
class CultureStrings::Hold {
public:
    explicit Hold(const CultureStrings& strings)
        : mutex_(strings.mutex_), held(mutex_ != nullptr && Platform::Holds(mutex_->lock())) {}
    ~Hold() {
        if (held) mutex_->unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Platform::ProcessMutex* mutex_;

public:
    const bool held;
};

void CultureStrings::attach(void* image, std::size_t size, EventSender sender) {
    base_ = static_cast<std::uint8_t*>(image);
    size_ = size;
    sender_ = std::move(sender);
    root.attachImage(image);
    cultureRoot.setBase(image);
    cursor.setBase(image);
    runtime.setBase(image);
    counterList.setBase(image);

    cultureRoot.setRecord(root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
    runtime.setRecord(cultureRoot.resolve(cultureRoot.word(conf::ConfCultureRootClass::kRuntimeData)));
    const conf::Offset counters = runtime.word(conf::ConfCultureRuntimeData::kCounterList);
    counterList.setRecord(runtime.resolve(counters));
    counters_ = counterList.record() ? counterList.record() + conf::kListHeaderBytes : nullptr;
    counterCount_ = counters_ ? runtime.listCount(counters) : 0;
    mutex_ = reinterpret_cast<Platform::ProcessMutex*>(runtime.record() + conf::ConfCultureRuntimeData::kMutexOffset);

    events.clear();
    conf::ProgrammingConfiguration programming;
    programming.setBase(image);
    programming.setRecord(root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    conf::ReservedString reserved;
    reserved.setBase(image);
    const conf::Offset list = programming.word(conf::ProgrammingConfiguration::kReservedStrings);
    const std::uint32_t count = programming.listCount(list);
    for (std::uint32_t k = 0; k < count; ++k) {
        reserved.setRecord(programming.listElementAt(list, k));
        const std::uint32_t code = reserved.word(conf::ReservedString::kEventCode);
        if (code == 0 || code == 0xFFFFFFFFu) continue;
        events[static_cast<std::int32_t>(reserved.word(conf::ReservedString::kStringId))] = code;
    }
}

std::uint32_t CultureStrings::cultureCount() const {
    return base_ ? cultureRoot.word(conf::ConfCultureRootClass::kCultureCount) : 0;
}

std::uint32_t CultureStrings::currentCulture() const {
    return base_ ? runtime.word(conf::ConfCultureRuntimeData::kCurrentCulture) : 0;
}

std::uint32_t CultureStrings::eventCode(std::int32_t id) const {
    const auto found = events.find(id);
    return found == events.end() ? 0 : found->second;
}

bool CultureStrings::selectSlot(std::int32_t id, std::uint32_t culture) {
    cursor.setRecord(nullptr);
    const std::uint32_t cultures = cultureCount();
    if (!base_ || id < 0 || static_cast<std::uint32_t>(id) >= counterCount_ || culture >= cultures) return false;
    const conf::Offset list = cultureRoot.word(conf::ConfCultureRootClass::kStringList);
    const std::uint64_t index = std::uint64_t{static_cast<std::uint32_t>(id)} * cultures + culture;
    if (index >= cultureRoot.listCount(list)) return false;
    cursor.setRecord(cultureRoot.listElementAt(list, static_cast<std::uint32_t>(index)));
    return true;
}

std::string_view CultureStrings::slotText() const {
    const std::uint32_t capacity = cursor.word(1);
    const char* text = reinterpret_cast<const char*>(cursor.record() + conf::kListHeaderBytes);
    return std::string_view(text, capacity == 0 ? 0 : strnlen(text, capacity));
}

std::uint32_t CultureStrings::slotCapacity(std::int32_t id, std::uint32_t culture) {
    Hold hold(*this);
    return hold.held && selectSlot(id, culture) ? cursor.word(1) : 0;
}

std::uint32_t CultureStrings::counter(std::int32_t id) {
    Hold hold(*this);
    if (!hold.held || id < 0 || static_cast<std::uint32_t>(id) >= counterCount_) return 0;
    return conf::ReadWord(counters_ + 4 * static_cast<std::size_t>(id));
}

std::int32_t CultureStrings::stringCapacity(std::int32_t id) {
    const std::uint32_t capacity = slotCapacity(id, currentCulture());
    return capacity == 0 ? 0 : static_cast<std::int32_t>(capacity - 1);
}

std::uint32_t CultureStrings::getStringForCulture(std::int32_t id, std::uint32_t culture, std::string& out,
                                                  std::uint32_t last) {
    if (!base_ || id < 0 || static_cast<std::uint32_t>(id) >= counterCount_ || culture >= cultureCount()) return 0;
    Hold hold(*this);
    if (!hold.held) return 0;
    // The polling path: an unchanged counter ends the call before any slot is looked up.
    const std::uint32_t now = conf::ReadWord(counters_ + 4 * static_cast<std::size_t>(id));
    if (now == last || !selectSlot(id, culture)) return 0;
    const std::string_view text = slotText();
    out.assign(text.data(), text.size());
    return now;
}

std::uint32_t CultureStrings::getString(std::int32_t id, std::string& out, std::uint32_t last) {
    return getStringForCulture(id, currentCulture(), out, last);
}

void CultureStrings::writeTextSlot(std::string_view text, std::int32_t id, bool noNotify,
                                   std::vector<std::uint32_t>& codes) {
    const std::uint32_t capacity = cursor.word(1);
    std::uint8_t* slot = cursor.record() + conf::kListHeaderBytes;
    std::memcpy(slot, text.data(), text.size());
    std::memset(slot + text.size(), 0, capacity - text.size());  // the rest and the final NUL
    std::uint8_t* counter = counters_ + 4 * static_cast<std::size_t>(id);
    std::uint32_t value = conf::ReadWord(counter) + 1;
    conf::WriteWord(counter, value == 0 ? 1 : value);  // a written counter is never 0
    if (!noNotify) {
        if (const std::uint32_t code = eventCode(id)) codes.push_back(code);
    }
}

bool CultureStrings::replaceTextSlot(std::string_view text, std::int32_t id, bool noNotify,
                                     std::vector<std::uint32_t>& codes) {
    const std::uint32_t capacity = cursor.word(1);
    if (capacity == 0) return false;  // a slot without room for its NUL takes nothing
    text = Utf8Prefix(text.substr(0, text.find('\0')), capacity - 1);
    if (text == slotText()) return false;
    writeTextSlot(text, id, noNotify, codes);
    return true;
}

void CultureStrings::send(const std::vector<std::uint32_t>& codes) const {
    if (!sender_) return;
    for (const std::uint32_t code : codes) sender_(code);
}

void CultureStrings::setString(std::int32_t id, const std::string& text, bool allCultures) {
    if (id == 0) return;
    std::vector<std::uint32_t> codes;
    {
        Hold hold(*this);
        if (!hold.held) return;
        const std::uint32_t cultures = cultureCount();
        const std::uint32_t current = currentCulture();
        for (std::uint32_t c = allCultures ? 0 : current; c < (allCultures ? cultures : current + 1); ++c) {
            if (selectSlot(id, c)) replaceTextSlot(text, id, false, codes);
        }
    }
    send(codes);
}

void CultureStrings::setStringForCulture(std::int32_t id, std::uint32_t culture, const std::string& text,
                                         bool noNotify) {
    std::vector<std::uint32_t> codes;
    {
        Hold hold(*this);
        if (!hold.held || !selectSlot(id, culture)) return;
        replaceTextSlot(text, id, noNotify, codes);
    }
    send(codes);
}

void CultureStrings::copyString(std::int32_t source, std::int32_t destination) {
    std::vector<std::uint32_t> codes;
    {
        Hold hold(*this);
        if (!hold.held) return;
        const std::uint32_t cultures = cultureCount();
        std::string text;
        for (std::uint32_t c = 0; c < cultures; ++c) {
            if (!selectSlot(source, c)) continue;
            text.assign(slotText());
            if (selectSlot(destination, c)) replaceTextSlot(text, destination, false, codes);
        }
    }
    send(codes);
}

void CultureStrings::composeString(std::int32_t first, const std::string& text, std::int32_t second,
                                   std::int32_t destination) {
    std::vector<std::uint32_t> codes;
    {
        Hold hold(*this);
        if (!hold.held) return;
        const std::uint32_t cultures = cultureCount();
        const std::string_view middle(text.c_str());
        std::string composed;
        for (std::uint32_t c = 0; c < cultures; ++c) {
            if (!selectSlot(first, c)) continue;
            composed.assign(slotText());
            composed.append(middle);
            if (!selectSlot(second, c)) continue;
            composed.append(slotText());
            if (selectSlot(destination, c)) replaceTextSlot(composed, destination, false, codes);
        }
    }
    send(codes);
}

}  // namespace CoreSystem
