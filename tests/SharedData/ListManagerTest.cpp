// Shared lists in place, the owner's restores and definition files, clients and shared views. Lists
// driven by separate processes: the "coresys lists" tests.
#include <gtest/gtest.h>

#include <unistd.h>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/ListManager.h"
#include "NM/NMTestSupport.h"
#include "TestSupport.h"

namespace {

using namespace CoreSystem;
namespace fs = std::filesystem;

/// A fresh list of M elements of E bytes in `storage`, element k holding texts[k] at byte 4.
ListRef MakeList(std::vector<std::uint64_t>& storage, std::uint32_t m, std::uint32_t e,
                 const std::vector<std::string>& texts = {}) {
    const ListGeometry g = ListGeometry::Of(m, e);
    storage.assign((g.objectSize + 7) / 8, 0);
    const ListRef list{reinterpret_cast<ListHeader*>(storage.data()), g};
    InitialiseFresh(list);
    for (const std::string& text : texts) {
        std::string element = std::string(4, '\0') + text;
        element.resize(std::min<std::size_t>(element.size(), e));
        EXPECT_EQ(Append(list, element.data(), element.size()), 1);
    }
    return list;
}

std::vector<std::uint32_t> Slots(const ListRef& list) {
    return {list.slots(), list.slots() + list.geometry.capacity};
}

TEST(SharedList, LayoutRemovalSavedCopiesSequencePagingPatternsAndReadsInsideTheElement) {
    EXPECT_EQ(ListGeometry::Of(0, 5).objectSize, 24u);
    const ListGeometry huge = ListGeometry::Of(0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(huge.objectSize, 4 * (6 + 0x100000000ull) + 0xFFFFFFFFull * 0xFFFFFFFFull);
    EXPECT_FALSE(huge.reasonable());
    EXPECT_FALSE(ListGeometry::Of(1 << 20, 257).reasonable());
    EXPECT_TRUE(ListGeometry::Of(1 << 20, 251).reasonable());

    // A full list takes nothing more, also where the word after its slot table (here the first
    // element's first bytes) reads as a slot.
    std::vector<std::uint64_t> storage;
    const ListRef two = MakeList(storage, 2, 10);
    const std::uint32_t slot1 = two.slots()[1];
    EXPECT_EQ(Append(two, &slot1, 4) + Append(two, "", 0), 2);
    EXPECT_EQ(Append(two, "x", 1), 0);

    const ListRef list = MakeList(storage, 3, 10, {"a", "b", "c"});
    list.object->position = 2;
    EXPECT_EQ(RemoveAt(list, 0), 1);
    EXPECT_EQ(list.object->position, 1u);
    EXPECT_EQ(Slots(list), (std::vector<std::uint32_t>{50, 60, 40}));
    EXPECT_EQ(list.object->sequence, 1);

    // A saved copy is checked before use: size, element size, count, capacity, every slot once.
    const std::vector<std::uint8_t> valid(list.bytes(), list.bytes() + list.geometry.objectSize);
    EXPECT_FALSE(CheckSavedObject(valid.data(), valid.size(), list.geometry));
    EXPECT_EQ(CheckSavedObject(valid.data(), valid.size() - 1, list.geometry),
              "saved size 69, the definition needs 70");
    struct Case {
        std::size_t at;
        std::uint32_t value, bytes;
    };
    for (const Case c : {Case{8, 11, 2}, Case{16, 4, 4}, Case{20, 4, 4}, Case{24, 70, 4}, Case{24, 41, 4},
                         Case{24, 0, 4}, Case{28, 40, 4}}) {
        std::vector<std::uint8_t> saved = valid;
        std::memcpy(saved.data() + c.at, &c.value, c.bytes);
        EXPECT_TRUE(CheckSavedObject(saved.data(), saved.size(), list.geometry)) << c.at << "=" << c.value;
    }

    for (const std::int64_t outside : {2, 3, -1}) EXPECT_EQ(RemoveAt(list, outside), 0) << outside;
    EXPECT_EQ(list.object->sequence, 1);  // nothing removed, nothing counted

    EXPECT_EQ(RemoveAt(list, 1), 1);  // at the position: it moves back
    EXPECT_EQ(list.object->position, 0u);
    EXPECT_EQ(RemoveAt(list, 0), 1);  // the only element
    EXPECT_EQ(list.object->count + list.object->position, 0u);
    EXPECT_EQ(Slots(list), (std::vector<std::uint32_t>{40, 60, 50}));

    list.object->sequence = 0xFFFF;
    EXPECT_EQ(NextSequence(list), 0xFFFF);
    EXPECT_EQ(list.object->sequence, 0);
    Append(list, "x", 1);
    list.object->position = 1;
    ClearList(list);
    EXPECT_EQ(list.object->count + list.object->position, 0u);
    EXPECT_EQ(list.object->sequence, 1);

    // Paging from the position stamps only the element it gives.
    const ListRef paged = MakeList(storage, 30, 8, std::vector<std::string>(25, "e"));
    paged.object->position = 23;
    auto indexOf = [&](int mode, int index, int page) -> std::int64_t {
        std::uint8_t* element = ElementAt(paged, mode, index, page);
        if (!element) return -1;
        std::uint32_t stamped;
        std::memcpy(&stamped, element, 4);
        EXPECT_EQ(element, paged.bytes() + paged.slots()[stamped]);
        return stamped;
    };
    EXPECT_EQ(indexOf(2, 4, 10), 24);
    EXPECT_EQ(indexOf(2, 4, 0), 4);
    EXPECT_EQ(indexOf(1, 1, 0), 24);
    EXPECT_EQ(indexOf(1, 2, 0), -1);  // 25: the count
    EXPECT_EQ(indexOf(0, 25, 0), -1);
    EXPECT_EQ(indexOf(0, -1, 0), -1);
    EXPECT_EQ(indexOf(9, 7, 3), 7);

    // Elements of 3 bytes sit at odd addresses and get only the index bytes that fit.
    const ListRef odd = MakeList(storage, 3, 3, {"", "", ""});
    std::memset(odd.bytes() + odd.geometry.headerSize, 0xAA, 9);
    ASSERT_NE(ElementAt(odd, 0, 1, 0), nullptr);
    const std::vector<std::uint8_t> bytes(odd.bytes() + 40, odd.bytes() + 49);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xAA, 0xAA, 0xAA, 1, 0, 0, 0xAA, 0xAA, 0xAA}));

    // Patterns match piece by piece; FindElement and ReadField stay inside the count and the element.
    struct Match {
        const char *pattern, *text;
        bool matches;
    };
    for (const Match c : {Match{"ab*b", "ab", true}, Match{"ab*ba", "aba", true}, Match{"*", "", true},
                          Match{"", "a", false}, Match{"abc", "abcd", false}, Match{"b*", "abc", false},
                          Match{"*b", "abc", false}, Match{"*b*", "abc", true}, Match{"a*c", "abd", false},
                          Match{"a**c", "ac", true}, Match{"a*b*c", "acbc", true}}) {
        EXPECT_EQ(MatchPattern(c.text, c.pattern), c.matches) << c.pattern << " on " << c.text;
    }

    const ListRef words = MakeList(storage, 4, 12, {"alpha", "beta", "abcdefgh"});
    std::memcpy(words.bytes() + words.slots()[3] + 4, "gamma", 6);  // a free slot with old bytes
    EXPECT_EQ(FindElement(words, 0, 4, 4, 12, "beta"), 1);
    EXPECT_EQ(FindElement(words, 0, 4, 4, 12, "gamma"), kNoElement);
    EXPECT_EQ(FindElement(words, 2, 4, 4, 100, "abcdefgh"), 2);  // no NUL: cut at the element's end
    EXPECT_EQ(FindElement(words, 0, 3, 4, 2, "be"), 1);
    EXPECT_EQ(FindElement(words, 0, 3, 12, 5, ""), 0);  // past the element: the empty text
    EXPECT_EQ(FindElement(words, 1, 3, 4, 12, "alpha"), kNoElement);
    for (const auto& [start, end, offset, max] : std::vector<std::array<int, 4>>{
             {-1, 3, 4, 5}, {2, 2, 4, 5}, {4, 9, 4, 5}, {0, 3, -1, 5}, {0, 3, 4, -1}}) {
        EXPECT_EQ(FindElement(words, start, end, offset, max, "*"), kNoElement) << start << " " << end;
    }

    // Typed fields are read inside the element only.
    const struct {
        std::int32_t i32 = -5;
        float f = 1.5f;
        double d = 2.25;
    } element;
    static_assert(sizeof element == 16, "an i32 at 0, a float at 4, a double at 8");
    for (const auto& [offset, type, value] : std::vector<std::tuple<int, int, double>>{
             {0, 0, -5.0}, {0, 3, -5.0}, {4, 1, 1.5}, {8, 2, 2.25}, {0, 4, -5.0}, {0, 5, -5.0},
             {8, 7, 4612248968380809216.0}, {0, 6, 0.0}, {12, 2, 0.0}, {15, 0, 0.0}, {-1, 5, 0.0}}) {
        EXPECT_EQ(ReadField(&element, sizeof element, offset, type), value) << offset << "/" << type;
    }
}

