// Culture strings over an image built in the test: counters, events, shortening and the bounds
// that keep every operation inside the image.
#include <gtest/gtest.h>

#include <cstring>

#include "CoreSystem/SharedData/CultureStrings.h"
#include "CultureTestSupport.h"

namespace {

using namespace CultureTest;
using conf::ReadWord;
using conf::WriteWord;

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
    EXPECT_EQ(strings.getString(kGreeting, out, 0), 1u);
    EXPECT_EQ(out, "Hello");
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

    // A slot of capacity 0 holds nothing; a slot that lost its NUL is read up to its capacity.
    WriteWord(Slot(image, kGreeting, 1) + 4, 0);
    EXPECT_EQ(strings.slotCapacity(kGreeting, 1), 0u);
    strings.setStringForCulture(kGreeting, 1, "x", false);
    EXPECT_EQ(get(kGreeting, 1), "");
    std::memset(Slot(image, kNarrow, 0) + 8, 'x', 9);
    EXPECT_EQ(get(kNarrow, 0), std::string(9, 'x'));

    CoreSystem::CultureStrings detached;
    EXPECT_EQ(detached.getString(kGreeting, out, 0), 0u);
    detached.setString(kGreeting, "x", true);
}

TEST(Utf8Prefix, CutsBeforeAnIncompleteSequence) {
    EXPECT_EQ(CoreSystem::Utf8Prefix("aé", 2), "a");
    EXPECT_EQ(CoreSystem::Utf8Prefix("a😀", 4), "a");
    EXPECT_EQ(CoreSystem::Utf8Prefix("a😀", 5), "a😀");
    EXPECT_EQ(CoreSystem::Utf8Prefix("\x80\x80\x80\x80\x80", 4), "\x80\x80\x80\x80");  // not UTF-8
}

}  // namespace
