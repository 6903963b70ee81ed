// Culture-string images for the tests: a description with the cases the tests need, and direct
// access to slots and counters of a built image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageLoader.h"

namespace CultureTest {

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

/// Two cultures ("en", current, and "ja"), the strings above, and an event code for 1, 4 and 5
/// (705 listed twice: the later record wins).
inline conf::ImageDescription Description() {
    conf::ImageDescription d;
    d.cultures = {"en", "ja"};
    d.currentCulture = 0;
    d.strings = {{8, {"zero", "zero"}}, {16, {"Hello", "こんにちは"}}, {8, {"Off", "オフ"}},
                 {8, {"On", "オン"}},    {9, {"", ""}},                 {12, {"", ""}}};
    d.reservedStrings = {{1, 701}, {2, 0}, {3, 0xFFFFFFFFu}, {4, 704}, {5, 7}, {5, 705}};
    return d;
}

/// The image of Description() with its culture mutex ready, as a loader leaves it.
inline std::vector<std::uint8_t> Image() {
    std::vector<std::uint8_t> image;
    std::string error;
    EXPECT_TRUE(conf::BuildImage(Description(), image, error)) << error;
    CoreSystem::InitialiseCultureMutex(image.data());
    return image;
}

/// The culture root of an image, text slot (id, culture) of an image with two cultures, its
/// culture runtime data and the change counter of `id`.
inline conf::ConfCultureRootClass CultureRoot(std::vector<std::uint8_t>& image) {
    conf::ConfigurationRoot root;
    root.attachImage(image.data());
    return conf::ConfCultureRootClass(image.data(), root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
}
inline std::uint8_t* Slot(std::vector<std::uint8_t>& image, std::uint32_t id, std::uint32_t culture) {
    const conf::ConfCultureRootClass cr = CultureRoot(image);
    return cr.listElementAt(cr.word(conf::ConfCultureRootClass::kStringList), id * 2 + culture);
}
inline std::uint8_t* RuntimeData(std::vector<std::uint8_t>& image) {
    const conf::ConfCultureRootClass cr = CultureRoot(image);
    return cr.resolve(cr.word(conf::ConfCultureRootClass::kRuntimeData));
}
inline std::uint8_t* Counter(std::vector<std::uint8_t>& image, std::uint32_t id) {
    const conf::ConfCultureRuntimeData rd(image.data(), RuntimeData(image));
    return rd.listData(rd.word(conf::ConfCultureRuntimeData::kCounterList)) + 4 * id;
}

}  // namespace CultureTest
