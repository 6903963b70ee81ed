// Culture strings over an image built in the test: counters, events, shortening, bounds; and the
// process-wide image client in forked processes: the check in open, one open, sharing between processes.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/CultureStrings.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageLoader.h"
#include "NM/NMTestSupport.h"

namespace {

using conf::ReadWord;
using conf::WriteWord;
using CoreSystem::BinaryClient;
using CoreSystemTest::Child;

/// String ids of the description below.
enum : std::int32_t {
    kZero = 0,          ///< id 0: setString ignores it
    kGreeting = 1,      ///< capacity 16, event 701
    kSilent = 2,        ///< reserved with event code 0
    kAllOnes = 3,       ///< reserved with event code 0xFFFFFFFF
    kNarrow = 4,        ///< capacity 9, event 704
    kTarget = 5,        ///< capacity 12, event 705
    kStringCount = 6
};

/// The image of two cultures ("en", current, and "ja"), the strings above, and an event code for
/// 1, 4 and 5 (705 listed twice: the later record wins), with its culture mutex ready, as a loader
/// leaves it.
std::vector<std::uint8_t> Image() {
    conf::ImageDescription d;
    d.cultures = {"en", "ja"};
    d.strings = {{8, {"zero", "zero"}}, {16, {"Hello", "こんにちは"}}, {8, {"Off", "オフ"}},
                 {8, {"On", "オン"}},    {9, {"", ""}},                 {12, {"", ""}}};
    d.reservedStrings = {{1, 701}, {2, 0}, {3, 0xFFFFFFFFu}, {4, 704}, {5, 7}, {5, 705}};
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration(d);
    CoreSystem::InitialiseCultureMutex(image.data());
    return image;
}

/// Text slot (id, culture), culture runtime data and change counter of `id` in an image of two cultures.
conf::ConfCultureRootClass CultureRoot(std::vector<std::uint8_t>& image) {
    conf::ConfigurationRoot root;
    root.attachImage(image.data());
    return conf::ConfCultureRootClass(image.data(), root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
}
std::uint8_t* Slot(std::vector<std::uint8_t>& image, std::uint32_t id, std::uint32_t culture) {
    return CultureRoot(image).listElementAt(CultureRoot(image).word(conf::ConfCultureRootClass::kStringList),
                                            id * 2 + culture);
}
std::uint8_t* RuntimeData(std::vector<std::uint8_t>& image) {
    return CultureRoot(image).resolve(CultureRoot(image).word(conf::ConfCultureRootClass::kRuntimeData));
}
std::uint8_t* Counter(std::vector<std::uint8_t>& image, std::uint32_t id) {
    const conf::ConfCultureRuntimeData rd(image.data(), RuntimeData(image));
    return rd.listData(rd.word(conf::ConfCultureRuntimeData::kCounterList)) + 4 * id;
}

class CultureStringsTest : public ::testing::Test {
protected:
    void SetUp() override {
        strings.attach(image.data(), image.size(), [this](std::uint32_t code) {
            sent.push_back(code);
            mutexFree = mutexFree && strings.counter(kGreeting) != 0;  // 0: the culture mutex is held
        });
    }
    std::string get(std::int32_t id, std::uint32_t culture) {
        std::string out = "untouched";
        strings.getStringForCulture(id, culture, out, 0);
        return out;
    }

    std::vector<std::uint8_t> image = Image();
    CoreSystem::CultureStrings strings;
    std::vector<std::uint32_t> sent;
    bool mutexFree = true;  ///< every event was sent after the culture mutex was released
};

TEST_F(CultureStringsTest, CountersAndEventsFollowRealChangesOnly) {
    EXPECT_EQ(strings.events, (std::map<std::int32_t, std::uint32_t>{{1, 701}, {4, 704}, {5, 705}}));

    std::string out;
    EXPECT_EQ(strings.getString(kGreeting, out, 1), 0u);  // unchanged since the last poll

    strings.setString(kGreeting, "Hi", false);
    strings.setString(kGreeting, "Hi", false);  // the same text again: no bump, no event
    EXPECT_EQ(strings.getString(kGreeting, out, 1), 2u);
    EXPECT_EQ(out, "Hi");
    EXPECT_EQ(get(kGreeting, 1), "こんにちは");

    WriteWord(Counter(image, kTarget), 0xFFFFFFFFu);
    strings.setStringForCulture(kTarget, 1, "x", false);
    EXPECT_EQ(ReadWord(Counter(image, kTarget)), 1u);  // wraps past 0
    strings.setStringForCulture(kTarget, 0, "y", true);  // no-notify: bump without event
    EXPECT_EQ(ReadWord(Counter(image, kTarget)), 2u);

    strings.setString(kSilent, "Aus", true);  // event codes 0 and 0xFFFFFFFF: bump, no event
    strings.setString(kAllOnes, "An", true);
    EXPECT_EQ(ReadWord(Counter(image, kSilent)), 3u);
    EXPECT_EQ(ReadWord(Counter(image, kAllOnes)), 3u);

    strings.setString(kZero, "never", true);
    EXPECT_EQ(get(kZero, 0), "zero");
    EXPECT_EQ(ReadWord(Counter(image, kZero)), 1u);

    EXPECT_EQ(sent, (std::vector<std::uint32_t>{701, 705}));
    EXPECT_TRUE(mutexFree);
}

TEST_F(CultureStringsTest, LongTextsAreCutAtCharacterBoundariesOnceAndPerSlot) {
    // Capacity 9 keeps 8 bytes: two 3-byte characters, never a part of the third.
    strings.setStringForCulture(kNarrow, 1, "日本語です", false);
    EXPECT_EQ(get(kNarrow, 1), "日本");
    strings.setStringForCulture(kNarrow, 1, "日本語です", false);  // the same long text: nothing
    EXPECT_EQ(ReadWord(Counter(image, kNarrow)), 2u);
    EXPECT_EQ(strings.stringCapacity(kNarrow), 8);

    // All cultures: each slot gets its own cut of the caller's text.
    WriteWord(Slot(image, kTarget, 0) + 4, 4);
    const std::string text = "Lautstärke";
    strings.setString(kTarget, text, true);
    EXPECT_EQ(text, "Lautstärke");
    EXPECT_EQ(get(kTarget, 0), "Lau");
    EXPECT_EQ(get(kTarget, 1), "Lautstärke");  // 11 bytes fit in 12

    // Copy and compose shorten their result, keep the sources, and skip unchanged destinations.
    strings.setString(kGreeting, "こんにちは", true);
    strings.copyString(kGreeting, kNarrow);
    EXPECT_EQ(get(kNarrow, 0), "こん");
    EXPECT_EQ(get(kGreeting, 0), "こんにちは");
    const std::uint32_t before = ReadWord(Counter(image, kNarrow));
    strings.copyString(kGreeting, kNarrow);
    EXPECT_EQ(ReadWord(Counter(image, kNarrow)), before);

    strings.composeString(kSilent, " / ", kAllOnes, kTarget);
    EXPECT_EQ(get(kTarget, 0), "Off");  // "Off / On" in the slot cut to 4 bytes above
    EXPECT_EQ(get(kTarget, 1), "オフ / ");  // 6 + 3 bytes, and "オ" does not fit in the rest
    sent.clear();
    strings.composeString(kSilent, " / ", kAllOnes, kTarget);
    EXPECT_TRUE(sent.empty());

    // The cut steps back over up to three continuation bytes, and keeps what is not UTF-8.
    EXPECT_EQ(CoreSystem::Utf8Prefix("aé", 2), "a");
    EXPECT_EQ(CoreSystem::Utf8Prefix("a😀", 4), "a");
    EXPECT_EQ(CoreSystem::Utf8Prefix("a😀", 5), "a😀");
    EXPECT_EQ(CoreSystem::Utf8Prefix("\x80\x80\x80\x80\x80", 4), "\x80\x80\x80\x80");  // not UTF-8
}

TEST_F(CultureStringsTest, NothingOutsideTheImageIsReadOrWritten) {
    std::vector<std::uint8_t> original = image;
    std::string out = "untouched";
    for (const std::int32_t id : {std::int32_t{kStringCount}, -1, 0x7FFFFFFF}) {
        EXPECT_EQ(strings.getStringForCulture(id, 0, out, 0), 0u) << id;
        strings.setStringForCulture(id, 0, "x", false);
        strings.setString(id, "x", true);
        strings.copyString(kGreeting, id);
        strings.copyString(id, kGreeting);
        strings.composeString(id, "x", kGreeting, kTarget);
        strings.composeString(kGreeting, "x", id, kTarget);
        strings.composeString(kGreeting, "x", kGreeting, id);
        EXPECT_EQ(strings.counter(id), 0u);
    }
    for (const std::uint32_t culture : {2u, 0xFFFFFFFFu}) {
        EXPECT_EQ(strings.getStringForCulture(kGreeting, culture, out, 0), 0u) << culture;
        strings.setStringForCulture(kGreeting, culture, "x", false);
    }
    EXPECT_EQ(out, "untouched");

    // A current culture beyond K (another process's bad write) disables the current-culture calls.
    WriteWord(RuntimeData(image) + 8, 2);
    EXPECT_EQ(strings.getString(kGreeting, out, 0), 0u);
    EXPECT_EQ(strings.stringCapacity(kGreeting), 0);
    strings.setString(kGreeting, "x", false);
    WriteWord(RuntimeData(image) + 8, 0);
    const std::size_t mutex = RuntimeData(image) + 16 - image.data();  // its words may change
    std::memcpy(&original[mutex], &image[mutex], 8);
    EXPECT_EQ(image, original);
    EXPECT_TRUE(sent.empty());

    // A slot that lost its NUL is read up to its capacity (writes into any slot: the fuzzer).
    std::memset(Slot(image, kNarrow, 0) + 8, 'x', 9);
    EXPECT_EQ(get(kNarrow, 0), std::string(9, 'x'));
}

constexpr const char* kModule = "./../../../CoreSystem/SharedData/BinaryClient open() error, ";

TEST(BinaryClient, OpensOnlyACheckedImageOncePerProcessAndProcessesShareTextsCountersAndEvents) {
    CoreSystemTest::IsolatedHost host;
    Child child = CoreSystemTest::Spawn(
        [] {
            std::atomic<int> opened{0};
            CoreSystem::Platform::SetSlogObserver([&opened](const CoreSystem::Platform::SlogRecord& record) {
                const std::string text = "BinaryClient: Opened by " + std::to_string(getpid()) + " pid";
                if (record.opcode == 10000 && record.severity == 6 && record.text == text) ++opened;
            });
            const std::string marker = CoreSystem::Platform::DevicePath(CoreSystem::kConfigurationMarker);
            std::filesystem::create_directories(std::filesystem::path(marker).parent_path());
            std::ofstream{marker};
            BinaryClient::open();  // marker without image
            // Placed as the loader would, but unchecked: a text slot lost its tag.
            std::vector<std::uint8_t> image = Image();
            WriteWord(Slot(image, kGreeting, 1), 0x12345678);
            int fd = -1;
            void* placed = NM::createSharedMemory(CoreSystem::kConfigurationObject, image.size(), fd);
            CHILD_CHECK(placed != nullptr);
            std::memcpy(placed, image.data(), image.size());
            close(fd);
            BinaryClient::open();
            std::string out = "untouched";
            CHILD_CHECK(BinaryClient::imageBase() == nullptr && opened == 0);
            CHILD_CHECK(BinaryClient::getString(kGreeting, out, 0) == 0 && out == "untouched");

            // Retried by four threads at once: one map, one record; their writes never mix.
            std::string error;
            image = Image();
            CHILD_CHECK(CoreSystem::LoadConfiguration(image.data(), image.size(), true, error));
            std::atomic<int> ready{0}, wrong{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([&, t] {
                    for (++ready; ready < 4;) std::this_thread::yield();
                    BinaryClient::open();
                    const std::string mine = "thread " + std::to_string(t);
                    std::string seen;
                    for (int n = 0; n < 200; ++n) {
                        BinaryClient::setStringForCulture(kNarrow, 1, mine, true);
                        BinaryClient::getStringForCulture(kNarrow, 1, seen, 0);
                        if (seen.rfind("thread ", 0) != 0) ++wrong;
                    }
                });
            }
            for (std::thread& thread : threads) thread.join();
            CHILD_CHECK(BinaryClient::imageBase() != nullptr && opened == 1 && wrong == 0);
            CHILD_CHECK(BinaryClient::getString(kGreeting, out, 0) == 1 && out == "Hello");
            CHILD_CHECK(BinaryClient::stringCapacity(kGreeting) == 15);
            CoreSystem::Platform::shm_unlink(CoreSystem::kConfigurationObject);
            BinaryClient::open();  // does nothing: no stat, no message, no record
            CHILD_CHECK(opened == 1);
            CoreSystem::Platform::SetSlogObserver({});
            return 0;
        },
        true);
    const std::string printed = CoreSystemTest::ReadOutput(child);
    ASSERT_EQ(CoreSystemTest::Wait(child), 0) << printed;
    const std::string stat = std::string(kModule) + "could not stat /dev/shmem/BINARY_CONFIGURATION.\n";
    const std::string check = std::string(kModule) + "/BINARY_CONFIGURATION is not a usable configuration image: ";
    EXPECT_EQ(printed.substr(0, stat.size() + check.size()), stat + check);
    EXPECT_NE(printed.find("text slot 3 (string 1, culture 1)"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2);

    // Processes share texts, counters and events (the child above removed its image).
    NMTest::Board* board = NMTest::makeBoard();
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(NMTest::createRegistryInChild(4), 0);
    const std::vector<std::uint8_t> image = Image();
    std::string error;
    ASSERT_TRUE(CoreSystem::LoadConfiguration(image.data(), image.size(), false, error)) << error;

    Child listener = NMTest::startCodeRecorder(board, CoreSystem::kEventEndpoint, 3);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 1; })) << "no receiver of CCMEvent";

