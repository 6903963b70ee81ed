// Split and Base64: the splitting rules, the RFC 4648 vectors, where decoding stops, round trips.
#include "CoreSystem/Storage/TextUtilities.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using CoreSystem::Base64Decode;
using CoreSystem::Base64Encode;
using CoreSystem::Split;
using Pieces = std::vector<std::string>;

std::string Encode(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<unsigned>(bytes.size()));
}

TEST(TextUtilitiesTest, SplitReadsPiecesLikeLinesEndedByTheDelimiter) {
    struct Case {
        std::string text;
        Pieces withoutEmpty;
        Pieces withEmpty;
    };
    const Case cases[] = {
        {"a,,b", {"a", "b"}, {"a", "", "b"}},
        {"a,b,", {"a", "b"}, {"a", "b"}},  // a final delimiter adds no piece
        {"", {}, {}},
        {",", {}, {""}},
        {",,a", {"a"}, {"", "", "a"}},
        {"a,b,,", {"a", "b"}, {"a", "b", ""}},
        {"no delimiter", {"no delimiter"}, {"no delimiter"}},
        {std::string("x\0y,z", 5), {std::string("x\0y", 3), "z"}, {std::string("x\0y", 3), "z"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Split(c.text, ',', false), c.withoutEmpty) << '"' << c.text << '"';
        EXPECT_EQ(Split(c.text, ',', true), c.withEmpty) << '"' << c.text << '"';
    }

    Pieces reused = {"left", "over"};
    Split("p q", ' ', reused, false);
    EXPECT_EQ(reused, (Pieces{"p", "q"}));
    Split("", ' ', reused, true);
    EXPECT_TRUE(reused.empty());
}

TEST(TextUtilitiesTest, Base64MatchesTheRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {std::string("\xff\xfe\xfd\x00\x80", 5), "//79AIA="},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(Encode(bytes), text);
        EXPECT_EQ(Base64Decode(text), bytes) << text;
    }
    EXPECT_EQ(Base64Encode(nullptr, 5), "");
}

TEST(TextUtilitiesTest, Base64DecodeStopsAtTheFirstCharacterOutsideTheAlphabet) {
    EXPECT_EQ(Base64Decode("YWJj!!!!"), "abc");
    EXPECT_EQ(Base64Decode("Zm9vYg==Zm9v"), "foob");  // padding ends the input
    EXPECT_EQ(Base64Decode("Zm9v Zm9v"), "foo");
    EXPECT_EQ(Base64Decode("Zm9vYmE\xc3\xa9Zm9v"), "fooba");  // bytes above 0x7F are not letters
    EXPECT_EQ(Base64Decode(std::string("Zm9\0vYmFy", 9)), "fo");
    EXPECT_EQ(Base64Decode("Zm9vY"), "foo");  // a single leftover gives nothing
    EXPECT_EQ(Base64Decode("Zm9vYm"), "foob");
    EXPECT_EQ(Base64Decode("=Zm9v"), "");
    EXPECT_EQ(Base64Decode(""), "");
}

TEST(TextUtilitiesTest, Base64RoundTripsEveryByteValueAtEveryTailLength) {
    std::string bytes;
    std::uint32_t state = 12345;
    for (unsigned length = 0; length < 200; ++length) {
        const std::string text = Encode(bytes);
        ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of(std::string(CoreSystem::kBase64Alphabet) + "="), std::string::npos);
        ASSERT_EQ(Base64Decode(text), bytes) << "length " << length;
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(length < 64 ? length * 4 + 3 : state >> 24));
    }
}

}  // namespace
