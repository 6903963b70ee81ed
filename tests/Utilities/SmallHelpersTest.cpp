// Small helpers: zlib streams made by another implementation, broken and truncated input, stream
// failures, argument vectors, hex dumps and elapsed-time lines as printed on standard output.
#include "CoreSystem/Utilities/SmallHelpers.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using CoreSystem::buildArgumentVector;
using CoreSystem::hexDump;
using CoreSystem::inflateStream;
using CoreSystem::printElapsedMilliseconds;
using CoreSystem::printElapsedSeconds;

/// zlib.compress(b"inflate \xff\x00 stream\n" * 2500, 9), made once with Python's zlib.
const unsigned char kCompressed[] = {
    0x78, 0xda, 0xed, 0xc8, 0xb1, 0x0d, 0x00, 0x10, 0x00, 0x00, 0x30, 0xb3, 0x2b, 0xbc, 0x66, 0x20, 0x91,
    0x60, 0xc0, 0xff, 0x5c, 0x61, 0x6b, 0xc7, 0xb6, 0x59, 0x7b, 0x3e, 0x25, 0xdd, 0x90, 0xf6, 0x59, 0x25,
    0x8f, 0xd8, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63,
    0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31,
    0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18,
    0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c,
    0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6,
    0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x18, 0x63,
    0x8c, 0x31, 0xc6, 0x18, 0x63, 0x8c, 0x31, 0xc6, 0x98, 0x6f, 0xf3, 0x00, 0xbb, 0x4b, 0xa0, 0xb0};

std::string CompressedFixture() {
    return std::string(reinterpret_cast<const char*>(kCompressed), sizeof kCompressed);
}

std::string FixturePlainText() {
    std::string text;
    for (int i = 0; i < 2500; ++i) text.append("inflate \xff\x00 stream\n", 18);
    return text;
}

/// Runs inflateStream from a string; the decompressed bytes go to `*plain` when given.
int Inflate(const std::string& compressed, std::string* plain = nullptr) {
    std::istringstream in(compressed);
    std::ostringstream out;
    const int result = inflateStream(in, out);
    if (plain) *plain = out.str();
    return result;
}

/// What `action` printed on standard output (through printf and std::cout alike). Outputs here are
/// far below a pipe's capacity, so the pipe is read after the action.
std::string Printed(const std::function<void()>& action) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    std::cout.flush();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    action();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    close(fds[0]);
    return text;
}

TEST(SmallHelpersTest, InflateDecodesStreamsMadeByPythonsZlib) {
    std::string plain;
    EXPECT_EQ(Inflate(CompressedFixture(), &plain), Z_OK);
    EXPECT_EQ(plain, FixturePlainText());  // 45000 bytes: three output buffers

    // A larger stream made now, partly incompressible: many input buffers as well.
    CoreSystemTest::IsolatedHost host;
    std::string original;
    for (std::uint32_t state = 7; original.size() < 300000;) {
        state = state * 1664525u + 1013904223u;
        original +=
            (state >> 31) ? std::string(1, static_cast<char>(state >> 23)) : std::to_string(state % 1000);
    }
    const std::string plainPath = host.root() + "/plain.bin", packedPath = host.root() + "/packed.z";
    std::ofstream(plainPath, std::ios::binary) << original;
    const std::string script =
        "import sys, zlib; open(sys.argv[2], 'wb').write(zlib.compress(open(sys.argv[1], 'rb').read()))";
    CoreSystemTest::Child python =
        CoreSystemTest::SpawnProgram("/usr/bin/env", {"python3", "-c", script, plainPath, packedPath});
    const int status = CoreSystemTest::Wait(python, std::chrono::seconds(60));
    if (status == 127) GTEST_SKIP() << "python3 is not installed";
    ASSERT_EQ(status, 0);
    std::ifstream packed(packedPath, std::ios::binary);
    std::ostringstream out;
    EXPECT_EQ(inflateStream(packed, out), Z_OK);
    EXPECT_TRUE(out.str() == original) << out.str().size() << " bytes";
}

