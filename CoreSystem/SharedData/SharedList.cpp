// The operations on one list object in place: creation, the check of a saved object, element
// access, removal, search and typed field reading.
#include "CoreSystem/SharedData/SharedList.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace CoreSystem {

namespace {

/// Fields that lock-free readers (listLength, views, nextSequence) touch are accessed atomically.
std::uint32_t Load(const std::uint32_t& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
void Store(std::uint32_t& field, std::uint32_t value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

std::uint32_t SlotAt(const ListRef& list, std::uint32_t index) {
    std::uint32_t offset;
    std::memcpy(&offset, list.slots() + index, sizeof offset);
    return offset;
}

/// True when a slot offset names a whole element inside the object.
bool SlotInside(const ListRef& list, std::uint32_t offset) {
    const ListGeometry& g = list.geometry;
    return offset >= g.headerSize && std::uint64_t{offset} + g.elementSize <= g.objectSize;
}

/// Writes `index` into word 0 of the element; an element of fewer than 4 bytes gets what fits.
void StampIndex(std::uint8_t* element, std::uint32_t elementSize, std::uint32_t index) {
    const std::uint32_t word = index;  // little-endian on every target of the framework
    std::memcpy(element, &word, std::min<std::uint32_t>(sizeof word, elementSize));
}

}  // namespace

ListGeometry ListGeometry::Of(std::uint32_t capacity, std::uint32_t elementSize) {
    ListGeometry g;
    g.capacity = capacity;
    g.elementSize = elementSize;
    const std::uint64_t even = (std::uint64_t{capacity} + 1) & ~std::uint64_t{1};
    g.headerSize = 4 * (6 + even);
    g.objectSize = g.headerSize + std::uint64_t{capacity} * elementSize;
    return g;
}

std::uint32_t ListRef::count() const {
    return std::min(Load(object->count), geometry.capacity);
}

void InitialiseFresh(const ListRef& list) {
    const ListGeometry& g = list.geometry;
    std::memset(list.bytes(), 0, g.objectSize);
    list.object->mutex.init();
    list.object->elementSize = static_cast<std::uint16_t>(g.elementSize);
    list.object->capacity = g.capacity;
    for (std::uint32_t k = 0; k < g.capacity; ++k) {
        const auto offset = static_cast<std::uint32_t>(g.headerSize + std::uint64_t{k} * g.elementSize);
        std::memcpy(list.slots() + k, &offset, sizeof offset);
    }
}

std::optional<std::string> CheckSavedObject(const std::uint8_t* saved, std::uint64_t size,
                                            const ListGeometry& g) {
    if (size != g.objectSize) {
        return "saved size " + std::to_string(size) + ", the definition needs " +
               std::to_string(g.objectSize);
    }
    ListHeader header;
    std::memcpy(&header, saved, sizeof header);
    if (header.elementSize != static_cast<std::uint16_t>(g.elementSize) || header.capacity != g.capacity) {
        return "saved element size " + std::to_string(header.elementSize) + " and capacity " +
               std::to_string(header.capacity) + " differ from the definition";
    }
    if (header.count > g.capacity)
        return "saved count " + std::to_string(header.count) + " exceeds the capacity";
    std::vector<bool> seen(g.capacity, false);
    for (std::uint32_t k = 0; k < g.capacity; ++k) {
        std::uint32_t offset;
        std::memcpy(&offset, saved + kSlotTableOffset + 4 * std::size_t{k}, sizeof offset);
        const std::uint64_t relative = offset >= g.headerSize ? offset - g.headerSize : g.objectSize;
        const std::uint64_t slot = g.elementSize == 0 ? 0 : relative / g.elementSize;
        const bool onBoundary = g.elementSize == 0 ? relative == 0 : relative % g.elementSize == 0;
        if (!onBoundary || slot >= g.capacity || (g.elementSize != 0 && seen[slot])) {
            return "saved slot offset " + std::to_string(k) + " (" + std::to_string(offset) +
                   ") is not a slot of its own";
        }
        seen[slot] = true;
    }
    return std::nullopt;
}

std::uint8_t* ElementAt(const ListRef& list, int mode, std::int64_t index, int pageSize) {
    const std::uint32_t position = Load(list.object->position);
    if (mode == 1) {
        index += position;
    } else if (mode == 2 && pageSize > 0) {
        index += std::int64_t{pageSize} * (position / static_cast<std::uint32_t>(pageSize));
    }
    if (index < 0 || index >= list.count()) return nullptr;
    const std::uint32_t offset = SlotAt(list, static_cast<std::uint32_t>(index));
    if (!SlotInside(list, offset)) return nullptr;
    std::uint8_t* element = list.bytes() + offset;
    StampIndex(element, list.geometry.elementSize, static_cast<std::uint32_t>(index));
    return element;
}

int RemoveAt(const ListRef& list, std::int64_t index) {
    const std::uint32_t count = list.count();
    if (index < 0 || index >= count) return 0;
    const auto i = static_cast<std::uint32_t>(index);
    const std::uint32_t capacity = list.geometry.capacity;
    const std::uint32_t freed = SlotAt(list, i);
    std::memmove(list.slots() + i, list.slots() + i + 1, 4 * std::size_t{capacity - 1 - i});
    std::memcpy(list.slots() + capacity - 1, &freed, sizeof freed);
    Store(list.object->count, count - 1);
    __atomic_fetch_add(&list.object->sequence, std::uint16_t{1}, __ATOMIC_ACQ_REL);
    const std::uint32_t position = Load(list.object->position);
    if (count - 1 == 0) {
        Store(list.object->position, 0);
    } else if (position != 0 && i <= position) {
        Store(list.object->position, position - 1);
    }
    return 1;
}

int Append(const ListRef& list, const void* data, std::size_t length) {
    const std::uint32_t count = list.count();
    if (count >= list.geometry.capacity || length > list.geometry.elementSize) return 0;
    const std::uint32_t offset = SlotAt(list, count);
    if (!SlotInside(list, offset)) return 0;
    std::uint8_t* element = list.bytes() + offset;
    std::memset(element, 0, list.geometry.elementSize);
    if (length > 0) std::memcpy(element, data, length);
    Store(list.object->count, count + 1);
    return 1;
}

void ClearList(const ListRef& list) {
    Store(list.object->position, 0);
    Store(list.object->count, 0);
    __atomic_fetch_add(&list.object->sequence, std::uint16_t{1}, __ATOMIC_ACQ_REL);
}

std::uint16_t NextSequence(const ListRef& list) {
    return __atomic_fetch_add(&list.object->sequence, std::uint16_t{1}, __ATOMIC_ACQ_REL);
}

int FindElement(const ListRef& list, std::int64_t start, std::int64_t end, std::int64_t textOffset,
                std::int64_t maxLength, const std::string& pattern) {
    const ListGeometry& g = list.geometry;
    if (start < 0 || start >= end || start >= g.capacity || textOffset < 0 || maxLength < 0)
        return kNoElement;
    const std::int64_t last = std::min<std::int64_t>(end, list.count());
    for (std::int64_t i = start; i < last; ++i) {
        const std::uint32_t offset = SlotAt(list, static_cast<std::uint32_t>(i));
        if (!SlotInside(list, offset)) continue;
        std::uint8_t* element = list.bytes() + offset;
        StampIndex(element, g.elementSize, static_cast<std::uint32_t>(i));
        const std::uint64_t from =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(textOffset), g.elementSize);
        const std::uint64_t room =
            std::min<std::uint64_t>(g.elementSize - from, static_cast<std::uint64_t>(maxLength));
        const auto* text = reinterpret_cast<const char*>(element + from);
        const std::string value(text, strnlen(text, room));
        if (MatchPattern(value, pattern)) return static_cast<int>(i);
    }
    return kNoElement;
}

bool MatchPattern(const std::string& text, const std::string& pattern) {
    if (pattern.find('*') == std::string::npos) return text == pattern;
    std::vector<std::string> pieces;
    for (std::size_t from = 0;;) {
        const std::size_t star = pattern.find('*', from);
        pieces.push_back(pattern.substr(from, star == std::string::npos ? std::string::npos : star - from));
        if (star == std::string::npos) break;
        from = star + 1;
    }
    std::size_t found = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        found = text.find(pieces[k], found);
        if (found == std::string::npos || (k == 0 && pattern.front() != '*' && found != 0)) return false;
    }
    const std::string& lastPiece = pieces.back();
    return pattern.back() == '*' ||
           (text.size() >= lastPiece.size() &&
            text.compare(text.size() - lastPiece.size(), lastPiece.size(), lastPiece) == 0);
}

