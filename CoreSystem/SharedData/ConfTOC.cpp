// The configuration table of contents: entries, prototypes for copying, and the written image.
#include "CoreSystem/SharedData/ConfTOC.h"

#include <iostream>

#include "CoreSystem/Platform/File.h"

namespace conf {

ConfTOC::ConfTOC(std::uint32_t capacity, std::uint32_t argument, const Prototype* prototypes)
    : entries_(capacity), sizes_(capacity), capacity_(capacity), argument_(argument) {
    for (; prototypes && prototypes->handle; ++prototypes) prototypes_[prototypes->tag] = prototypes->handle;
    lastMatch_ = prototypes_.end();
}

ConfTOC::~ConfTOC() = default;

std::int32_t ConfTOC::add(std::uint8_t* buffer, std::uint32_t size) {
    if (count_ >= capacity_) {
        std::cerr << "ConfTOC::add(): cannot add more than preallocated size" << std::endl;
        return -1;
    }
    entries_[count_].reset(buffer);
    sizes_[count_] = size;
    if (count_ == 0) header_[0] = size >= 4 ? ReadWord(buffer) : 0;
    header_[3] = ++count_;
    return static_cast<std::int32_t>(count_ - 1);
}

std::int32_t ConfTOC::addObject(Conf& handle) {
    return add(handle.record(), handle.recordSize());
}

std::int32_t ConfTOC::copyReferenced(void* image, void* record) {
    if (!record) return nullRecordIndex();
    lastMatch_ = prototypes_.find(ReadWord(record));
    if (lastMatch_ == prototypes_.end() || !lastMatch_->second) return nullRecordIndex();
    Conf& prototype = *lastMatch_->second;
    prototype.setBase(image);
    prototype.setRecord(record);
    return prototype.copyTo(*this);
}

std::int32_t ConfTOC::nullRecordIndex() {
    if (nullRecordIndex_ != -1) return nullRecordIndex_;
    std::unique_ptr<std::uint8_t[]> record(new std::uint8_t[kNullRecordBytes]);
    WriteWord(record.get(), kNullRecordTag);
    WriteWord(record.get() + 4, takeRecordId());
    nullRecordIndex_ = add(record.get(), kNullRecordBytes);
    if (nullRecordIndex_ >= 0) record.release();  // else freed; a later call tries again
    return nullRecordIndex_;
}

template <typename Sink>
bool ConfTOC::emit(Sink&& sink) const {
    if (count_ == 0) return true;  // an empty table writes nothing
    std::uint64_t total = 16 + 4ull * count_;
    for (std::uint32_t i = 0; i < count_; ++i) total += sizes_[i];
    if (total > 0xFFFFFFFFu) return false;
    std::vector<std::uint32_t> head{header_[0], static_cast<std::uint32_t>(total), header_[2], count_};
    std::uint32_t offset = 16 + 4 * count_;
    for (std::uint32_t i = 0; i < count_; ++i) {
        head.push_back(offset);
        offset += sizes_[i];
    }
    if (!sink(head.data(), head.size() * 4)) return false;
    for (std::uint32_t i = 0; i < count_; ++i) {
        if (!sink(entries_[i].get(), sizes_[i])) return false;
    }
    return true;
}

std::int64_t ConfTOC::write(int fd) {
    std::int64_t written = 0;
    const bool complete = emit([&](const void* bytes, std::size_t size) {
        if (!CoreSystem::Platform::WriteFully(fd, bytes, size)) return false;
        written += static_cast<std::int64_t>(size);
        return true;
    });
    return complete ? written : -1;
}

int ConfTOC::write(std::ostream& out) {
    emit([&](const void* bytes, std::size_t size) {
        out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        return true;
    });
    return 0;
}

AllPrototypes::AllPrototypes() {
    FixedConf* const fixed[] = {&root_,
                                &applicationVariable_,
                                &applicationEvent_,
                                &runtimeData_,
                                &applicationReservedString_,
                                &cultureRoot_,
                                &applicationAction_,
                                &applicationInformation_,
                                &variable_,
                                &listDefinition_,
                                &reservedString_,
                                &programming_};
    std::size_t n = 0;
    for (FixedConf* handle : fixed) table_[n++] = {handle->layout().tag, handle};
    table_[n++] = {kListTag, &list_};
    table_[n] = {0, nullptr};
}

}  // namespace conf