    Child reader = CoreSystemTest::Spawn([board] {
        NM::NMClient attach(false);
        BinaryClient::open();
        std::string text;
        std::uint32_t last = BinaryClient::getString(kGreeting, text, 0);
        CHILD_CHECK(last == 1 && text == "Hello");
        __atomic_add_fetch(&board->value[7], 1, __ATOMIC_SEQ_CST);
        CHILD_CHECK(CoreSystemTest::Eventually([&] {
            const std::uint32_t now = BinaryClient::getString(kGreeting, text, last);
            if (now != 0) last = now;
            return last == 2;
        }));
        CHILD_CHECK(text == "Hi");
        return 0;
    });
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->value[7] == 1; })) << "the reader did not start";

    Child writer = CoreSystemTest::Spawn([] {
        NM::NMClient attach(false);
        BinaryClient::open();
        BinaryClient::setString(kGreeting, "Hi", false);
        BinaryClient::copyString(kGreeting, kNarrow);  // two cultures: two events
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(writer), 0);
    EXPECT_EQ(CoreSystemTest::Wait(reader), 0);
    EXPECT_EQ(CoreSystemTest::Wait(listener), 0);
    EXPECT_EQ(std::vector<int>(board->value, board->value + 3), (std::vector<int>{701, 704, 704}));
}

}  // namespace
