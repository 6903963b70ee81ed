// FrameGrab run as a process against stand-ins for the screen service (endpoint listeners and a
// semaphore the test posts), so that every ordering of requests, posts and files can be forced:
// it must report success only for its own new file, and fail with a reason otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>

#include "CoreSystem/Platform/Posix.h"
#include "ToolsTestSupport.h"

namespace {

using CoreSystemTest::RunProgram;
using namespace ToolsTest;

/// Expects a failure: status 1, no completion line, "FrameGrab: ..." containing `reason` on stderr.
void ExpectFailure(const Outcome& outcome, const std::string& reason) {
    EXPECT_EQ(outcome.status, 1) << reason;
    EXPECT_EQ(outcome.out.find(kFinished), std::string::npos) << reason;
    EXPECT_EQ(outcome.err.rfind("FrameGrab: ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find(reason), std::string::npos) << reason << " not in: " << outcome.err;
}

/// Replaces `path` as the screen service does: a new file renamed into place.
void WriteFile(const std::string& path) {
    std::ofstream(path + ".new") << "image";
    std::filesystem::rename(path + ".new", path);
}

/// "/ScreenShotWaiting" as the screen service creates it.
sem_t* CreateSemaphore() {
    sem_t* done = CoreSystem::Platform::sem_open("/ScreenShotWaiting", O_CREAT, 0600, 0);
    EXPECT_NE(done, SEM_FAILED);
    return done;
}

class FrameGrab : public ::testing::Test {
protected:
    CoreSystemTest::IsolatedHost host;
};

TEST_F(FrameGrab, RefusesBadCommandLinesAndWhatCannotBeWrittenBeforeRequesting) {
    ExpectFailure(RunProgram(kFrameGrab, {host.root() + "/x.png"}), "no notification registry");
    CreateRegistry();
    sem_t* done = CreateSemaphore();
    std::ofstream(host.root() + "/file") << "not a directory";
    const std::pair<std::string, std::string> paths[] = {
        {"", "the path is empty"},
        {host.root() + "/", "names a directory"},
        {host.root() + "/missing/x.png", "does not exist"},
        {host.root() + "/file/x.png", "is not a directory"},
        {host.root() + "/..", "is a directory"},
        {"/" + std::string(1010, 'p'), "longer than 1010 characters"},
    };
    for (const auto& [path, reason] : paths) ExpectFailure(RunProgram(kFrameGrab, {path}), reason);
    const std::string usage = "FrameGrab: Argument must be the screenshot file name (full path)\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string outStart, errStart;
    };
    const Case cases[] = {
        {{}, 1, usage, ""},
        {{"/a.png", "/b.png"}, 1, usage, ""},
        {{"--help"}, 0, "Usage: FrameGrab [OPTIONS] [--] PATH\n", ""},
        {{"--version"}, 0, "FrameGrab ", ""},
        {{"-x"}, 1, "", "FrameGrab: unknown option '-x'"},
        {{"--timeout", "soon", "/a.png"}, 1, "", "FrameGrab: --timeout needs a number of seconds"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = RunProgram(kFrameGrab, c.args);
        const std::string args = ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.status, c.status) << args;
        EXPECT_EQ(outcome.out.rfind(c.outStart, 0), 0u) << args << ": " << outcome.out;
        EXPECT_EQ(outcome.err.rfind(c.errStart, 0), 0u) << args << ": " << outcome.err;
    }
    const Outcome list = RunCoresys({"nm", "list"});
    EXPECT_NE(list.out.find("0 claimed"), std::string::npos) << "something was requested:\n" << list.out;
    // No receiver and no semaphore: nothing would ever deliver the request. After "--", "-x" is
    // a file name: it gets as far as looking for the screen service.
    sem_close(done);
    CoreSystem::Platform::sem_unlink("/ScreenShotWaiting");
    ExpectFailure(RunProgram(kFrameGrab, {"--", "-x"}), "no screen service is running");
}

TEST_F(FrameGrab, EachOfTenReportsItsOwnFileWhateverTheOrderOfPostsAndFiles) {
    CreateRegistry();
    sem_t* done = CreateSemaphore();
    auto screenshot = Listen(host, "ScreenshotAction");
    auto screen = Listen(host, "ScreenAction");
    constexpr int kCommands = 10;
    constexpr int kNeverWritten = 3;  // its old file stays; it is posted for all the same
    std::vector<std::string> paths;
    std::vector<std::unique_ptr<Program>> commands;
    for (int i = 0; i < kCommands; ++i) {
        paths.push_back(host.root() + "/shot-" + std::to_string(i) + ".png");
        if (i == kNeverWritten) WriteFile(paths.back());
        commands.push_back(std::make_unique<Program>(kFrameGrab, std::vector<std::string>{"--timeout", "4", paths.back()}));
    }
    ASSERT_TRUE(CoreSystemTest::Eventually([&] {
        screenshot->printed("");
        return std::count(screenshot->output().begin(), screenshot->output().end(), '\n') == kCommands;
    })) << screenshot->output();
    // Last asked, first served; posts before and after files, and one post for no new file.
    for (int i = kCommands - 1; i >= 0; --i) {
        if (i % 2 == 0) sem_post(done);
        if (i != kNeverWritten) WriteFile(paths[i]);
        if (i % 2 == 1) sem_post(done);
    }
    for (int i = 0; i < kCommands; ++i) {
        const Outcome outcome = commands[i]->finish();
        if (i == kNeverWritten) {
            ExpectFailure(outcome, "no new file at " + paths[i] + " within 4 s");
        } else {
            EXPECT_EQ(outcome.status, 0) << i << ": " << outcome.err;
            EXPECT_EQ(outcome.out, kFinished + paths[i] + "\n");
        }
    }
}

TEST_F(FrameGrab, NoticesAServiceThatIsGoneOrNeverComes) {
    CreateRegistry();
    CreateSemaphore();
    const auto start = std::chrono::steady_clock::now();
    // Semaphore there, nobody serves: held back until the deadline.
    ExpectFailure(RunProgram(kFrameGrab, {"--timeout", "0.3", host.root() + "/a.png"}),
                  "no screen service took the request within 0.3 s");
    {
        auto screen = Listen(host, "ScreenAction");
        auto screenshot = Listen(host, "ScreenshotAction");
        Program command(kFrameGrab, {"--timeout", "30", host.root() + "/b.png"});
        ASSERT_TRUE(CoreSystemTest::Eventually([&] { return screenshot->printed("\n"); }));
        kill(screenshot->pid(), SIGKILL);
        screenshot->finish();  // reaped, as its parent would
        ExpectFailure(command.finish(), "went away before it wrote");
    }
    // What the killed service left behind (its semaphore and its pid in the registry) must not
    // make the next command wait.
    const Outcome next = RunProgram(kFrameGrab, {"--timeout", "30", host.root() + "/c.png"});
    ExpectFailure(next, "screen service");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "waited for a deadline";
}

}  // namespace
