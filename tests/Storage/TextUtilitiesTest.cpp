// Split and Base64: the splitting rules, the RFC 4648 vectors, where decoding stops, round trips.
#include "CoreSystem/Storage/TextUtilities.h"

#include <gtest/gtest.h>

namespace {

using CoreSystem::Base64Decode;
using CoreSystem::Split;
using Pieces = std::vector<std::string>;

std::string Encode(const std::string& bytes) {
    return CoreSystem::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                    static_cast<unsigned>(bytes.size()));
}

TEST(TextUtilitiesTest, SplitReadsPiecesLikeLinesEndedByTheDelimiter) {
    struct Case {
        std::string text;
        Pieces withoutEmpty, withEmpty;
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
    Pieces reused = {"left", "over"};  // replaced, not appended to
    Split("p q", ' ', reused, false);
    EXPECT_EQ(reused, (Pieces{"p", "q"}));
}

TEST(TextUtilitiesTest, Base64MatchesRfc4648RoundTripsAndDecodingStopsOutsideTheAlphabet) {
    const std::string rfc4648[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t length = 0; length < 7; ++length) {
        EXPECT_EQ(Encode(std::string("foobar", length)), rfc4648[length]);
        EXPECT_EQ(Base64Decode(rfc4648[length]), std::string("foobar", length));
    }
    EXPECT_EQ(Encode(std::string("\xff\xfe\xfd\x00\x80", 5)), "//79AIA=");  // the end of the alphabet
    EXPECT_EQ(CoreSystem::Base64Encode(nullptr, 5), "");

    EXPECT_EQ(Base64Decode("YWJj!!!!"), "abc");
    EXPECT_EQ(Base64Decode("Zm9vYg==Zm9v"), "foob");          // padding ends the input
    EXPECT_EQ(Base64Decode("Zm9vYmE\xc3\xa9Zm9v"), "fooba");  // bytes above 0x7F are not letters
    EXPECT_EQ(Base64Decode(std::string("Zm9\0vYmFy", 9)), "fo");
    EXPECT_EQ(Base64Decode("Zm9vY"), "foo");  // a single leftover character gives nothing
    EXPECT_EQ(Base64Decode("Zm9vYm"), "foob");
    EXPECT_EQ(Base64Decode("=Zm9v"), "");

    // Every byte value at every tail length round-trips.
    std::string bytes;
    for (unsigned length = 0; length <= 256; ++length) {
        const std::string text = Encode(bytes);
        ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of(std::string(CoreSystem::kBase64Alphabet) + "="), std::string::npos);
        ASSERT_EQ(Base64Decode(text), bytes) << "length " << length;
        bytes.push_back(static_cast<char>(length * 167));  // 167 is odd: all 256 values in turn
    }
}

}  // namespace