/// The lists of the restore cases: 7 and 2000 in the first directory, 8 in the second, 9 too
/// large to create.
conf::ImageDescription ListsDescription() {
    conf::ImageDescription d = CoreSystemTest::ExampleConfiguration();
    d.lists = {{7, 3, 10, 0, {0x0A, 0x00, 0x03, 0x00}},
               {8, 2, 4, 1, {0x01}},
               {2000, 1, 4, 0, {}},
               {9, 0x100000, 0x1000, 0, {}}};
    return d;
}

/// An owner started in this process on its own state, restarted as often as a case needs.
struct Owner {
    CoreSystemTest::IsolatedHost host;
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration(ListsDescription());
    std::string first = host.root() + "/first/", second = host.root() + "/second/";
    std::unique_ptr<ListManagerState> state;
    ListRecordMap firstRecords, secondRecords;

    Owner() {
        fs::create_directories(first);
        fs::create_directories(second);
    }
    std::vector<ListStart> restart() {
        for (const char* name : {"/ListManager", "/ListManager7", "/ListManager8", "/ListManager2000"}) {
            Platform::shm_unlink(name);
        }
        state = std::make_unique<ListManagerState>();
        firstRecords.clear();
        secondRecords.clear();
        std::vector<ListStart> report;
        int descriptor = -1;
        ListManager::CreateIn(*state, image.data(), descriptor, firstRecords, first, secondRecords, second,
                              &report);
        EXPECT_NE(descriptor, -1);
        close(descriptor);
        return report;
    }
    ListRef list(std::uint32_t id) { return state->lists.at(id); }
    void save(const std::vector<std::uint8_t>& bytes, const std::string& file = "first/ListManager7") {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
        ASSERT_TRUE(BackupFile(host.root() + "/" + file).write({size, bytes.data()}));
    }
};

