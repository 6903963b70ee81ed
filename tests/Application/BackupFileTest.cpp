// BackupFile: the copies and the link, the choice of the current copy by headers, failures at the
// file seam, and a writer killed at random moments that must never lose its last version.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

namespace {

using CoreSystem::BackupFile;
namespace Platform = CoreSystem::Platform;
using Call = Platform::Call;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteRaw(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string Word(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

/// A copy file: header {sequence, length} followed by `stored` payload bytes (default: length).
std::string CopyBytes(std::uint32_t sequence, std::uint32_t length, long stored = -1) {
    return Word(sequence) + Word(length) + std::string(stored < 0 ? length : stored, 'p');
}

std::string LinkText(const std::string& path) {
    char text[4096];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    return n < 0 ? std::string() : std::string(text, static_cast<std::size_t>(n));
}

bool Write(BackupFile& file, const std::string& payload) {
    return file.write({static_cast<std::uint32_t>(payload.size()), payload.data()});
}

/// The current payload as read through openCurrent by a fresh object; none when there is none.
std::optional<std::string> CurrentPayload(const std::string& path, std::uint32_t* sequence = nullptr) {
    BackupFile file(path);
    std::uint32_t size = 0;
    int fd = -1;
    const bool opened = file.openCurrent(size, fd);
    std::string payload(size, '\0');
    const bool read = opened && ::read(fd, payload.data(), size) == static_cast<ssize_t>(size);
    if (fd >= 0) close(fd);
    if (sequence) *sequence = file.sequence();
    return read ? std::optional<std::string>(payload) : std::nullopt;
}

class BackupFileTest : public ::testing::Test {
protected:
    void TearDown() override { Platform::ClearFaults(); }
    CoreSystemTest::IsolatedHost host;
    const std::string path = host.root() + "/state.bin";
    const std::string copy0 = path + "_0";
    const std::string copy1 = path + "_1";
};

TEST_F(BackupFileTest, WritesAlternateBetweenCopiesBehindTheLink) {
    BackupFile file(path);
    EXPECT_EQ(file.currentPath(), "");
    EXPECT_EQ(file.nextPath(), copy0);
    ASSERT_TRUE(Write(file, "first"));
    EXPECT_EQ(ReadAll(copy0), Word(1001) + Word(5) + "first");
    EXPECT_EQ(LinkText(path), copy0);
    ASSERT_TRUE(Write(file, "second version"));
    EXPECT_EQ(file.currentPath(), copy1);
    EXPECT_EQ(ReadAll(copy0).substr(0, 4), Word(1001));

    // A fresh object reads from byte 8 and takes over the sequence number.
    BackupFile reader(path);
    std::uint32_t size = 0;
    int fd = -1;
    ASSERT_TRUE(reader.openCurrent(size, fd));
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 8);
    close(fd);
    EXPECT_EQ(reader.sequence(), 1002u);
    ASSERT_TRUE(reader.copyCurrentTo(host.root() + "/copy.out"));
    EXPECT_EQ(ReadAll(host.root() + "/copy.out"), "second version");
    Platform::FailNext(Call::Fsync, EIO);
    EXPECT_FALSE(reader.copyCurrentTo(host.root() + "/copy.out")) << "a failed flush is reported";

    reader.removeAll();
    EXPECT_FALSE(Exists(path) || Exists(copy0) || Exists(copy1));
}

TEST_F(BackupFileTest, OpenCurrentRejectsACopyThatIsNotHeaderPlusLength) {
    WriteRaw(copy0, CopyBytes(4, 100, 60));
    ASSERT_EQ(symlink(copy0.c_str(), path.c_str()), 0);
    std::uint32_t size = 0;
    int fd = -1;
    EXPECT_FALSE(BackupFile(path).openCurrent(size, fd));
    EXPECT_GE(fd, 0) << "the descriptor stays open for the caller";
    if (fd >= 0) close(fd);
}

struct ChoiceCase {
    const char* name;
    std::string copy0;  // file contents; empty: no such file
    std::string copy1;
    int chosen;  // -1: none
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.name;
}

class BackupChoiceTest : public BackupFileTest, public ::testing::WithParamInterface<ChoiceCase> {};

// Without a working link the headers decide, and the link is made again to the copy chosen.
TEST_P(BackupChoiceTest, ChoosesTheNewestCompleteCopy) {
    const ChoiceCase& c = GetParam();
    if (!c.copy0.empty()) WriteRaw(copy0, c.copy0);
    if (!c.copy1.empty()) WriteRaw(copy1, c.copy1);
    ASSERT_EQ(symlink("gone", path.c_str()), 0);  // dangling
    BackupFile file(path);
    const std::string expected = c.chosen < 0 ? "" : (c.chosen == 0 ? copy0 : copy1);
    EXPECT_EQ(file.currentPath(), expected);
    EXPECT_EQ(LinkText(path), c.chosen < 0 ? "gone" : expected);
    EXPECT_EQ(file.nextPath(), c.chosen == 0 ? copy1 : copy0);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BackupChoiceTest,
    ::testing::Values(ChoiceCase{"HigherSequence", CopyBytes(7, 10), CopyBytes(8, 10), 1},
                      ChoiceCase{"HigherSequenceInFirst", CopyBytes(8, 10), CopyBytes(7, 10), 0},
                      ChoiceCase{"WrapToZero", CopyBytes(0xFFFFFFFF, 10), CopyBytes(0, 10), 1},
                      ChoiceCase{"WrapToZeroInFirst", CopyBytes(0, 10), CopyBytes(0xFFFFFFFF, 10), 0},
                      ChoiceCase{"EqualSequences", CopyBytes(5, 10), CopyBytes(5, 10), -1},
                      ChoiceCase{"TornNewerCopy", CopyBytes(9, 100, 50), CopyBytes(8, 10), 1},
                      ChoiceCase{"LongerThanItsLength", CopyBytes(9, 10, 11), CopyBytes(8, 10), 1},
                      ChoiceCase{"NoHeader", std::string("\x09\0\0", 3), CopyBytes(8, 10), 1},
                      ChoiceCase{"TornAfterWrapToZero", CopyBytes(1, 100, 3), CopyBytes(0, 10), 1},
                      ChoiceCase{"EmptyPayload", CopyBytes(9, 0), CopyBytes(8, 10), 0},
                      ChoiceCase{"OnlyCopy", "", CopyBytes(3, 10), 1},
                      ChoiceCase{"OnlyCopyTorn", CopyBytes(3, 10, 4), "", -1}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

// The new version must beat the copy kept, whoever wrote it; a copy not read is never overwritten.
TEST_F(BackupFileTest, NewVersionIsNewerThanTheCopyKept) {
    WriteRaw(copy0, CopyBytes(5000, 3));
    WriteRaw(copy1, CopyBytes(4999, 3));
    BackupFile file(path);                   // has read nothing: 1000
    Platform::FailNext(Call::Open, EMFILE);  // the newest copy's header cannot be read
    EXPECT_FALSE(Write(file, "abc"));
    ASSERT_TRUE(Write(file, "abc"));
    EXPECT_EQ(ReadAll(copy1), Word(5001) + Word(3) + "abc");
    EXPECT_EQ(ReadAll(copy0), CopyBytes(5000, 3));

    WriteRaw(copy0, CopyBytes(0xFFFFFFFF, 3));
    unlink(path.c_str());
    ASSERT_TRUE(Write(file, "wrapped"));
    EXPECT_EQ(ReadAll(copy1).substr(0, 4), Word(0));
    unlink(path.c_str());
    EXPECT_EQ(BackupFile(path).currentPath(), copy1);
}

TEST_F(BackupFileTest, RelativePathLinksWithinItsDirectory) {
    ASSERT_EQ(mkdir((host.root() + "/sub").c_str(), 0700), 0);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(host.root().c_str()), 0);
    BackupFile file("sub/state");
    const bool written = Write(file, "one") && Write(file, "two") && Write(file, "three");
    const std::string link = LinkText("sub/state");
    const auto payload = CurrentPayload("sub/state");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_TRUE(written);
    EXPECT_EQ(link, "state_0");
    EXPECT_EQ(payload, "three");
}

struct Fault {
    Call call;
    int error, skip, times;  // skip: calls let through first
};

struct FaultCase {
    const char* name;
    std::vector<Fault> faults;
    bool durable;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class BackupFaultTest : public BackupFileTest, public ::testing::WithParamInterface<FaultCase> {};

// A failure anywhere in a write leaves the previous version current; the next write succeeds.
TEST_P(BackupFaultTest, FailedWriteKeepsThePreviousVersion) {
    BackupFile file(path);
    ASSERT_TRUE(Write(file, "previous"));
    for (const Fault& f : GetParam().faults) Platform::FailNext(f.call, f.error, f.skip, f.times);
    const bool durable = Write(file, "new version");
    Platform::ClearFaults();

    EXPECT_EQ(durable, GetParam().durable);
    std::uint32_t sequence = 0;
    EXPECT_EQ(CurrentPayload(path, &sequence), durable ? "new version" : "previous");
    EXPECT_EQ(sequence, durable ? 1002u : 1001u);
    EXPECT_EQ(LinkText(path), durable ? copy1 : copy0);
    EXPECT_EQ(Exists(copy1), durable) << "a failed copy is removed";
    ASSERT_TRUE(Write(file, "after"));
    EXPECT_EQ(CurrentPayload(path, &sequence), "after");
    EXPECT_EQ(sequence, durable ? 1003u : 1002u);
}

INSTANTIATE_TEST_SUITE_P(
    Seam, BackupFaultTest,
    ::testing::Values(FaultCase{"KeptCopyUnreadable", {{Call::Open, EMFILE, 0, 1}}, false},
                      FaultCase{"OpenFails", {{Call::Open, EACCES, 1, 1}}, false},
                      FaultCase{"HeaderWriteFails", {{Call::Write, EIO, 0, 1}}, false},
                      FaultCase{"ShortWriteThenDiskFull",
                                {{Call::ShortWrite, 0, 1, 1}, {Call::Write, ENOSPC, 2, 1}},
                                false},
                      FaultCase{"ShortWritesContinued", {{Call::ShortWrite, 0, 0, 3}}, true},
                      FaultCase{"FsyncFails", {{Call::Fsync, EIO, 0, 1}}, false},
                      FaultCase{"DirectoryFsyncFails", {{Call::Fsync, EIO, 1, 1}}, false},
                      FaultCase{"SymlinkFails", {{Call::Symlink, EACCES, 0, 1}}, false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

/// Payload of version `v`: 1 byte to 64 KiB (small sizes as often as large ones), starting with
/// the version's little-endian bytes, followed by a pattern of the version.
std::string PayloadOf(std::uint64_t v) {
    std::uint64_t h = (v + 1) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 31;
    const std::size_t size = 1 + static_cast<std::size_t>((h >> 8) % (std::uint64_t{1} << (h % 17)));
    std::string payload(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<char>(i < 8 ? v >> (8 * i) : (v * 131 + i * 7) >> 3);
    }
    return payload;
}

// A child writes versions in a loop and reports each one that write() called durable; it is killed
// at a random moment. A fresh object must then find a complete version, not older than the last
// one reported or seen before. CORESYSTEM_CRASH_KILLS sets the number of kills (default 500).
TEST_F(BackupFileTest, KilledWriterNeverLosesItsLastVersion) {
    const char* killsText = std::getenv("CORESYSTEM_CRASH_KILLS");
    const long requested = killsText ? std::strtol(killsText, nullptr, 10) : 0;
    const long kills = requested > 0 ? requested : 500;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    // Delays spread evenly over scales from 50 us to 20 ms: writers die starting up, in their first
    // write, or after several versions.
    std::uniform_real_distribution<double> logDelayUs(std::log(50.0), std::log(20000.0));
    BackupFile first(path);
    ASSERT_TRUE(Write(first, PayloadOf(0)));
    std::uint64_t established = 0;  // newest version known to be on disk
    long k = 0, reported = 0, midWrite = 0, losses = 0;
    for (; k < kills && losses == 0; ++k) {
        const std::uint64_t start = established + 1;
        CoreSystemTest::Child child = CoreSystemTest::Spawn(
            [&] {
                BackupFile file(path);
                for (std::uint64_t v = start;; ++v) {
                    if (!Write(file, PayloadOf(v))) return 3;
                    if (::write(STDOUT_FILENO, &v, sizeof v) != sizeof v) return 4;
                }
            },
            true);
        ASSERT_GT(child.pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(std::lround(std::exp(logDelayUs(random)))));
        kill(child.pid, SIGKILL);
        ASSERT_EQ(CoreSystemTest::Wait(child), 128 + SIGKILL) << "the writer ended on its own";
        const std::string reports = CoreSystemTest::ReadOutput(child);
        std::uint64_t last = established;
        for (std::size_t at = 0; at + sizeof last <= reports.size(); at += sizeof last, ++reported) {
            std::memcpy(&last, reports.data() + at, sizeof last);
        }
        if (!Exists(path)) ++midWrite;

        // The child may have finished one version more than it could report.
        const std::optional<std::string> found = CurrentPayload(path);
        if (found == PayloadOf(last + 1)) {
            established = last + 1;
        } else if (found == PayloadOf(last)) {
            established = last;
        } else {
            ++losses;
            ADD_FAILURE() << "kill " << k + 1 << " (seed " << seed << "): last reported " << last
                          << ", found "
                          << (found ? std::to_string(found->size()) + " bytes of another version"
                                    : std::string("no complete version"));
        }
    }
    std::cout << "[ crash    ] seed " << seed << ": " << k << " kills, " << reported << " versions reported, "
              << k << " versions checked, " << midWrite << " kills left no link, " << losses << " losses"
              << std::endl;
    EXPECT_EQ(losses, 0);
}

TEST_F(BackupFileTest, ToolShowsWhyACopyIsCurrent) {
    const std::string tool = CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";
    if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "coresys is not built";
    WriteRaw(copy0, CopyBytes(7, 10));
    WriteRaw(copy1, CopyBytes(8, 10, 4));
    const auto outcome = CoreSystemTest::RunProgram(tool, {"backup", "show", path});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "path: " + path + "\nlink: missing\ncopy " + copy0 +
                               ": sequence 7, length 10, size 18: complete\ncopy " + copy1 +
                               ": sequence 8, length 10, size 12: incomplete (size is not 8 + length)\n" +
                               "current: " + copy0 + " (no link; the other copy is incomplete)\n");
    EXPECT_FALSE(Exists(path)) << "show changes nothing";
}

}  // namespace
