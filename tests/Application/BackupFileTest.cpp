// BackupFile: the copies and the link, the choice of the current copy by headers, failures at the
// file seam, and a writer killed at random moments that must never lose its last version.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

namespace {

using namespace CoreSystem;
namespace fs = std::filesystem;
using Call = Platform::Call;
using CoreSystemTest::ReadFile;

std::string LinkText(const std::string& path) {
    std::error_code error;
    return fs::read_symlink(path, error).string();
}

/// A copy file: header {sequence, length} followed by `stored` bytes 'p' (default: length).
std::string CopyBytes(std::uint32_t sequence, std::uint32_t length, long stored = -1) {
    std::string bytes;
    for (std::uint32_t word : {sequence, length})
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(word >> (8 * i));
    return bytes + std::string(stored < 0 ? length : stored, 'p');
}

bool Write(BackupFile& file, const std::string& data) { return file.write({std::uint32_t(data.size()), data.data()}); }

/// The current payload as a fresh object copies it out (none when there is none); that object
/// takes over the sequence number of the copy read.
std::optional<std::string> CurrentPayload(const std::string& path, std::uint32_t* sequence = nullptr) {
    BackupFile file(path);
    const bool copied = file.copyCurrentTo(path + ".out");
    if (sequence) *sequence = file.sequence();
    return copied ? std::optional<std::string>(ReadFile(path + ".out")) : std::nullopt;
}

/// The first int of the current payload as a fresh object opens it; -1 when there is none.
int CurrentNumber(const std::string& path) {
    std::uint32_t size = 0;
    int fd = -1, number = -1;
    if (!BackupFile(path).openCurrent(size, fd) || ::read(fd, &number, sizeof number) != sizeof number) number = -1;
    if (fd >= 0) close(fd);
    return number;
}

class BackupFileTest : public ::testing::Test {
protected:
    void TearDown() override { Platform::ClearFaults(); }
    void store(const std::string& file, const std::string& bytes) { std::ofstream(file) << bytes; }
    void clear() { for (const std::string& file : {path, copy0, copy1}) unlink(file.c_str()); }
    bool linkExists() const { return fs::exists(fs::symlink_status(path)); }
    CoreSystemTest::IsolatedHost host;
    const std::string path = host.root() + "/state.bin", copy0 = path + "_0", copy1 = path + "_1";
};

TEST_F(BackupFileTest, FreshPathFirstCopyCopyOutAndRemoval) {
    BackupFile file(path);
    EXPECT_EQ(file.currentPath(), "");
    EXPECT_EQ(file.nextPath(), copy0);
    ASSERT_TRUE(Write(file, "first"));
    EXPECT_EQ(ReadFile(copy0), CopyBytes(1001, 5, 0) + "first");
    EXPECT_EQ(LinkText(path), copy0);
    EXPECT_EQ(CurrentPayload(path), "first");
    Platform::FailNext(Call::Fsync, EIO);
    EXPECT_FALSE(file.copyCurrentTo(path + ".out")) << "a failed flush is reported";

    store(copy0, CopyBytes(4, 100, 60));  // the linked copy is not header plus length
    std::uint32_t size = 0;
    int fd = -1;
    EXPECT_FALSE(file.openCurrent(size, fd));
    EXPECT_GE(fd, 0) << "the descriptor stays open for the caller";
    if (fd >= 0) close(fd);

    file.removeAll();
    EXPECT_FALSE(linkExists() || fs::exists(copy0) || fs::exists(copy1));

    // A relative path links within its own directory.
    fs::create_directory(host.root() + "/sub");
    const fs::path previous = fs::current_path();
    fs::current_path(host.root());
    BackupFile relative("sub/state");
    EXPECT_TRUE(Write(relative, "one") && Write(relative, "two") && Write(relative, "three"));
    EXPECT_EQ(LinkText("sub/state"), "state_0");
    EXPECT_EQ(CurrentPayload("sub/state"), "three");
    fs::current_path(previous);
}

// The second write goes to the other copy. A failure anywhere in it leaves the previous version
// current, with the link back on it and the failed copy removed; the next write succeeds.
TEST_F(BackupFileTest, SecondWriteIsCurrentOnlyWhenDurable) {
    using Fault = std::tuple<Call, int, int, int>;  // call, errno, calls let through first, times
    // name, faults, whether the write is durable
    const std::tuple<const char*, std::vector<Fault>, bool> cases[] = {
        {"no fault", {}, true},
        {"kept copy unreadable", {{Call::Open, EMFILE, 0, 1}}, false},
        {"open fails", {{Call::Open, EACCES, 1, 1}}, false},
        {"header write fails", {{Call::Write, EIO, 0, 1}}, false},
        {"short write, then disk full", {{Call::ShortWrite, 0, 1, 1}, {Call::Write, ENOSPC, 2, 1}}, false},
        {"short writes continued", {{Call::ShortWrite, 0, 0, 3}}, true},
        {"fsync fails", {{Call::Fsync, EIO, 0, 1}}, false},
        {"directory fsync fails", {{Call::Fsync, EIO, 1, 1}}, false},
        {"symlink fails", {{Call::Symlink, EACCES, 0, 1}}, false},
        {"rename over the link fails", {{Call::Rename, EIO, 0, 1}}, false},
    };
    for (const auto& [name, faults, durable] : cases) {
        SCOPED_TRACE(name);
        clear();
        BackupFile file(path);
        ASSERT_TRUE(Write(file, "previous"));
        for (const auto& [call, error, skip, times] : faults) Platform::FailNext(call, error, skip, times);
        EXPECT_EQ(Write(file, "new version"), durable);
        Platform::ClearFaults();
        EXPECT_EQ(LinkText(path), durable ? copy1 : copy0);
        EXPECT_EQ(fs::exists(copy1), durable);
        std::uint32_t sequence = 0;  // a fresh object reads the payload and takes over its number
        EXPECT_EQ(CurrentPayload(path, &sequence), durable ? "new version" : "previous");
        EXPECT_EQ(sequence, durable ? 1002u : 1001u);
        ASSERT_TRUE(Write(file, "after"));
        EXPECT_EQ(CurrentPayload(path, &sequence), "after");
        EXPECT_EQ(sequence, durable ? 1003u : 1002u);
    }
}

// Without a working link the headers decide, and the link is made again to the copy chosen. A write
// waits until the current copy can be read, goes to the other one and is newer than the copy kept.
TEST_F(BackupFileTest, LostLinkChoosesTheNewestCompleteCopy) {
    // name, contents of the two copies (empty: no such file), the copy chosen (-1: none), the
    // sequence number the next write takes (a fresh object would take 1001)
    const std::tuple<const char*, std::string, std::string, int, std::uint32_t> cases[] = {
        {"higher sequence", CopyBytes(5000, 10), CopyBytes(4999, 10), 0, 5001},
        {"0 follows 0xFFFFFFFF", CopyBytes(0xFFFFFFFF, 10), CopyBytes(0, 10), 1, 1001},
        {"equal sequences", CopyBytes(5, 10), CopyBytes(5, 10), -1, 0},
        {"newer copy torn", CopyBytes(9, 100, 50), CopyBytes(8, 10), 1, 1001},
        {"newer copy without header", std::string("\x09\0\0", 3), CopyBytes(8, 10), 1, 1001},
        {"newer copy longer than its length", CopyBytes(9, 10, 11), CopyBytes(8, 10), 1, 1001},
        {"newer copy with empty payload", CopyBytes(9, 0), CopyBytes(8, 10), 0, 1001},
        {"only copy", "", CopyBytes(3, 10), 1, 1001},
        {"only copy at the last number", CopyBytes(0xFFFFFFFF, 10), "", 0, 0},
        {"only copy torn", CopyBytes(3, 10, 4), "", -1, 0},
    };
    for (const auto& [name, bytes0, bytes1, chosen, next] : cases) {
        SCOPED_TRACE(name);
        clear();
        if (!bytes0.empty()) store(copy0, bytes0);
        if (!bytes1.empty()) store(copy1, bytes1);
        ASSERT_EQ(symlink("gone", path.c_str()), 0);  // dangling
        const std::string expected = chosen < 0 ? "" : (chosen == 0 ? copy0 : copy1);
        BackupFile file(path);
        EXPECT_EQ(file.currentPath(), expected);
        EXPECT_EQ(LinkText(path), chosen < 0 ? "gone" : expected);
        if (chosen < 0) continue;
        unlink(path.c_str());  // the headers decide again, and one cannot be read: nothing is written
        Platform::FailNext(Call::Open, EMFILE);
        EXPECT_FALSE(Write(file, "ppp"));
        ASSERT_TRUE(Write(file, "ppp"));
        EXPECT_EQ(ReadFile(chosen == 0 ? copy1 : copy0), CopyBytes(next, 3));
        EXPECT_EQ(ReadFile(expected), chosen == 0 ? bytes0 : bytes1);
    }
}

/// Payload of version `v`: 1 byte to 64 KiB (small sizes as often as large ones), starting with
/// the version's little-endian bytes, followed by a pattern of the version.
std::string PayloadOf(std::uint64_t v) {
    std::uint64_t h = (v + 1) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 31;
    std::string payload(1 + static_cast<std::size_t>((h >> 8) % (std::uint64_t{1} << (h % 17))), '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i < 8 ? v >> (8 * i) : (v * 131 + i * 7) >> 3);
    return payload;
}

// A child writes versions in a loop and reports each one that write() called durable; it is killed
// at a random moment. A fresh object must then find a complete version, not older than the last
// one reported or seen before.
TEST_F(BackupFileTest, KilledWriterNeverLosesItsLastVersion) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    // Delays spread evenly over scales from 50 us to 20 ms: writers die starting up, in their first
    // write, or after several versions.
    std::uniform_real_distribution<double> logDelayUs(std::log(50.0), std::log(20000.0));
    BackupFile first(path);
    ASSERT_TRUE(Write(first, PayloadOf(0)));
    std::uint64_t established = 0;  // newest version known to be on disk
    long kills = 0, reported = 0, midWrite = 0, afterWrite = 0, losses = 0;
    for (; kills < 500 && losses == 0; ++kills) {
        const auto writer = [&, v = established + 1]() mutable {
            for (BackupFile file(path);; ++v)
                if (!Write(file, PayloadOf(v)) || ::write(1, &v, sizeof v) != sizeof v) return 3;
        };
        CoreSystemTest::Child child = CoreSystemTest::Spawn(writer, true);
        ASSERT_GT(child.pid, 0);
        // Three kills in four come after the writer's first completed write, so that most of them
        // land in a write that replaces a version it made itself; the fourth may hit its first.
        std::string reports;
        if (kills % 4 != 0)
            CoreSystemTest::Eventually([&] { return !(reports += CoreSystemTest::ReadOutput(child, false)).empty(); });
        usleep(static_cast<useconds_t>(std::exp(logDelayUs(random))));
        kill(child.pid, SIGKILL);
        ASSERT_EQ(CoreSystemTest::Wait(child), 128 + SIGKILL) << "the writer ended on its own";
        reports += CoreSystemTest::ReadOutput(child);
        std::uint64_t last = established;
        for (std::size_t at = 0; at + sizeof last <= reports.size(); at += sizeof last, ++reported)
            std::memcpy(&last, reports.data() + at, sizeof last);
        if (!linkExists()) ++midWrite;
        if (!reports.empty()) ++afterWrite;

        const std::optional<std::string> found = CurrentPayload(path);
        if (found == PayloadOf(last + 1)) ++last;  // finished, but killed before it could report
        if (found == PayloadOf(last)) {
            established = last;
        } else {
            ++losses;
            ADD_FAILURE() << "kill " << kills + 1 << " (seed " << seed << "): last reported " << last << ", "
                          << (found ? "another version" : "no complete version") << " found";
        }
    }
    std::cout << "[ crash    ] seed " << seed << ": " << kills << " kills, " << afterWrite
              << " after a completed write, " << reported << " versions reported, " << midWrite
              << " kills left no link, " << losses << " losses" << std::endl;
    EXPECT_EQ(midWrite, 0) << "the link is replaced in one step, never removed";
    EXPECT_GE(afterWrite, kills / 2) << "too few kills landed after a completed write to test anything";
}

// A reader looping beside the writer never makes a write fail and never sees an update lost,
// in a directory on disk and on tmpfs.
TEST_F(BackupFileTest, ReaderBesideAWriterCostsNothing) {
    const std::string shm = "/dev/shm/" + host.word() + "-backup";
    ASSERT_TRUE(fs::create_directory(shm));
    // On disk each write flushes a file and a directory (1 ms or far more under load): fewer there.
    for (const auto& [where, writes] : {std::pair<std::string, int>{host.root(), 2000}, {shm, 10000}}) {
        SCOPED_TRACE(where);
        const std::string file = where + "/counter";
        BackupFile writer(file);
        const int first = 0;
        ASSERT_TRUE(writer.write({sizeof first, &first}));
        std::atomic<bool> done{false};
        std::atomic<long> reads{0};
        std::thread reader([&] {
            for (; !done; ++reads) CurrentNumber(file);
        });
        long failedWrites = 0, lost = 0;
        for (int version = 1; version <= writes; ++version) {
            failedWrites += !writer.write({sizeof version, &version});
            lost += CurrentNumber(file) != version;
        }
        done = true;
        reader.join();
        EXPECT_EQ(failedWrites, 0);
        EXPECT_EQ(lost, 0);
        EXPECT_GT(reads, writes / 10) << "the reader hardly ran beside the writer";
    }
    fs::remove_all(shm);
}

// Copying out never truncates the file itself and holds a bounded piece of a large payload. A FIFO
// in place of a copy or behind the link is no copy, and nobody waits on it.
TEST_F(BackupFileTest, CopyOutRefusesItselfStaysSmallAndSkipsAFifo) {
    BackupFile file(path);
    ASSERT_TRUE(Write(file, "keep"));
    ASSERT_EQ(symlink(copy0.c_str(), (path + ".alias").c_str()), 0);
    for (const std::string& destination : {path, copy0, path + ".alias"}) {
        EXPECT_FALSE(file.copyCurrentTo(destination)) << destination;
        EXPECT_EQ(CurrentPayload(path), "keep") << destination;
    }
    ASSERT_EQ(mkfifo(copy1.c_str(), 0600), 0);
    const std::string big = "/dev/shm/" + host.word() + "-big";
    CoreSystemTest::Child child = CoreSystemTest::Spawn([&] {
        if (unlink(path.c_str()) != 0) return 1;  // the headers decide
        BackupFile other(path);
        using Status = BackupFile::Header::Status;
        if (other.currentPath() != copy0 || BackupFile::ReadHeader(copy1).status != Status::NotAFile) return 2;
        if (Write(other, "new")) return 3;  // its copy to write is taken by the FIFO
        std::uint32_t size = 0;
        int fd = -1;
        if (unlink(path.c_str()) != 0 || symlink(copy1.c_str(), path.c_str()) != 0) return 4;
        if (other.openCurrent(size, fd) || fd != -1) return 5;

        constexpr std::uint32_t kLength = 128u << 20;
        store(copy1 + ".big", CopyBytes(2000, kLength, 0));
        if (truncate((copy1 + ".big").c_str(), off_t{BackupFile::kHeaderSize} + kLength) != 0 ||
            rename((copy1 + ".big").c_str(), copy1.c_str()) != 0 || unlink(path.c_str()) != 0)
            return 6;
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const bool copied = BackupFile(path).copyCurrentTo(big);
        getrusage(RUSAGE_SELF, &after);
        const long grownKiB = after.ru_maxrss - before.ru_maxrss;
        if (!copied || fs::file_size(big) != kLength) return 7;
        if (grownKiB > 16 * 1024) std::fprintf(stderr, "copying out grew the process by %ld KiB\n", grownKiB);
        return grownKiB > 16 * 1024 ? 8 : 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0) << "-1: a call waited on the FIFO";
    EXPECT_EQ(ReadFile(copy0), CopyBytes(1001, 4, 0) + "keep");
    unlink(big.c_str());
}

// A failed write never touches the only complete copy, even when the link names a torn one; the
// tool shows why a copy is current.
TEST_F(BackupFileTest, LinkToATornCopyKeepsTheCompleteOne) {
    store(copy0, CopyBytes(7, 10));
    store(copy1, CopyBytes(8, 10, 4));
    const bool tool = access(CoreSystemTest::CoresysPath().c_str(), X_OK) == 0;  // not in every build
    if (tool) {
        const auto outcome = CoreSystemTest::RunCoresys({"backup", "show", path});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "path: " + path + "\nlink: missing\ncopy " + copy0 +
                                   ": sequence 7, length 10, size 18: complete\ncopy " + copy1 +
                                   ": sequence 8, length 10, size 12: incomplete (size is not 8 + length)\n" +
                                   "current: " + copy0 + " (no link; the other copy is incomplete)\n");
        EXPECT_FALSE(linkExists()) << "show changes nothing";
    }
    ASSERT_EQ(symlink(copy1.c_str(), path.c_str()), 0);
    BackupFile file(path);
    Platform::FailNext(Call::Fsync, EIO);
    EXPECT_FALSE(Write(file, "lost"));
    EXPECT_EQ(ReadFile(copy0), CopyBytes(7, 10));
    ASSERT_TRUE(Write(file, "new"));
    EXPECT_EQ(LinkText(path), copy1);
    EXPECT_EQ(ReadFile(copy0), CopyBytes(7, 10));
    EXPECT_EQ(CurrentPayload(path), "new");
    if (!tool) return;

    // No copy is current: a failure; unprintable bytes of the link are shown escaped.
    clear();
    store(copy1, CopyBytes(8, 10, 4));
    ASSERT_EQ(symlink("bad\x01name\\", path.c_str()), 0);
    const auto none = CoreSystemTest::RunCoresys({"backup", "show", path});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("link: -> bad\\x01name\\\\ (dangling)\n"), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("current: none (no link and no complete copy)\n"), std::string::npos) << none.out;
    EXPECT_EQ(none.err, "coresys: no copy of " + path + " is current\n");
}

}  // namespace
