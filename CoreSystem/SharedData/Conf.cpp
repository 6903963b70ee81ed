// The conf handles: reading records in place, copying them into a table of contents, creating them.
#include "CoreSystem/SharedData/Conf.h"

#include <algorithm>
#include <memory>

#include "CoreSystem/SharedData/ConfTOC.h"

namespace conf {

const RecordLayout* FindLayout(std::uint32_t tag) {
    static const RecordLayout* const kinds[] = {&Layout::ConfigurationRoot,
                                                &Layout::ApplicationVariable,
                                                &Layout::ApplicationEvent,
                                                &Layout::ConfCultureRuntimeData,
                                                &Layout::ApplicationReservedString,
                                                &Layout::ConfCultureRootClass,
                                                &Layout::ApplicationAction,
                                                &Layout::ApplicationInformation,
                                                &Layout::ConfList,
                                                &Layout::Variable,
                                                &Layout::ListDefinition,
                                                &Layout::ReservedString,
                                                &Layout::ProgrammingConfiguration};
    for (const RecordLayout* kind : kinds) {
        if (kind->tag == tag) return kind;
    }
    return nullptr;
}

Conf::Conf(std::uint32_t recordSize, void* image, void* record, std::uint32_t tableStart)
    : recordSize_(recordSize),
      base_(static_cast<std::uint8_t*>(image)),
      record_(static_cast<std::uint8_t*>(record)) {
    if (base_) {
        countPointer_ = base_ + tableStart;
        tablePointer_ = base_ + tableStart + 4;
    }
}

std::int32_t Conf::copyTo(ConfTOC&) {
    return 0;
}

bool Conf::attachAt(void* image, std::size_t at, std::uint32_t tag) {
    base_ = static_cast<std::uint8_t*>(image);
    record_ = base_ && ReadWord(base_ + at) == tag ? base_ + at : nullptr;
    return record_ != nullptr;
}

std::uint8_t* Conf::resolve(Offset offset) const {
    return offset == kNoOffset || !base_ ? nullptr : base_ + offset;
}

std::uint32_t Conf::listCount(Offset offset) const {
    if (static_cast<std::int32_t>(offset) < 0 || !base_) return 0;
    return ReadWord(base_ + offset + 4) >> 2;
}

std::uint8_t* Conf::listElementAt(Offset offset, std::uint32_t k) const {
    return base_ + ReadWord(base_ + offset + kListHeaderBytes + 4 * std::size_t{k});
}

std::uint8_t* Conf::listData(Offset offset) const {
    return offset == kNoOffset || !base_ ? nullptr : base_ + offset + kListHeaderBytes;
}

std::string Conf::textAt(const Conf& handle, Offset offset, std::size_t imageSize) {
    const std::uint8_t* base = handle.base();
    if (!base || offset == kNoOffset) return {};
    if (imageSize != kUnknownSize && (offset > imageSize || imageSize - offset < kListHeaderBytes)) return {};
    const std::uint8_t* record = base + offset;
    const std::uint32_t length = ReadWord(record + 4);
    if (ReadWord(record) != kListTag || length == 0) return {};
    std::size_t bytes = length - 1;
    if (imageSize != kUnknownSize)
        bytes = std::min<std::size_t>(bytes, imageSize - offset - kListHeaderBytes);
    return std::string(reinterpret_cast<const char*>(record + kListHeaderBytes), bytes);
}

bool FixedConf::attachImage(void* image) {
    return attachAt(image, kRootOffset, layout_->tag);
}

bool FixedConf::attachTableImage(void* image) {
    auto* base = static_cast<std::uint8_t*>(image);
    countPointer_ = base ? base + 12 : nullptr;
    tablePointer_ = base ? base + 16 : nullptr;
    const std::size_t entries = base ? ReadWord(base + 12) : 0;
    return attachAt(image, 16 + 4 * entries, layout_->tag);
}

std::int32_t FixedConf::copyTo(ConfTOC& toc) {
    return copyRecord(toc, layout_->bytes);
}

std::int32_t FixedConf::copyRecord(ConfTOC& toc, std::uint32_t bytes) {
    if (!record_) return -1;
    // The copy holds the reference words and the base as they are now: a nested copy may
    // re-point this very handle (the table's prototype of this class).
    std::uint8_t* const image = base_;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes]);
    std::memcpy(buffer.get(), record_, bytes);
    std::uint8_t* const copy = buffer.get();
    const std::int32_t index = toc.add(copy, bytes);
    if (index < 0) return -1;  // refused: freed here, references not followed
    buffer.release();          // the table owns it now
    for (unsigned w = 0; w < bytes / 4; ++w) {
        if (!(layout_->references & (1u << w))) continue;
        const Offset target = ReadWord(copy + 4 * w);
        if (target == kNoOffset) continue;
        WriteWord(copy + 4 * w,
                  static_cast<std::uint32_t>(toc.copyReferenced(image, image ? image + target : nullptr)));
    }
    return index;
}

std::int32_t FixedConf::createIn(ConfTOC& toc) {
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[layout_->bytes]());
    WriteWord(buffer.get(), layout_->tag);
    if (layout_->recordId) WriteWord(buffer.get() + 4, toc.takeRecordId());
    base_ = nullptr;
    record_ = buffer.get();
    const std::int32_t index = toc.addObject(*this);
    if (index < 0) {
        record_ = nullptr;
        return -1;
    }
    buffer.release();
    return index;
}

std::int32_t ConfList::copyTo(ConfTOC& toc) {
    return record_ ? CopyListRecord(toc, record_) : -1;
}

std::int32_t ListObject::copyTo(ConfTOC& toc) {
    return record_ ? CopyListRecord(toc, record_) : -1;
}

std::int32_t CopyListRecord(ConfTOC& toc, const std::uint8_t* record) {
    const std::uint32_t length = ReadWord(record + 4);
    const std::uint64_t bytes = ListRecordBytes(length);
    if (bytes > 0xFFFFFFFFu) return -1;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes]());
    std::memcpy(buffer.get(), record, kListHeaderBytes + std::size_t{length});
    const std::int32_t index = toc.add(buffer.get(), static_cast<std::uint32_t>(bytes));
    if (index >= 0) buffer.release();
    return index;
}

std::int32_t ListObject::createIn(ConfTOC& toc, std::uint32_t length) {
    const std::uint64_t bytes = ListRecordBytes(length);
    if (bytes > 0xFFFFFFFFu) return -1;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes]());
    WriteWord(buffer.get(), kListTag);
    WriteWord(buffer.get() + 4, length);
    base_ = nullptr;
    record_ = buffer.get();
    const std::int32_t index = toc.add(buffer.get(), static_cast<std::uint32_t>(bytes));
    if (index < 0) {
        record_ = nullptr;
        return -1;
    }
    buffer.release();
    return index;
}

}  // namespace conf
