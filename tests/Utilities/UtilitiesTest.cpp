// CoreSystem::Utilities: the log lines of the process operations, CopyFile with its progress
// callback and its failures, the recursive file list, and support functions with edge cases.
#include "CoreSystem/Utilities/Utilities.h"

#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Platform/Slog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

using CoreSystem::Utilities;
namespace Platform = CoreSystem::Platform;
using Lines = std::vector<std::string>;

// Texts of the records logged while in scope; each must carry the utilities' code and severity.
class LogCapture {
public:
    LogCapture() {
        Platform::SetSlogObserver([this](const Platform::SlogRecord& record) {
            EXPECT_EQ(record.opcode, 10000);
            EXPECT_EQ(record.severity, _SLOG_DEBUG1);
            lines_.push_back(record.text);
        });
    }
    ~LogCapture() { Platform::SetSlogObserver({}); }
    Lines take() { return std::exchange(lines_, {}); }

private:
    Lines lines_;  // the process operations log on the calling thread
};

const std::string kSpawn = "static pid_t CoreSystem::Utilities::Spawn(int, const char*, char* const*): ";
const std::string kSystem = "static int CoreSystem::Utilities::System(const string&): ";
const std::string kWaitFor = "static bool CoreSystem::Utilities::WaitFor(const string&, std::uint8_t, int): ";

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
    return data;
}

bool Exists(const std::string& path) {
    return Utilities::IsAccessible(path, 3);
}

TEST(UtilitiesTest, ProcessOperationsLogOneLineEachWithTheirSignature) {
    CoreSystemTest::IsolatedHost host;
    LogCapture log;
    char* exitTwo[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("exit 2"),
                       nullptr};
    EXPECT_EQ(Utilities::Spawn(P_WAIT, "/bin/sh", exitTwo), 2);
    EXPECT_EQ(log.take(), Lines{kSpawn + "/bin/sh spawned with pid 2"});

    // Nice: the child runs with the priority, the caller keeps its own; Spawn's line comes first.
    const int before = Platform::getprio(0);
    char* exitPriority[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                            const_cast<char*>("exit $CORESYSTEM_PRIORITY"), nullptr};
    EXPECT_EQ(Utilities::Nice(P_WAIT, "/bin/sh", exitPriority, 25), 25);
    EXPECT_EQ(Platform::getprio(0), before);
    EXPECT_EQ(log.take(),
              (Lines{kSpawn + "/bin/sh spawned with pid 25",
                     "static pid_t CoreSystem::Utilities::Nice(int, const char*, char* const*, int): "
                     "/bin/sh given priority 25"}));

    EXPECT_EQ(Utilities::System("exit 3"), 3 << 8);
    EXPECT_EQ(log.take(), Lines{kSystem + "exit 3 executed, return status = 3"});
    // A command that cannot run is not reported as success.
    const std::string missing = host.root() + "/no-such-program";
    const std::string quiet = missing + " 2>/dev/null";
    EXPECT_EQ(Utilities::System(quiet), 127 << 8);
    EXPECT_EQ(log.take(), Lines{kSystem + quiet + " executed, return status = 127"});

    EXPECT_TRUE(Utilities::WaitFor(host.root(), 5, 100));
    EXPECT_EQ(log.take(), Lines{kWaitFor + host.root() + " present"});
    EXPECT_FALSE(Utilities::WaitFor(missing, 1, 0));
    EXPECT_EQ(log.take(), Lines{kWaitFor + missing + " TIMEOUT within 1 seconds"});
}

struct Progress {
    std::vector<int> seen;
    int stopAt = -1;
    static bool Report(int percent, void* context) {
        auto* self = static_cast<Progress*>(context);
        self->seen.push_back(percent);
        return percent != self->stopAt;
    }
};

TEST(UtilitiesTest, CopyFileReportsProgressAndStopsWhenAsked) {
    CoreSystemTest::IsolatedHost host;
    const std::string src = host.root() + "/src";
    const std::string dst = host.root() + "/dst";
    const std::string data = Pattern(10000);
    std::ofstream(src, std::ios::binary) << data;

    Progress stopped{{}, 41};
    EXPECT_FALSE(Utilities::CopyFile(src, dst, true, Progress::Report, &stopped));
    EXPECT_EQ(stopped.seen, std::vector<int>{41});
    EXPECT_EQ(Contents(src), data);                  // kept although removal was asked for
    EXPECT_EQ(Contents(dst), data.substr(0, 4096));  // the partial copy stays

    Progress full;
    EXPECT_TRUE(Utilities::CopyFile(src, dst, true, Progress::Report, &full));
    EXPECT_EQ(full.seen, (std::vector<int>{41, 82, 100}));
    EXPECT_EQ(Contents(dst), data);
    EXPECT_FALSE(Exists(src));  // moved

    std::ofstream(src, std::ios::binary).flush();  // empty source
    Progress none;
    EXPECT_TRUE(Utilities::CopyFile(src, dst, false, Progress::Report, &none));
    EXPECT_TRUE(none.seen.empty());
    EXPECT_EQ(Utilities::FileSize(dst), 0);
}

