// Fuzz target: the image check, and every reader it clears. An image that passes the check is
// walked the way the framework's clients walk it (texts, lists, tables, the application lists),
// copied into a table of contents, and written at every place the framework writes at run time;
// afterwards it must still pass. Built with -fsanitize=fuzzer,address,undefined.
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "CoreSystem/SharedData/ConfTOC.h"
#include "CoreSystem/SharedData/ImageCheck.h"

namespace {

/// Folds read bytes into a value the compiler cannot drop.
volatile std::uint32_t gSink;

void Touch(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += bytes[i];
    gSink = gSink + sum;
}

/// Hands every element of the list at `list` to `visit` as a record of `Handle`.
template <typename Handle, typename Visit>
void ForEach(const conf::Conf& owner, conf::Offset list, Visit&& visit) {
    Handle element;
    element.setBase(owner.base());
    for (std::uint32_t k = 0; k < owner.listCount(list); ++k) {
        element.setRecord(owner.listElementAt(list, k));
        visit(element);
    }
}

/// Reads the first `words` words of every element of the list at `list`.
template <typename Handle>
void Elements(const conf::Conf& owner, conf::Offset list, unsigned words) {
    ForEach<Handle>(owner, list, [&](const Handle& element) {
        for (unsigned w = 0; w < words; ++w) gSink = gSink + element.word(w);
    });
}

/// Reads the payload of the list record that word `w` of `record` refers to (none: nothing).
void Payload(const conf::Conf& record, unsigned w) {
    const conf::Offset list = record.word(w);
    if (list != conf::kNoOffset) Touch(record.listData(list), conf::ReadWord(record.resolve(list) + 4));
}

/// Reads what the clients read; with `write`, also writes where they write (text slots,
/// counters, the culture mutex).
void Walk(std::uint8_t* image, bool write) {
    conf::ConfigurationRoot root;
    if (!root.attachImage(image)) __builtin_trap();  // the check demands the root
    conf::ProgrammingConfiguration p(
        image, root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    conf::ConfCultureRootClass cr(image, root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
    conf::ConfCultureRuntimeData rd(image, cr.resolve(cr.word(conf::ConfCultureRootClass::kRuntimeData)));

    // Culture strings: K x count slots, each read up to its capacity (and filled when writing).
    const std::uint32_t cultures = cr.word(conf::ConfCultureRootClass::kCultureCount);
    const conf::Offset counterList = rd.word(conf::ConfCultureRuntimeData::kCounterList);
    const std::uint32_t strings = rd.listCount(counterList);
    const conf::Offset slots = cr.word(conf::ConfCultureRootClass::kStringList);
    if (cultures > 0 && rd.word(conf::ConfCultureRuntimeData::kCurrentCulture) >= cultures) __builtin_trap();
    conf::ConfList cursor;
    cursor.setBase(image);
    for (std::uint64_t i = 0; i < std::uint64_t{cultures} * strings; ++i) {
        cursor.setRecord(cr.listElementAt(slots, static_cast<std::uint32_t>(i)));
        const std::uint32_t capacity = cursor.word(1);
        Touch(cursor.record() + conf::kListHeaderBytes, capacity);
        if (write) std::memset(cursor.record() + conf::kListHeaderBytes, 0xA5, capacity);
    }
    for (std::uint32_t s = 0; s < strings; ++s) {
        std::uint8_t* counter = rd.listData(counterList) + 4 * s;
        if (write) conf::WriteWord(counter, conf::ReadWord(counter) + 1);
    }
    if (write) std::memset(rd.record() + conf::ConfCultureRuntimeData::kMutexOffset, 0x5A, 8);

    Elements<conf::ReservedString>(p, p.word(conf::ProgrammingConfiguration::kReservedStrings), 8);
    ForEach<conf::Variable>(p, p.word(conf::ProgrammingConfiguration::kVariables),
                            [](const conf::Variable& v) { Payload(v, conf::Variable::kValueTable); });
    ForEach<conf::ListDefinition>(
        p, p.word(conf::ProgrammingConfiguration::kListDefinitions),
        [](const conf::ListDefinition& d) { Payload(d, conf::ListDefinition::kBlob); });
    ForEach<conf::ApplicationInformation>(
        p, p.word(conf::ProgrammingConfiguration::kApplications), [](const auto& app) {
            gSink =
                gSink + static_cast<std::uint32_t>(
                            conf::Conf::textAt(app, app.word(conf::ApplicationInformation::kName)).size());
            Elements<conf::ApplicationAction>(app, app.word(conf::ApplicationInformation::kActions), 5);
            Elements<conf::ApplicationVariable>(app, app.word(conf::ApplicationInformation::kVariables), 5);
            Elements<conf::ApplicationEvent>(app, app.word(conf::ApplicationInformation::kEvents), 5);
            Elements<conf::ApplicationReservedString>(
                app, app.word(conf::ApplicationInformation::kReservedStrings), 5);
            const conf::Offset reference = app.word(conf::ApplicationInformation::kReference);
            if (reference != 0 && reference != conf::kNoOffset)
                gSink = gSink + conf::ReadWord(app.resolve(reference));
        });
}

/// Copies the record at `offset` with a prototype for every class, as coresys conf export does.
void Export(std::uint8_t* image, std::size_t size, conf::Offset offset) {
    if (conf::CheckRecordGraph(image, size, offset)) return;
    const conf::AllPrototypes prototypes;
    conf::ConfTOC toc(64, 0, prototypes.table());
    std::streambuf* saved = std::cerr.rdbuf(nullptr);  // "cannot add more" is expected here
    toc.copyReferenced(image, image + offset);
    std::cerr.rdbuf(saved);
    std::ostringstream out;
    toc.write(out);
    gSink = gSink + static_cast<std::uint32_t>(out.str().size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy: any read past the image is a heap overflow for AddressSanitizer.
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(image.get(), data, size);
    conf::Conf::textAt(conf::ListObject(image.get(), nullptr),
                       size >= 4 ? conf::ReadWord(image.get()) % size : 0, size);
    Export(image.get(), size, size >= 8 ? conf::ReadWord(image.get() + 4) : conf::kRootOffset);
    if (conf::CheckImage(image.get(), size)) return 0;
    Export(image.get(), size, conf::kRootOffset);
    Walk(image.get(), false);
    Walk(image.get(), true);
    // What the framework writes at run time never changes what the check verified.
    if (conf::CheckImage(image.get(), size)) __builtin_trap();
    Walk(image.get(), false);
    return 0;
}
