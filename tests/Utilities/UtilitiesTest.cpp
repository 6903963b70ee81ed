// CoreSystem::Utilities and the small helpers: the log lines of the process operations, CopyFile
// with its progress and failures, the file list, zlib streams, argument vectors and the printers.
#include "CoreSystem/Utilities/Utilities.h"
#include "CoreSystem/Utilities/SmallHelpers.h"

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Platform/Slog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using namespace CoreSystem;
using Lines = std::vector<std::string>;
using CoreSystemTest::ReadFile;

TEST(UtilitiesTest, ProcessOperationsLogOneLineEachWithTheirSignature) {
    const std::string waitFor = "static bool CoreSystem::Utilities::WaitFor(const string&, std::uint8_t, int): ";
    CoreSystemTest::IsolatedHost host;
    Lines logged;  // the process operations log on the calling thread, with the utilities' code and severity
    Platform::SetSlogObserver([&logged](const Platform::SlogRecord& record) {
        EXPECT_EQ(record.opcode, 10000);
        EXPECT_EQ(record.severity, _SLOG_DEBUG1);
        logged.push_back(record.text);
    });
    // Nice: the child runs with the priority, the caller keeps its own; Spawn's line comes first.
    char sh[] = "sh", c[] = "-c", priority[] = "exit $CORESYSTEM_PRIORITY";
    char* exitPriority[] = {sh, c, priority, nullptr};
    const int before = Platform::getprio(0);
    EXPECT_EQ(Utilities::Nice(P_WAIT, "/bin/sh", exitPriority, 25), 25);
    EXPECT_EQ(Platform::getprio(0), before);
    EXPECT_EQ(Utilities::System("exit 3"), 3 << 8);
    EXPECT_TRUE(Utilities::WaitFor(host.root(), 5, 100));
    EXPECT_FALSE(Utilities::WaitFor(host.root() + "/missing", 1, 0));
    Platform::SetSlogObserver({});
    EXPECT_EQ(logged,
              (Lines{"static pid_t CoreSystem::Utilities::Spawn(int, const char*, char* const*): /bin/sh spawned "
                     "with pid 25",
                     "static pid_t CoreSystem::Utilities::Nice(int, const char*, char* const*, int): /bin/sh given "
                     "priority 25",
                     "static int CoreSystem::Utilities::System(const string&): exit 3 executed, return status = 3",
                     waitFor + host.root() + " present", waitFor + host.root() + "/missing TIMEOUT within 1 seconds"}));
}

struct Progress {
    std::vector<int> seen;
    int stopAt = -1;
    static bool Report(int percent, void* self) {
        static_cast<Progress*>(self)->seen.push_back(percent);
        return percent != static_cast<Progress*>(self)->stopAt;
    }
};

TEST(UtilitiesTest, CopyFileReportsProgressAndNeverLosesTheSource) {
    CoreSystemTest::IsolatedHost host;
    const std::string src = host.root() + "/src", dst = host.root() + "/dst", link = host.root() + "/link";
    const auto exists = [](const std::string& path) { return Utilities::IsAccessible(path, 3); };
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
    std::ofstream(src, std::ios::binary) << data;

    Progress stopped{{}, 41};
    EXPECT_FALSE(Utilities::CopyFile(src, dst, true, Progress::Report, &stopped));
    EXPECT_EQ(stopped.seen, std::vector<int>{41});
    EXPECT_EQ(ReadFile(dst), data.substr(0, 4096)) << "the partial copy stays";
    EXPECT_EQ(ReadFile(src), data) << "kept although removal was asked for";
    Platform::FailNext(Platform::Call::Fsync, EIO);
    EXPECT_TRUE(Utilities::CopyFile(src, dst, true, nullptr, nullptr));
    Platform::ClearFaults();
    EXPECT_EQ(ReadFile(src), data) << "a complete copy whose flush failed is no move";
    ASSERT_EQ(symlink(src.c_str(), link.c_str()), 0);
    EXPECT_FALSE(Utilities::CopyFile(src, link, true, nullptr, nullptr));
    EXPECT_EQ(ReadFile(src), data) << "onto itself (here through a link) would empty the source";

    // A destination that cannot take the whole file: no move, no truncated copy left behind.
    EXPECT_EQ(CoreSystemTest::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{5000, 5000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        return Utilities::CopyFile(src, dst, true, nullptr, nullptr) ? 1 : 0;
    }), 0);
    EXPECT_EQ(ReadFile(src), data);
    EXPECT_FALSE(exists(dst));
    EXPECT_FALSE(Utilities::CopyFile(host.root(), dst, true, nullptr, nullptr));
    EXPECT_TRUE(Utilities::IsDirectory(host.root()) && !exists(dst)) << "a directory is not copied nor removed";

    Progress full;
    EXPECT_TRUE(Utilities::CopyFile(src, dst, true, Progress::Report, &full));
    EXPECT_EQ(full.seen, (std::vector<int>{41, 82, 100}));
    EXPECT_EQ(ReadFile(dst), data);
    EXPECT_FALSE(exists(src)) << "moved";
    std::ofstream(src, std::ios::binary).flush();
    Progress none;
    EXPECT_TRUE(Utilities::CopyFile(src, dst, true, Progress::Report, &none));
    EXPECT_TRUE(none.seen.empty()) << "an empty source is moved without a report";
    EXPECT_EQ(Utilities::FileSize(dst), 0);
    EXPECT_FALSE(exists(src));
}

