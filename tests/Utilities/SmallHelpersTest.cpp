// Small helpers: zlib streams, broken and truncated input, stream failures, argument vectors,
// hex dumps and elapsed-time lines as printed on standard output.
#include "CoreSystem/Utilities/SmallHelpers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using CoreSystem::buildArgumentVector;
using CoreSystem::hexDump;
using CoreSystem::inflateStream;

/// `plain` compressed by zlib's own encoder.
std::string Compressed(const std::string& plain) {
    uLongf size = compressBound(plain.size());
    std::string packed(size, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                       reinterpret_cast<const Bytef*>(plain.data()), plain.size()),
              Z_OK);
    packed.resize(size);
    return packed;
}

/// Runs inflateStream from a string; the decompressed bytes go to `*plain` when given.
int Inflate(const std::string& compressed, std::string* plain = nullptr) {
    std::istringstream in(compressed);
    std::ostringstream out;
    const int result = inflateStream(in, out);
    if (plain) *plain = out.str();
    return result;
}

/// What `action` printed on standard output (through printf and std::cout alike).
template <typename Action>
std::string Printed(Action action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

/// Input whose reads fail with an exception, which the stream turns into its bad bit.
struct FailingInput : std::streambuf {
    int_type underflow() override { throw std::runtime_error("device error"); }
};

// Empty input is an empty stream; unusable streams give -1, broken or cut data Z_DATA_ERROR.
TEST(SmallHelpersTest, InflateDecodesZlibStreamsAndRejectsBrokenInput) {
    // 300000 digits in about 140000 bytes: many input buffers as well as output buffers.
    std::string large, plain;
    for (std::uint32_t i = 0; large.size() < 300000; ++i) large += std::to_string(i * 2654435761u);
    EXPECT_EQ(Inflate(Compressed(large), &plain), Z_OK);
    EXPECT_TRUE(plain == large) << plain.size() << " bytes";

    // 45000 bytes (three output buffers) in about 150: small enough to cut everywhere.
    std::string text;
    for (int i = 0; i < 2500; ++i) text.append("inflate \xff\x00 stream\n", 18);
    const std::string good = Compressed(text);
    EXPECT_EQ(Inflate(good + "trailing", &plain), Z_OK);  // what follows the stream is left alone
    EXPECT_TRUE(plain == text);
    for (std::size_t length = 1; length < good.size(); ++length) {
        EXPECT_EQ(Inflate(good.substr(0, length)), Z_DATA_ERROR) << "cut at " << length;
    }
    for (const std::size_t at : {std::size_t{0}, good.size() - 1}) {  // header, Adler-32 checksum
        std::string broken = good;
        broken[at] = static_cast<char>(broken[at] ^ 0x5A);
        EXPECT_EQ(Inflate(broken), Z_DATA_ERROR) << "byte " << at;
    }
    EXPECT_EQ(Inflate(std::string("\x78\xbb\x00\x00\x00\x01", 6)), Z_DATA_ERROR);  // needs a dictionary

    EXPECT_EQ(Inflate("", &plain), Z_OK);
    EXPECT_EQ(plain, "");
    std::ostringstream sink;
    std::ifstream missing("/nonexistent/CoreSystem/input.z", std::ios::binary);
    EXPECT_EQ(inflateStream(missing, sink), -1);
    FailingInput failing;
    std::istream broken(&failing);
    EXPECT_EQ(inflateStream(broken, sink), -1);
    std::istringstream abc(Compressed("abc"));
    std::ostream nowhere(nullptr);  // every write fails
    EXPECT_EQ(inflateStream(abc, nowhere), -1);
}

TEST(SmallHelpersTest, ArgumentVectorHoldsAtMostTenPointersAndANull) {
    char text[] = "abcdefghijkl";
    char* const unused = text;
    char* n[12];
    for (int i = 0; i < 12; ++i) n[i] = &text[i];
    // count given, pointers stored; more than ten is reported and cut, nothing lands past the null
    for (const auto& [count, stored] : {std::pair{-3, 0}, {2, 2}, {10, 10}, {12, 10}}) {
        char* out[12];
        std::fill(std::begin(out), std::end(out), unused);
        EXPECT_EQ(Printed([&, count = count] {
                      buildArgumentVector(out, count, n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8],
                                          n[9], n[10], n[11]);
                  }),
                  count > 10 ? "Too many arguments, max is now 10\n" : "")
            << count;
        std::vector<char*> expected(n, n + stored);
        expected.push_back(nullptr);
        expected.resize(12, unused);
        EXPECT_EQ(std::vector<char*>(out, out + 12), expected) << count;
    }
}

TEST(SmallHelpersTest, HexDumpAndElapsedTimePrinters) {
    const unsigned char five[] = {'a', 'b', 0x01, 'c', 'd'};
    EXPECT_EQ(Printed([&] { hexDump(five, 5, "five"); }), "five (5 bytes)\n0000    61 62 01 63 64    ab.cd\n");
    const unsigned char twenty[] = "0123456789ABCDEF\x7f\xffx ";
    EXPECT_EQ(Printed([&] { hexDump(twenty, 20, ""); }),
              "0000    30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46    0123456789ABCDEF\n"
              "0010    7f ff 78 20                                        ..x             \n");
    EXPECT_EQ(Printed([&] { hexDump(nullptr, 8, "missing"); }), "missing (8 bytes)\n");

    // The elapsed-time printers use the monotonic clock, in their units.
    const double clock = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::uint64_t at = 0, took = 0;
    double seconds = 0;
    const std::string atLine = Printed([&] { at = CoreSystem::printElapsedMilliseconds("at ", 0); });
    const std::string tookLine = Printed([&] { took = CoreSystem::printElapsedMilliseconds("took ", 1000); });
    const std::string secondsLine = Printed([&] { seconds = CoreSystem::printElapsedSeconds("elapsed ", clock - 2); });
    EXPECT_NEAR(static_cast<double>(at) / 1000, clock, 1.0);
    EXPECT_EQ(atLine, "at " + std::to_string(at) + "\n");
    EXPECT_EQ(tookLine, "took " + std::to_string(took - 1000) + "\n");
    EXPECT_NEAR(seconds, clock, 1.0);
    ASSERT_EQ(secondsLine.rfind("elapsed ", 0), 0u) << secondsLine;
    EXPECT_NEAR(std::stod(secondsLine.substr(8)), 2, 1.0);
}

}  // namespace