double ReadField(const void* element, std::uint32_t elementSize, std::int64_t offset, int type) {
    std::size_t width = 0;
    switch (type) {
        case 0:
        case 1:
        case 3:
            width = 4;
            break;
        case 2:
        case 7:
            width = 8;
            break;
        case 4:
            width = 2;
            break;
        case 5:
            width = 1;
            break;
        default:
            return 0.0;
    }
    if (!element || offset < 0 || static_cast<std::uint64_t>(offset) + width > elementSize) return 0.0;
    const auto* at = static_cast<const std::uint8_t*>(element) + offset;
    auto read = [at](auto value) {
        std::memcpy(&value, at, sizeof value);
        return static_cast<double>(value);
    };
    switch (type) {
        case 1:
            return read(float{});
        case 2:
            return read(double{});
        case 4:
            return read(std::int16_t{});
        case 5:
            return read(std::int8_t{});
        case 7:
            return read(std::int64_t{});
        default:
            return read(std::int32_t{});
    }
}

std::uint32_t LoadPosition(const std::uint32_t* position) {
    return Load(*position);
}

void StorePosition(std::uint32_t* position, std::uint32_t value) {
    Store(*position, value);
}

std::uint16_t LoadSequence(const std::uint16_t* sequence) {
    return __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
}

}  // namespace CoreSystem