TEST(ListOwner, RestoresSoundSavedListsReplacesDefinitionsWholeAndLetsClientsAttach) {
    Owner owner;
    std::vector<ListStart> report = owner.restart();
    ASSERT_EQ(report.size(), 4u);  // the fresh start of list 7: the "coresys lists" tests
    EXPECT_EQ(report[3].outcome, ListStart::Outcome::Skipped);
    EXPECT_NE(report[3].reason.find("larger than"), std::string::npos);
    EXPECT_EQ(owner.firstRecords.count(2000) + owner.secondRecords.count(8), 2u);  // saved where defined

    ListRef list = owner.list(7);
    Append(list, "\0\0\0\0one", 7);
    Append(list, "\0\0\0\0two", 7);
    list.object->position = 1;
    const std::vector<std::uint8_t> good(list.bytes(), list.bytes() + 70);
    const std::string definition = owner.first + "ListDefinition7";

    struct Case {
        const char* name;
        std::function<void()> prepare;
        const char* reason;  ///< null: restored
    };
    const std::vector<Case> cases = {
        {"saved, no definition file", [&] { owner.save(good); }, nullptr},
        {"definition changed", [&] { std::ofstream(definition) << "xx"; }, "the definition changed"},
        {"a saved copy that fails its check (see above)",
         [&] {
             fs::remove(definition);
             owner.save(std::vector<std::uint8_t>(good.begin(), good.end() - 1));
         },
         "saved size 69"},
        {"sound again", [&] { owner.save(good); }, nullptr},
    };
    for (const Case& c : cases) {
        c.prepare();
        report = owner.restart();
        list = owner.list(7);
        const std::vector<std::uint8_t> now(list.bytes(), list.bytes() + 70);
        if (!c.reason) {
            EXPECT_EQ(report[0].outcome, ListStart::Outcome::Restored) << c.name << ": " << report[0].reason;
            EXPECT_TRUE(std::equal(now.begin() + 8, now.end(), good.begin() + 8)) << c.name;
            EXPECT_EQ(list.object->mutex.lock() + list.object->mutex.unlock(), 0) << "the mutex is made afresh";
        } else {
            EXPECT_EQ(report[0].outcome, ListStart::Outcome::Fresh) << c.name;
            EXPECT_NE(report[0].reason.find(c.reason), std::string::npos)
                << c.name << ": " << report[0].reason;
            EXPECT_EQ(list.object->count, 0u) << c.name;
            EXPECT_EQ(Slots(list), (std::vector<std::uint32_t>{40, 50, 60})) << c.name;
        }
    }

    std::vector<std::uint8_t> eight(owner.list(8).bytes(),
                                    owner.list(8).bytes() + owner.list(8).geometry.objectSize);
    eight[20] = 1;
    owner.save(eight, "second/ListManager8");  // list 8 lives in the second directory
    EXPECT_EQ(owner.restart()[1].outcome, ListStart::Outcome::Restored);
    EXPECT_EQ(owner.list(8).object->count, 1u);

    // A definition file is replaced whole or not at all.
    std::ofstream(definition) << "old";
    Platform::FailNext(Platform::Call::Rename, EIO);
    EXPECT_FALSE(ListManager::SaveDefinitionIn(owner.image.data(), 7, owner.first));
    Platform::ClearFaults();
    EXPECT_EQ(CoreSystemTest::ReadFile(definition), "old");
    EXPECT_FALSE(fs::exists(definition + ".new" + std::to_string(getpid()))) << "a temporary file was left";

    EXPECT_FALSE(ListManager::SaveDefinitionIn(owner.image.data(), 6, owner.first));  // no such list
    ASSERT_TRUE(ListManager::SaveDefinitionIn(owner.image.data(), 7, owner.first));
    EXPECT_EQ(fs::file_size(definition), 4u);

    // Clients attach the lists up to id 1106.
    ListManagerState client;
    ListManager::AttachIn(client, owner.image.data());
    EXPECT_EQ(client.lists.size(), 2u);
    EXPECT_EQ(client.lists.count(7) + client.lists.count(8), 2u);  // not 2000
    ASSERT_NE(client.managerLock, nullptr);
    EXPECT_EQ(client.managerLock->trylock(), 0);  // released after the attach
    client.managerLock->unlock();
}