TEST(UtilitiesTest, FileListModesAndBlendsHandleTheirEdgeCases) {
    CoreSystemTest::IsolatedHost host;
    const std::string top = host.root() + "/tree";
    for (const char* dir : {"", "/a", "/a/b", "/empty"}) ASSERT_EQ(mkdir((top + dir).c_str(), 0755), 0);
    for (const char* file : {"/one", "/a/two", "/a/b/three"}) ASSERT_EQ(Utilities::CreateEmptyFile(top + file), 0);
    ASSERT_EQ(mkfifo((top + "/a/fifo").c_str(), 0600), 0);  // listed are regular files only
    Lines files = Utilities::ListFilesRecursive(top);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (Lines{top + "/a/b/three", top + "/a/two", top + "/one"}));
    EXPECT_TRUE(Utilities::ListFilesRecursive(top + "/missing").empty());

    // A mode that is not an octal number changes nothing (strtol alone would read 0).
    const std::string file = host.root() + "/file";
    ASSERT_EQ(Utilities::CreateEmptyFile(file), 0);
    ASSERT_TRUE(Utilities::ChangeMode(file, "640"));
    for (const char* bad : {"", "rw", "8", "12x", "-1", "77777"})
        EXPECT_FALSE(Utilities::ChangeMode(file, bad)) << bad;
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    std::string slash = "/";
    EXPECT_EQ(Utilities::StripLeadingSlashes(slash), "");
    EXPECT_EQ(Utilities::BlendPercent(200, 100, 50), 150);
    EXPECT_EQ(Utilities::BlendPercent(0, 255, 100), 0);
    EXPECT_EQ(Utilities::BlendPercent(0, 100, 150), 0);  // below zero
    EXPECT_EQ(Utilities::BlendPercent(300, 0, 100), 300 & 0xFF);
}

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
TEST(UtilitiesTest, InflateDecodesZlibStreamsAndRejectsBrokenInput) {
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
    for (std::size_t length = 1; length < good.size(); ++length)
        EXPECT_EQ(Inflate(good.substr(0, length)), Z_DATA_ERROR) << "cut at " << length;
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

TEST(UtilitiesTest, ArgumentVectorHoldsAtMostTenPointersAndANullAndThePrintersKeepTheirFormats) {
    char text[] = "abcdefghijkl";
    char* const unused = text;
    char* n[12];
    for (int i = 0; i < 12; ++i) n[i] = &text[i];
    // count given, pointers stored; more than ten is reported and cut, nothing lands past the null
    for (const auto& [count, stored] : {std::pair{-3, 0}, {2, 2}, {10, 10}, {12, 10}}) {
        char* out[12];
        std::fill(std::begin(out), std::end(out), unused);
        const std::string printed = Printed([&, count = count] {
            buildArgumentVector(out, count, n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11]);
        });
        EXPECT_EQ(printed, count > 10 ? "Too many arguments, max is now 10\n" : "") << count;
        std::vector<char*> expected(n, n + stored);
        expected.push_back(nullptr);
        expected.resize(12, unused);
        EXPECT_EQ(std::vector<char*>(out, out + 12), expected) << count;
    }

    const unsigned char five[] = {'a', 'b', 0x01, 'c', 'd'};
    EXPECT_EQ(Printed([&] { hexDump(five, 5, "five"); }), "five (5 bytes)\n0000    61 62 01 63 64    ab.cd\n");
    const unsigned char twenty[] = "0123456789ABCDEF\x7f\xffx ";
    EXPECT_EQ(Printed([&] { hexDump(twenty, 20, ""); }),
              "0000    30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46    0123456789ABCDEF\n"
              "0010    7f ff 78 20                                        ..x             \n");
    EXPECT_EQ(Printed([&] { hexDump(nullptr, 8, "missing"); }), "missing (8 bytes)\n");

    // The elapsed-time printers use the monotonic clock, in their units, and return its reading.
    const double clock = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::uint64_t took = 0;
    double seconds = 0;
    const std::string tookLine = Printed([&] { took = CoreSystem::printElapsedMilliseconds("took ", 1000); });
    const std::string secondsLine = Printed([&] { seconds = CoreSystem::printElapsedSeconds("elapsed ", clock - 2); });
    EXPECT_NEAR(static_cast<double>(took) / 1000, clock, 1.0);
    EXPECT_EQ(tookLine, "took " + std::to_string(took - 1000) + "\n");
    EXPECT_NEAR(seconds, clock, 1.0);
    ASSERT_EQ(secondsLine.rfind("elapsed ", 0), 0u) << secondsLine;
    EXPECT_NEAR(std::stod(secondsLine.substr(8)), 2, 1.0);
}

}  // namespace
