// FrameGrab against stand-ins for the screen service (listeners, a semaphore the test posts): success
// only for its own new file, a reason otherwise. Its request client: the bytes sent, lastResult().
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "ScreenActionClient.h"
#include "ToolsTestSupport.h"

namespace {

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

TEST(FrameGrab, RefusesWhatCannotBeWrittenNoticesAServiceGoneOrNeverComingAndReportsOnlyItsOwnFile) {
    IsolatedHost host;
    ExpectFailure(RunProgram(kFrameGrab, {host.root() + "/x.png"}), "no notification registry");
    CreateRegistry();
    sem_t* done = ScreenShotSemaphore();
    std::ofstream(host.root() + "/file") << "not a directory";
    const std::string usage = "FrameGrab: Argument must be the screenshot file name (full path)\n";
    const std::pair<std::vector<std::string>, std::string> refused[] = {  // the arguments, the reason given
        {{""}, "the path is empty"},
        {{host.root() + "/"}, "names a directory"},
        {{host.root() + "/missing/x.png"}, "does not exist"},
        {{host.root() + "/file/x.png"}, "is not a directory"},
        {{host.root() + "/.."}, "is a directory"},
        {{"/" + std::string(1010, 'p')}, "longer than 1010 characters"},
        {{"-x"}, "unknown option '-x'"},
        {{"--timeout", "soon", "/a.png"}, "--timeout needs a number of seconds"},
    };
    for (const auto& [args, reason] : refused) ExpectFailure(RunProgram(kFrameGrab, args), reason);
    struct Answer {
        std::vector<std::string> args;
        int status;
        std::string outStart;
    };
    const Answer answers[] = {{{}, 1, usage}, {{"/a.png", "/b.png"}, 1, usage}, {{"--version"}, 0, "FrameGrab "},
                              {{"--help"}, 0, "Usage: FrameGrab [OPTIONS] [--] PATH\n"}};
    for (const Answer& a : answers) {
        const Outcome outcome = RunProgram(kFrameGrab, a.args);
        EXPECT_EQ(outcome.status, a.status) << a.outStart;
        EXPECT_EQ(outcome.out.rfind(a.outStart, 0), 0u) << outcome.out;
    }
    const Outcome list = RunCoresys({"nm", "list"});
    EXPECT_NE(list.out.find("0 claimed"), std::string::npos) << "something was requested:\n" << list.out;

    // No receiver, no semaphore: nothing would deliver it. After "--", "-x" is a file name.
    sem_close(done);
    CoreSystem::Platform::sem_unlink("/ScreenShotWaiting");
    ExpectFailure(RunProgram(kFrameGrab, {"--", "-x"}), "no screen service is running");
    done = ScreenShotSemaphore();

    const auto start = std::chrono::steady_clock::now();
    ExpectFailure(RunProgram(kFrameGrab, {"--timeout", "0.3", host.root() + "/a.png"}),
                  "no screen service took the request within 0.3 s");  // semaphore there, nobody serves
    {
        auto screen = Listen(host, "ScreenAction");
        auto screenshot = Listen(host, "ScreenshotAction");
        Program command(kFrameGrab, {"--timeout", "30", host.root() + "/b.png"});
        ASSERT_TRUE(Eventually([&] { return screenshot->printed("\n"); }));
        kill(screenshot->pid(), SIGKILL);
        screenshot->finish();  // reaped, as its parent would
        ExpectFailure(command.finish(), "went away before it wrote");
    }
    // The killed service's semaphore and registry entry must not make the next command wait.
    ExpectFailure(RunProgram(kFrameGrab, {"--timeout", "30", host.root() + "/c.png"}), "screen service");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "waited for a deadline";

    // A new service: each of ten commands reports its own file, whatever the order of posts and files.
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
    ASSERT_TRUE(Eventually([&] {
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

/// Little-endian 32-bit words, then `text` with its NUL when there is one.
std::string Request(const std::vector<int>& words, const char* text = nullptr) {
    std::string bytes;
    for (int word : words)
        for (int b = 0; b < 4; ++b) bytes += static_cast<char>(static_cast<unsigned>(word) >> (8 * b));
    return text ? bytes + text + '\0' : bytes;
}

/// Every client request against a receiver of both endpoints; one line per mismatch in `problems`.
void RunClientCases(std::ostream& problems) {
    const std::string longest(kMaxRequestText, 'p');
    struct Case {
        const char* what;
        std::function<void(ScreenActionClient&)> call;
        bool screenshot;
        std::string bytes;  ///< empty: nothing may be sent
    } cases[] = {
        {"code 2", [](auto& c) { c.sendAction2(); }, false, Request({2, 0})},
        {"longest path", [&](auto& c) { c.requestScreenshot(longest, 1); }, true, Request({100, 0, 1}, longest.c_str())},
        {"path too long", [&](auto& c) { c.requestScreenshot(longest + "p", 1); }, true, ""},
        {"shorter path after it", [](auto& c) { c.requestScreenshot("ab", 7); }, true, Request({100, 0, 7}, "ab")},
        {"text and word", [](auto& c) { c.sendAction101(3, "hi", 4); }, false, Request({101, 3, 4}, "hi")},
        {"105 below 0", [](auto& c) { c.sendAction105(5, -1); }, false, Request({105, 5, 0})},
        {"105 at 100", [](auto& c) { c.sendAction105(5, 100); }, false, Request({105, 5, 100})},
        {"105 above 100", [](auto& c) { c.sendAction105(5, 101); }, false, Request({105, 5, 100})},
        {"107", [](auto& c) { c.sendAction107(9, -2); }, false, Request({107, 0, -2})},
    };
    {
        ScreenActionClient unresolved;  // no registry yet: the request cannot go out
        unresolved.requestScreenshot("/x.png", 1);
        if (unresolved.lastResult() != -1) problems << "without a registry: " << unresolved.lastResult() << "\n";
    }
    NM::createRegistry(8);
    NM::NMClient service(true);
    const int indexes[] = {service.getChannelIndex(kScreenActionEndpoint),
                           service.getChannelIndex(kScreenshotActionEndpoint)};
    for (int index : indexes) service.openReceiveChannel(index);
    ScreenActionClient client;
    std::vector<char> buffer(NM::kMaxPayload);
    for (const Case& c : cases) {
        c.call(client);
        if (client.lastResult() != static_cast<int>(c.bytes.size()))
            problems << c.what << ": lastResult " << client.lastResult() << "\n";
        // Requests go out synchronously. After a refused one, a marker must be the next frame.
        if (c.bytes.empty()) client.sendAction0(-7);
        int index = -1, size = -1;
        Eventually([&] { return (size = service.recvMsg(&index, buffer.data(), NM::kMaxPayload)) >= 0; },
                   std::chrono::seconds(3));
        const std::string got(buffer.data(), static_cast<std::size_t>(std::max(size, 0)));
        const bool wanted = c.bytes.empty() ? index == indexes[0] && got == Request({0, -7})
                                            : index == indexes[c.screenshot] && got == c.bytes;
        if (!wanted) problems << c.what << ": received " << size << " bytes on index " << index << "\n";
    }
}

TEST(ScreenActionClient, SendsEachRequestAsItsExactRecordAndReportsTheResult) {
    IsolatedHost host;  // in a child: the client's registry is the process's own
    EXPECT_EQ(RunInChild([] {
        std::ostringstream problems;
        RunClientCases(problems);
        std::cerr << problems.str() << std::flush;
        return problems.str().empty() ? 0 : 1;
    }), 0);
}

}  // namespace
