// The conf object model: light typed handles onto the records of a binary configuration image.
// A handle holds the image base and the address of one record and reads the record in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace conf {

class ConfTOC;

/// A reference inside an image: a byte offset from the image start.
using Offset = std::uint32_t;
/// The reference that refers to nothing.
inline constexpr Offset kNoOffset = 0xFFFFFFFFu;
/// The root record of a shared image sits right after its 16 header bytes.
inline constexpr Offset kRootOffset = 16;
/// Record ids handed out by a table of contents start here.
inline constexpr std::uint32_t kFirstRecordId = 50000;
/// Word 0 of a list record (ConfList and ListObject share it) and its header size (tag, length).
inline constexpr std::uint32_t kListTag = 0xEAEF8E8Fu;
inline constexpr std::uint32_t kListHeaderBytes = 8;
/// Tag and size of the record a table of contents puts where a reference had no known class.
inline constexpr std::uint32_t kNullRecordTag = 0xDFC3004Fu;
inline constexpr std::uint32_t kNullRecordBytes = 8;
/// Image size to pass where it is not known.
inline constexpr std::size_t kUnknownSize = static_cast<std::size_t>(-1);

/// Reads the little-endian 32-bit word at `p` (records may sit at any address: no cast pointer).
inline std::uint32_t ReadWord(const void* p) {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}
inline void WriteWord(void* p, std::uint32_t word) {
    std::memcpy(p, &word, sizeof word);
}

/// Size of a list record with a payload of `length` bytes: 8 + length, rounded up to 4.
inline std::uint64_t ListRecordBytes(std::uint64_t length) {
    return (kListHeaderBytes + length + 3) & ~std::uint64_t{3};
}

/// A record kind with a fixed size: its tag, its size, the words `copyTo` follows (bit n set for
/// word n), and whether `createIn` hands it a record id in word 1.
struct RecordLayout {
    std::uint32_t tag;
    std::uint32_t bytes;
    std::uint32_t references;
    bool recordId;
};

/// The fixed-size kinds, each named once. Their words are named in the handle classes below.
namespace Layout {
inline constexpr RecordLayout ConfigurationRoot{0x4602B398u, 28, 0, true};
inline constexpr RecordLayout ApplicationVariable{0x0B8D5393u, 20, 1u << 3, true};
inline constexpr RecordLayout ApplicationEvent{0x7F2883B7u, 20, 1u << 3, true};
inline constexpr RecordLayout ConfCultureRuntimeData{0x97F8871Cu, 24, 0, true};
inline constexpr RecordLayout ApplicationReservedString{0x71E1BC48u, 20, 1u << 3, true};
inline constexpr RecordLayout ConfCultureRootClass{0xF8E6E10Cu, 36, 0, true};
inline constexpr RecordLayout ApplicationAction{0x942E0714u, 20, (1u << 2) | (1u << 3), true};
inline constexpr RecordLayout ApplicationInformation{0x753F10DCu, 36, 1u << 2, true};
inline constexpr RecordLayout ConfList{kListTag, 12, 0, false};
inline constexpr RecordLayout Variable{0x10277429u, 48, 1u << 9, true};
inline constexpr RecordLayout ListDefinition{0xBF99A34Du, 32, 0, true};
inline constexpr RecordLayout ReservedString{0x136216D8u, 32, (1u << 5) | (1u << 6), true};
inline constexpr RecordLayout ProgrammingConfiguration{0xE30A1195u, 40, 0, true};
}  // namespace Layout

/// Every record is whole words, and every word copyTo follows lies inside it.
constexpr bool WellFormed(const RecordLayout& kind) {
    return kind.bytes % 4 == 0 && kind.bytes >= 8 && (kind.references >> (kind.bytes / 4)) == 0;
}
static_assert(WellFormed(Layout::ConfigurationRoot) && WellFormed(Layout::ApplicationVariable) &&
              WellFormed(Layout::ApplicationEvent) && WellFormed(Layout::ConfCultureRuntimeData) &&
              WellFormed(Layout::ApplicationReservedString) && WellFormed(Layout::ConfCultureRootClass) &&
              WellFormed(Layout::ApplicationAction) && WellFormed(Layout::ApplicationInformation) &&
              WellFormed(Layout::ConfList) && WellFormed(Layout::Variable) &&
              WellFormed(Layout::ListDefinition) && WellFormed(Layout::ReservedString) &&
              WellFormed(Layout::ProgrammingConfiguration));
static_assert(kNullRecordBytes % 4 == 0 && kListHeaderBytes % 4 == 0 && kRootOffset % 4 == 0);