TEST(SmallHelpersTest, InflateSucceedsOnEmptyInputAndReportsTruncatedOrCorruptInput) {
    std::string plain = "untouched";
    EXPECT_EQ(Inflate("", &plain), Z_OK);
    EXPECT_EQ(plain, "");

    const std::string good = CompressedFixture();
    // A stream cut anywhere before its end never counts as complete.
    for (std::size_t length = 1; length < good.size(); ++length) {
        EXPECT_EQ(Inflate(good.substr(0, length)), Z_DATA_ERROR) << "cut at " << length;
    }
    // A corrupted byte is caught by the format or its checks (header, Adler-32); only the unused
    // padding bits before the checksum may change without changing the result.
    const std::string plainText = FixturePlainText();
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string broken = good;
        broken[at] = static_cast<char>(broken[at] ^ 0x5A);
        const int result = Inflate(broken, &plain);
        EXPECT_TRUE(result == Z_DATA_ERROR || (result == Z_OK && plain == plainText))
            << "byte " << at << ": " << result;
        if (at < 2 || at + 4 >= good.size()) {
            EXPECT_EQ(result, Z_DATA_ERROR) << "header or checksum byte " << at;
        }
    }
    EXPECT_EQ(Inflate(std::string("\x78\xbb\x00\x00\x00\x01", 6)), Z_DATA_ERROR);  // needs a dictionary
    EXPECT_EQ(Inflate("plain text is not a zlib stream"), Z_DATA_ERROR);

    // Whatever follows the end of the stream is left alone.
    EXPECT_EQ(Inflate(good + "trailing", &plain), Z_OK);
    EXPECT_EQ(plain, plainText);
}

/// Input whose reads fail with an exception, which the stream turns into its bad bit.
class FailingInput : public std::streambuf {
protected:
    int_type underflow() override { throw std::runtime_error("device error"); }
};

TEST(SmallHelpersTest, InflateReportsStreamFailuresAsMinusOne) {
    std::ostringstream sink;
    std::ifstream missing("/nonexistent/CoreSystem/input.z", std::ios::binary);
    EXPECT_EQ(inflateStream(missing, sink), -1);

    FailingInput failing;
    std::istream broken(&failing);
    EXPECT_EQ(inflateStream(broken, sink), -1);

    std::istringstream in(CompressedFixture());
    std::ostream nowhere(nullptr);  // every write fails
    EXPECT_EQ(inflateStream(in, nowhere), -1);
}

TEST(SmallHelpersTest, ArgumentVectorHoldsAtMostTenPointersAndANull) {
    char text[] = "abcdefghijkl";
    char* n[12];
    for (int i = 0; i < 12; ++i) n[i] = &text[i];
    char* out[12];
    for (char*& p : out) p = text;

    EXPECT_EQ(Printed([&] {
                  buildArgumentVector(out, 12, n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9],
                                      n[10], n[11]);
              }),
              "Too many arguments, max is now 10\n");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], n[i]);
    EXPECT_EQ(out[10], nullptr);
    EXPECT_EQ(out[11], text);  // never past the eleventh pointer

    EXPECT_EQ(Printed([&] { buildArgumentVector(out, 2, n[5], n[6]); }), "");
    EXPECT_EQ(std::vector<char*>(out, out + 3), (std::vector<char*>{n[5], n[6], nullptr}));
    buildArgumentVector(out, -3);
    EXPECT_EQ(out[0], nullptr);
}

TEST(SmallHelpersTest, HexDumpPrintsOffsetsBytesAndCharacters) {
    const unsigned char five[] = {'a', 'b', 0x01, 'c', 'd'};
    EXPECT_EQ(Printed([&] { hexDump(five, 5, "five"); }),
              "five (5 bytes)\n"
              "0000    61 62 01 63 64    ab.cd\n");

    const unsigned char twenty[] = {'0', '1', '2', '3', '4', '5', '6',  '7',  '8', '9',
                                    'A', 'B', 'C', 'D', 'E', 'F', 0x7f, 0xff, 'x', ' '};
    EXPECT_EQ(Printed([&] { hexDump(twenty, 20, ""); }),
              "0000    30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46    0123456789ABCDEF\n"
              "0010    7f ff 78 20                                        ..x             \n");

    EXPECT_EQ(Printed([&] { hexDump(five, 0, "none"); }), "none (0 bytes)\n");
    EXPECT_EQ(Printed([&] { hexDump(nullptr, 8, "missing"); }), "missing (8 bytes)\n");
}

TEST(SmallHelpersTest, ElapsedPrintersUseTheMonotonicClock) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto clockMs = [] {
        return duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    const auto before = static_cast<std::uint64_t>(clockMs());
    std::uint64_t now = 0, later = 0;
    std::string printed = Printed([&] { now = printElapsedMilliseconds("boot at ", 0); });
    EXPECT_EQ(printed, "boot at " + std::to_string(now) + "\n");
    EXPECT_GE(now, before);
    EXPECT_LE(now, static_cast<std::uint64_t>(clockMs()));
    printed = Printed([&] { later = printElapsedMilliseconds("took ", before); });
    EXPECT_EQ(printed, "took " + std::to_string(later - before) + "\n");

    const double start = static_cast<double>(now) / 1000 - 2.5;
    double seconds = 0;
    printed = Printed([&] { seconds = printElapsedSeconds("elapsed ", start); });
    ASSERT_EQ(printed.rfind("elapsed ", 0), 0u) << printed;
    EXPECT_NEAR(std::stod(printed.substr(8)), seconds - start, 1e-3);
    EXPECT_NEAR(seconds, start + 2.5, 5.0);
}

}  // namespace
