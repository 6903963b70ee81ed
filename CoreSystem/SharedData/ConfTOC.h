// The configuration table of contents: collects records into a new image (a header, an offset
// table and the records) and writes it out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <vector>

#include "CoreSystem/SharedData/Conf.h"

namespace conf {

/// Entries in the order they were added, written as one image:
///   0: tag of entry 0, 4: total size, 8: header word 2, 12: count N,
///   16: N offsets (the first is 16 + 4N), then the entries' bytes without gaps.
/// Inside copied entries, references hold entry indexes. Belongs to one thread; no lock.
class ConfTOC {
public:
    /// One pair of the prototype table given to the constructor; a null handle ends the table.
    struct Prototype {
        std::uint32_t tag;
        Conf* handle;
    };

    /// `prototypes` (may be null) maps record tags to the handles that copy records of that tag;
    /// the handles are not owned and are re-pointed by every copy. A repeated tag keeps the later.
    ConfTOC(std::uint32_t capacity, std::uint32_t argument, const Prototype* prototypes);
    virtual ~ConfTOC();
    ConfTOC(const ConfTOC&) = delete;
    ConfTOC& operator=(const ConfTOC&) = delete;

    /// Writes the image to `fd`, each piece in full. Returns the bytes written (0 for an empty
    /// table), or -1 when a write fails or the image would exceed 4 GiB.
    virtual std::int64_t write(int fd);
    /// Writes the same bytes to `out`; returns 0. Failures show in the stream's state.
    int write(std::ostream& out);

    /// Takes over `buffer` (allocated with new std::uint8_t[]) as the next entry of `size` bytes.
    /// Returns its entry index, or -1 when the table is full (the buffer then stays the caller's;
    /// a message goes to standard error).
    std::int32_t add(std::uint8_t* buffer, std::uint32_t size);
    /// Adds the handle's record with the handle's record size and takes it over (see add): the
    /// record must come from createIn, never from an image.
    std::int32_t addObject(Conf& handle);
    /// Copies the record at `record` of the image at `image` with the prototype of its tag, or
    /// stands the table's NullRecord in for it. Returns the entry index or -1.
    std::int32_t copyReferenced(void* image, void* record);
    /// Entry index of the table's single NullRecord, made on first use; -1 when the table is full.
    std::int32_t nullRecordIndex();

    /// Hands out the next record id (from 50000 upward).
    std::uint32_t takeRecordId() { return nextRecordId_++; }
    std::uint32_t nextRecordId() const { return nextRecordId_; }

    std::uint32_t count() const { return count_; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t argument() const { return argument_; }
    std::uint32_t headerWord(unsigned index) const { return header_[index]; }
    void setHeaderWord2(std::uint32_t word) { header_[2] = word; }
    const std::uint8_t* entry(std::uint32_t index) const { return entries_[index].get(); }
    std::uint32_t entrySize(std::uint32_t index) const { return sizes_[index]; }

private:
    /// The image's bytes in write order: header and offset table, then each entry.
    template <typename Sink>
    bool emit(Sink&& sink) const;

    std::uint32_t count_ = 0;
    std::uint32_t header_[4] = {};  ///< tag of entry 0, (total size), header word 2, count
    std::vector<std::unique_ptr<std::uint8_t[]>> entries_;
    std::vector<std::uint32_t> sizes_;
    std::uint32_t capacity_;
    std::uint32_t argument_;
    std::map<std::uint32_t, Conf*> prototypes_;
    std::map<std::uint32_t, Conf*>::const_iterator lastMatch_;
    std::int32_t nullRecordIndex_ = -1;
    std::uint32_t nextRecordId_ = kFirstRecordId;
};

/// One prototype handle of every class, for copying whole record graphs: the list tag is
/// registered with ListObject, so list records are copied whole and their elements not followed.
class AllPrototypes {
public:
    AllPrototypes();
    AllPrototypes(const AllPrototypes&) = delete;
    AllPrototypes& operator=(const AllPrototypes&) = delete;
    /// The table for the ConfTOC constructor; valid while this object lives.
    const ConfTOC::Prototype* table() const { return table_; }

private:
    ConfigurationRoot root_;
    ApplicationVariable applicationVariable_;
    ApplicationEvent applicationEvent_;
    ConfCultureRuntimeData runtimeData_;
    ApplicationReservedString applicationReservedString_;
    ConfCultureRootClass cultureRoot_;
    ApplicationAction applicationAction_;
    ApplicationInformation applicationInformation_;
    Variable variable_;
    ListDefinition listDefinition_;
    ReservedString reservedString_;
    ProgrammingConfiguration programming_;
    ListObject list_;
    ConfTOC::Prototype table_[14];  ///< twelve fixed classes, the list tag, the end
};

}  // namespace conf