TEST(UtilitiesTest, CopyFileNeverLosesTheSource) {
    CoreSystemTest::IsolatedHost host;
    const std::string src = host.root() + "/src";
    const std::string dst = host.root() + "/dst";
    const std::string data = Pattern(65536);
    std::ofstream(src, std::ios::binary) << data;

    // Onto itself (here through a link): opening the destination would empty the source.
    const std::string link = host.root() + "/link";
    ASSERT_EQ(symlink(src.c_str(), link.c_str()), 0);
    EXPECT_FALSE(Utilities::CopyFile(src, link, true, nullptr, nullptr));
    EXPECT_EQ(Contents(src), data);

    // A destination that cannot take the whole file: no move, no truncated copy left behind.
    CoreSystemTest::Child child = CoreSystemTest::Spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10000, 10000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        return Utilities::CopyFile(src, dst, true, nullptr, nullptr) ? 1 : 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
    EXPECT_EQ(Contents(src), data);
    EXPECT_FALSE(Exists(dst));

    // A directory is not a file to copy, nor removed by a move.
    EXPECT_FALSE(Utilities::CopyFile(host.root(), dst, true, nullptr, nullptr));
    EXPECT_TRUE(Utilities::IsDirectory(host.root()));
    EXPECT_FALSE(Exists(dst));

    // A copy whose flush failed is complete, but no move.
    Platform::FailNext(Platform::Call::Fsync, EIO);
    EXPECT_TRUE(Utilities::CopyFile(src, dst, true, nullptr, nullptr));
    Platform::ClearFaults();
    EXPECT_EQ(Contents(src), data);
    EXPECT_EQ(Contents(dst), data);
}

TEST(UtilitiesTest, ListFilesRecursiveListsRegularFilesOnly) {
    CoreSystemTest::IsolatedHost host;
    const std::string top = host.root() + "/tree";
    for (const char* dir : {"", "/a", "/a/b", "/empty"}) ASSERT_EQ(mkdir((top + dir).c_str(), 0755), 0);
    for (const char* file : {"/one", "/a/two", "/a/b/three"})
        ASSERT_EQ(Utilities::CreateEmptyFile(top + file), 0);
    ASSERT_EQ(mkfifo((top + "/a/fifo").c_str(), 0600), 0);

    Lines files = Utilities::ListFilesRecursive(top);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (Lines{top + "/a/b/three", top + "/a/two", top + "/one"}));
    EXPECT_TRUE(Utilities::ListFilesRecursive(top + "/missing").empty());
}

TEST(UtilitiesTest, SupportFunctionsHandleTheirEdgeCases) {
    CoreSystemTest::IsolatedHost host;
    // A mode that is not an octal number changes nothing (strtol alone would read 0).
    const std::string file = host.root() + "/file";
    ASSERT_EQ(Utilities::CreateEmptyFile(file), 0);
    ASSERT_TRUE(Utilities::ChangeMode(file, "640"));
    for (const char* bad : {"", "rw", "8", "12x", "-1", "77777"})
        EXPECT_FALSE(Utilities::ChangeMode(file, bad)) << bad;
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    std::string name = "///abc";
    EXPECT_EQ(Utilities::RunPath(name), "/var/run/abc");
    EXPECT_EQ(name, "abc");
    std::string slash = "/";
    EXPECT_EQ(Utilities::StripLeadingSlashes(slash), "");

    EXPECT_EQ(Utilities::BlendPercent(200, 100, 50), 150);
    EXPECT_EQ(Utilities::BlendPercent(0, 255, 100), 0);
    EXPECT_EQ(Utilities::BlendPercent(0, 100, 150), 0);  // below zero
    EXPECT_EQ(Utilities::BlendPercent(300, 0, 100), 300 & 0xFF);
}

}  // namespace