/// The layout of the fixed-size kind with `tag` (the list tag gives ConfList), or null.
const RecordLayout* FindLayout(std::uint32_t tag);

/// A typed handle onto one record of an image. It never owns the image or the record. Reading
/// allocates nothing; a handle is re-pointed (setRecord) to walk a list.
class Conf {
public:
    virtual ~Conf() = default;
    /// Points the handle at the record at image + 16 (the root of a shared image) when it carries
    /// this class's tag; otherwise the record becomes none. The image base is set either way.
    virtual bool attachImage(void* image) = 0;
    virtual void setRecord(void* record) = 0;
    /// Copies the record and, through `toc`, what it refers to; the copy's references hold entry
    /// indexes. Returns the copy's entry index, or -1 when the table refused it.
    virtual std::int32_t copyTo(ConfTOC& toc);
    virtual std::int32_t reservedSlot() { return 0; }
    virtual std::uint8_t* record() const = 0;

    Conf(const Conf&) = default;
    Conf& operator=(const Conf&) = default;

    void setBase(void* image) { base_ = static_cast<std::uint8_t*>(image); }
    std::uint8_t* base() const { return base_; }
    std::uint32_t recordSize() const { return recordSize_; }

    /// Word `index` of the record; 0xFFFFFFFF when the handle has no record.
    std::uint32_t word(unsigned index) const { return record_ ? ReadWord(record_ + 4 * index) : kNoOffset; }
    void setWord(unsigned index, std::uint32_t value) {
        if (record_) WriteWord(record_ + 4 * index, value);
    }

    /// Address of `offset` in the image; null for 0xFFFFFFFF or without an image base.
    std::uint8_t* resolve(Offset offset) const;
    /// Number of 32-bit payload words of the list record at `offset` (0 for a negative offset).
    std::uint32_t listCount(Offset offset) const;
    /// Address of the record the k-th payload word of the list at `offset` refers to. Unchecked:
    /// callers stay below listCount (an image that passed CheckImage keeps them inside).
    std::uint8_t* listElementAt(Offset offset, std::uint32_t k) const;
    /// Address of the payload of the list record at `offset`; null for 0xFFFFFFFF.
    std::uint8_t* listData(Offset offset) const;
    /// The text held by the list record at `offset` of `handle`'s image: its first L - 1 payload
    /// bytes (the stored text without its NUL). Empty for 0xFFFFFFFF, another tag or L = 0; never
    /// reads past the record nor, when `imageSize` is given, past the image.
    static std::string textAt(const Conf& handle, Offset offset, std::size_t imageSize = kUnknownSize);

protected:
    explicit Conf(std::uint32_t recordSize) : recordSize_(recordSize) {}
    /// `tableStart` is where the header pointers of a table-of-contents image begin (16 or 12).
    Conf(std::uint32_t recordSize, void* image, void* record, std::uint32_t tableStart);

    /// Points at image + `at` when the word there is `tag`, else at none.
    bool attachAt(void* image, std::size_t at, std::uint32_t tag);

    std::uint32_t recordSize_;
    std::uint8_t* base_ = nullptr;
    std::uint8_t* countPointer_ = nullptr;  ///< entry count of a table-of-contents image (unused)
    std::uint8_t* tablePointer_ = nullptr;  ///< offset table of a table-of-contents image (unused)
    std::uint8_t* record_ = nullptr;
};

/// The handle of every fixed-size class: attach, copy and create are the same for all of them
/// and differ only in the layout.
class FixedConf : public Conf {
public:
    bool attachImage(void* image) override;
    void setRecord(void* record) override { record_ = static_cast<std::uint8_t*>(record); }
    std::int32_t copyTo(ConfTOC& toc) override;
    std::uint8_t* record() const override { return record_; }
    /// Like attachImage for an image in the table-of-contents form: the record after the offset
    /// table. The caller guarantees the header and table lie inside the image.
    virtual bool attachTableImage(void* image);

    /// Makes a zeroed record of this class in `toc` (tag, next record id) and points the handle at
    /// it (no image base). Returns the entry index, or -1 when the table is full.
    std::int32_t createIn(ConfTOC& toc);

    const RecordLayout& layout() const { return *layout_; }

protected:
    explicit FixedConf(const RecordLayout& layout) : Conf(layout.bytes), layout_(&layout) {}
    FixedConf(const RecordLayout& layout, void* image, void* record)
        : Conf(layout.bytes, image, record, 16), layout_(&layout) {}

