// One shared list object: its byte layout, its geometry from a list definition, and the
// operations on an object in place. The list manager applies these to the objects it maps; they
// take everything as values, so they can be used on any buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "CoreSystem/Platform/ProcessSync.h"

namespace CoreSystem {

/// Start of a list object. The slot offset table follows at 24 (one 32-bit entry per element of
/// the capacity); the element slots follow at the header size H = 4 x (6 + capacity rounded up to
/// an even number).
struct ListHeader {
    Platform::ProcessMutex mutex;  ///< the list mutex: count, position, sequence and slot offsets
    std::uint16_t elementSize;     ///< low 16 bits of the definition's element size
    std::uint16_t sequence;        ///< change sequence, wraps at 0xFFFF
    std::uint32_t position;        ///< index of the current element, shared by all views that share it
    std::uint32_t capacity;        ///< elements
    std::uint32_t count;           ///< elements in use
};
static_assert(sizeof(ListHeader) == 24, "a list object's fixed fields take 24 bytes");
static_assert(offsetof(ListHeader, mutex) == 0);
static_assert(offsetof(ListHeader, elementSize) == 8);
static_assert(offsetof(ListHeader, sequence) == 10);
static_assert(offsetof(ListHeader, position) == 12);
static_assert(offsetof(ListHeader, capacity) == 16);
static_assert(offsetof(ListHeader, count) == 20);

/// Offset of the slot offset table in a list object.
inline constexpr std::size_t kSlotTableOffset = sizeof(ListHeader);
/// Largest list object the framework creates or maps; larger definitions are skipped.
inline constexpr std::uint64_t kMaxListObjectBytes = std::uint64_t{256} << 20;
/// findElement results besides an index.
inline constexpr int kNoElement = -4;
inline constexpr int kNoList = -3;

/// What a list definition makes of its object. Computed in 64 bits from the definition's words.
struct ListGeometry {
    std::uint32_t capacity = 0;     ///< M
    std::uint32_t elementSize = 0;  ///< E (all 32 bits of the definition's word)
    std::uint64_t headerSize = 0;   ///< H = 4 x (6 + M rounded up to even)
    std::uint64_t objectSize = 0;   ///< H + M x E

    static ListGeometry Of(std::uint32_t capacity, std::uint32_t elementSize);
    /// False for an object beyond kMaxListObjectBytes.
    bool reasonable() const { return objectSize <= kMaxListObjectBytes; }
};

/// A list object as one process maps it: its address and the geometry its definition gives.
/// The geometry is the process's own, so a damaged header can never move an access outside the
/// mapping.
struct ListRef {
    ListHeader* object = nullptr;
    ListGeometry geometry;

    std::uint8_t* bytes() const { return reinterpret_cast<std::uint8_t*>(object); }
    std::uint32_t* slots() const { return reinterpret_cast<std::uint32_t*>(bytes() + kSlotTableOffset); }
    /// Count as stored, never above the capacity.
    std::uint32_t count() const;
};

/// Puts a fresh object in place: every byte zero, then the mutex, element size, capacity and
/// slot offsets H + k x E.
void InitialiseFresh(const ListRef& list);
/// Why a saved object of `size` bytes cannot be restored under `geometry`, or none when it can:
/// the size, element size and capacity must match, the count must not exceed the capacity, and
/// the slot table must hold every slot exactly once.
std::optional<std::string> CheckSavedObject(const std::uint8_t* saved, std::uint64_t size,
                                            const ListGeometry& geometry);

/// The element at `index` after applying `mode` (1: relative to the position; 2 with a page
/// size above 0: relative to the start of the position's page), with its word 0 set to the final
/// index; null when that index is not in use. The caller holds the list mutex.
std::uint8_t* ElementAt(const ListRef& list, int mode, std::int64_t index, int pageSize);
/// Removes the element at `index`: its slot goes to the end of the table, the position follows.
/// 1 when removed, 0 when `index` is not in use. The caller holds the list mutex.
int RemoveAt(const ListRef& list, std::int64_t index);
/// Appends an element as an owner does: copies `length` bytes (at most the element size; the rest
/// of the slot is zeroed) into the slot at the count and counts it. 1 when appended, 0 when the
/// list is full or the bytes do not fit. The caller holds the list mutex.
int Append(const ListRef& list, const void* data, std::size_t length);
/// Empties the list (slots and element bytes stay). The caller holds the list mutex.
void ClearList(const ListRef& list);
/// The change sequence before incrementing it (atomic; no lock needed).
std::uint16_t NextSequence(const ListRef& list);
/// Index of the first element in [start, end) whose text matches `pattern` (see MatchPattern),
/// or kNoElement. The text is read at `textOffset`, at most `maxLength` bytes, up to its NUL and
/// never past its element. The caller holds the list mutex.
int FindElement(const ListRef& list, std::int64_t start, std::int64_t end, std::int64_t textOffset,
                std::int64_t maxLength, const std::string& pattern);

/// True when `text` matches `pattern`: without "*" the two are equal; otherwise the pattern's
/// pieces between stars occur in order, each at or after where the previous one was found (they
/// may overlap), the first at the start unless the pattern starts with "*", and the text ends
/// with the last unless the pattern ends with "*".
bool MatchPattern(const std::string& text, const std::string& pattern);

/// The field at `offset` of an element of `elementSize` bytes as a double: type 0 or 3 signed
/// 32-bit, 1 float, 2 double, 4 signed 16-bit, 5 signed 8-bit, 7 signed 64-bit. 0.0 for any other
/// type and for a field that does not lie entirely inside the element.
double ReadField(const void* element, std::uint32_t elementSize, std::int64_t offset, int type);

/// Atomic access to the fields other processes change without the list mutex.
std::uint32_t LoadPosition(const std::uint32_t* position);
void StorePosition(std::uint32_t* position, std::uint32_t value);
std::uint16_t LoadSequence(const std::uint16_t* sequence);

}  // namespace CoreSystem