TEST(ListManager, ProcessesShareThePositionThroughViews) {
    CoreSystemTest::IsolatedHost host;
    ASSERT_EQ(CoreSystemTest::StartDevice(host.root() + "/", host.root() + "/").size(), 1u);
    CoreSystemTest::Child filler = CoreSystemTest::Spawn([] {
        ListManager::attachAll();
        ListManager::lockList(7);
        for (const std::string text : {"one", "two", "three"}) {
            const std::string element = std::string(4, '\0') + text;
            Append(ListManager::find(7), element.data(), element.size());
        }
        ListManager::unlockList(7);
        ListView shared;
        ListManager::openListView(shared, 7, true);
        StorePosition(shared.position, 2);
        CHILD_CHECK(ListManager::isListFull(7) == 1);
        return 0;
    });
    ASSERT_EQ(CoreSystemTest::Wait(filler), 0);
    // Another process pages privately in a copy of its own view; the shared position follows a removal.
    CoreSystemTest::Child pager = CoreSystemTest::Spawn([] {
        ListManager::attachAll();
        ListView shared, own;
        ListManager::openListView(shared, 7, true);
        ListManager::nextSequence(7);
        ListManager::openListView(own, 7, false);
        StorePosition(own.position, 1);
        ListView copy = own;
        StorePosition(copy.position, 0);
        CHILD_CHECK(LoadPosition(shared.position) == 2 && shared.sharesPosition());
        CHILD_CHECK(LoadPosition(own.position) == 1 && *own.sequence == 1 && copy.position == &copy.ownPosition);
        CHILD_CHECK(ListManager::removeAt(7, 0) == 1 && LoadPosition(shared.position) == 1);
        ListManager::lockList(7);
        const auto* element = static_cast<const char*>(ListManager::elementAt(7, 1, 0, 0));
        CHILD_CHECK(element && std::strcmp(element + 4, "three") == 0 && ListManager::listLength(7) == 2);
        return ListManager::unlockList(7);
    });
    EXPECT_EQ(CoreSystemTest::Wait(pager), 0);
}

}  // namespace