    /// Copies `bytes` of the record with the layout's references; shared with ConfList.
    std::int32_t copyRecord(ConfTOC& toc, std::uint32_t bytes);

private:
    const RecordLayout* layout_;
};

/// The constructors of a fixed-size class of `kind`.
template <const RecordLayout& kind>
class FixedClass : public FixedConf {
public:
    static constexpr const RecordLayout& kLayout = kind;
    FixedClass() : FixedConf(kind) {}
    FixedClass(void* image, void* record) : FixedConf(kind, image, record) {}
};

// Each class names the words this framework reads (word indexes into the record).
class ConfigurationRoot : public FixedClass<Layout::ConfigurationRoot> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kProgrammingConfiguration = 3, kCultureRoot = 5 };
};
class ApplicationVariable : public FixedClass<Layout::ApplicationVariable> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kVariableId = 2, kLocalNumber = 4 };
};
class ApplicationEvent : public FixedClass<Layout::ApplicationEvent> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kEventId = 2, kLocalNumber = 4 };
};
class ConfCultureRuntimeData : public FixedClass<Layout::ConfCultureRuntimeData> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kCurrentCulture = 2, kCounterList = 3 };
    /// Bytes 16-23: the culture mutex (a process-shared mutex, placed by the image's loader).
    static constexpr std::size_t kMutexOffset = 16;
};
class ApplicationReservedString : public FixedClass<Layout::ApplicationReservedString> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kStringId = 2, kLocalNumber = 4 };
};
class ConfCultureRootClass : public FixedClass<Layout::ConfCultureRootClass> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kStringList = 2, kRuntimeData = 4, kCultureCount = 5 };
};
class ApplicationAction : public FixedClass<Layout::ApplicationAction> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kActionId = 1, kLocalNumber = 4 };
};
class ApplicationInformation : public FixedClass<Layout::ApplicationInformation> {
public:
    using FixedClass::FixedClass;
    enum : unsigned {
        kName = 2,
        kActions = 3,
        kVariables = 4,
        kEvents = 6,
        kReference = 7,
        kReservedStrings = 8
    };
};
class Variable : public FixedClass<Layout::Variable> {
public:
    using FixedClass::FixedClass;
    /// Word 8: the value table (16-byte entries: value at 8, string id at 12). Word 9, the one
    /// copyTo follows, holds the name text in images this framework's builder writes.
    enum : unsigned { kValueTable = 8, kName = 9 };
    static constexpr std::uint32_t kValueEntryBytes = 16;
};
class ListDefinition : public FixedClass<Layout::ListDefinition> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kListId = 2, kCapacity = 3, kElementSize = 4, kBlob = 6, kStorage = 7 };
};
class ReservedString : public FixedClass<Layout::ReservedString> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kEventCode = 2, kStringId = 4 };
};
class ProgrammingConfiguration : public FixedClass<Layout::ProgrammingConfiguration> {
public:
    using FixedClass::FixedClass;
    enum : unsigned { kApplications = 2, kVariables = 5, kReservedStrings = 7, kListDefinitions = 9 };
};

/// A list record read as a table of L/4 image offsets. Its copy takes the whole record
/// (8 + L rounded up), like ListObject's; the elements are not followed.
class ConfList : public FixedConf {
public:
    static constexpr const RecordLayout& kLayout = Layout::ConfList;
    ConfList() : FixedConf(kLayout) {}
    ConfList(void* image, void* record) : FixedConf(kLayout, image, record) {}
    std::int32_t copyTo(ConfTOC& toc) override;
};

/// A list record read as opaque payload bytes (a text, a saved definition, a table of entries).
/// Its record occupies 8 + L bytes rounded up to 4.
class ListObject : public Conf {
public:
    ListObject() : Conf(kListHeaderBytes) {}
    ListObject(void* image, void* record) : Conf(kListHeaderBytes, image, record, 12) {}

    bool attachImage(void* image) override { return attachAt(image, kRootOffset, tag_); }
    void setRecord(void* record) override { record_ = static_cast<std::uint8_t*>(record); }
    std::int32_t copyTo(ConfTOC& toc) override;
    std::uint8_t* record() const override { return record_; }

    /// Makes a zeroed list record with a payload of `length` bytes in `toc` and points the handle
    /// at it (no image base). Returns the entry index, or -1 when the table is full.
    std::int32_t createIn(ConfTOC& toc, std::uint32_t length);

private:
    std::uint32_t tag_ = kListTag;
};

/// Adds a copy of the list record at `record` (8 + L rounded up) to `toc`: the entry index or -1.
std::int32_t CopyListRecord(ConfTOC& toc, const std::uint8_t* record);

}  // namespace conf
