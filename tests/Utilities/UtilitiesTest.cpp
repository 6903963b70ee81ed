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

namespace {

using CoreSystem::Utilities;
namespace Platform = CoreSystem::Platform;
using Lines = std::vector<std::string>;
using CoreSystemTest::ReadFile;

// Texts of the records logged while in scope; each must carry the utilities' code and severity.
struct LogCapture {
    LogCapture() {
        Platform::SetSlogObserver([this](const Platform::SlogRecord& record) {
            EXPECT_EQ(record.opcode, 10000);
            EXPECT_EQ(record.severity, _SLOG_DEBUG1);
            lines.push_back(record.text);  // the process operations log on the calling thread
        });
    }
    ~LogCapture() { Platform::SetSlogObserver({}); }
    Lines take() { return std::exchange(lines, {}); }
    Lines lines;
};

TEST(UtilitiesTest, ProcessOperationsLogOneLineEachWithTheirSignature) {
    const std::string spawn = "static pid_t CoreSystem::Utilities::Spawn(int, const char*, char* const*): ";
    const std::string system = "static int CoreSystem::Utilities::System(const string&): ";
    const std::string waitFor = "static bool CoreSystem::Utilities::WaitFor(const string&, std::uint8_t, int): ";
    CoreSystemTest::IsolatedHost host;
    LogCapture log;
    char sh[] = "sh", c[] = "-c", two[] = "exit 2", priority[] = "exit $CORESYSTEM_PRIORITY";
    char* exitTwo[] = {sh, c, two, nullptr};
    EXPECT_EQ(Utilities::Spawn(P_WAIT, "/bin/sh", exitTwo), 2);
    EXPECT_EQ(log.take(), Lines{spawn + "/bin/sh spawned with pid 2"});

    // Nice: the child runs with the priority, the caller keeps its own; Spawn's line comes first.
    const int before = Platform::getprio(0);
    char* exitPriority[] = {sh, c, priority, nullptr};
    EXPECT_EQ(Utilities::Nice(P_WAIT, "/bin/sh", exitPriority, 25), 25);
    EXPECT_EQ(Platform::getprio(0), before);
    EXPECT_EQ(log.take(),
              (Lines{spawn + "/bin/sh spawned with pid 25",
                     "static pid_t CoreSystem::Utilities::Nice(int, const char*, char* const*, int): "
                     "/bin/sh given priority 25"}));

    EXPECT_EQ(Utilities::System("exit 3"), 3 << 8);
    EXPECT_EQ(log.take(), Lines{system + "exit 3 executed, return status = 3"});
    const std::string missing = host.root() + "/missing";
    EXPECT_TRUE(Utilities::WaitFor(host.root(), 5, 100));
    EXPECT_EQ(log.take(), Lines{waitFor + host.root() + " present"});
    EXPECT_FALSE(Utilities::WaitFor(missing, 1, 0));
    EXPECT_EQ(log.take(), Lines{waitFor + missing + " TIMEOUT within 1 seconds"});
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
    CoreSystemTest::Child child = CoreSystemTest::Spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{5000, 5000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        return Utilities::CopyFile(src, dst, true, nullptr, nullptr) ? 1 : 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
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

}  // namespace
