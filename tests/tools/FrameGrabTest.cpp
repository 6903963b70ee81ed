// FrameGrab run as a process against the simulated device's pieces: exact request bytes, the
// usage line, and every case in which no screenshot may be reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Posix.h"
#include "TestSupport.h"

namespace {

using CoreSystemTest::Child;
using CoreSystemTest::Outcome;
using CoreSystemTest::RunProgram;

const std::string kFinished = "FrameGrab: Finished writing file ";
const std::string kFrameGrab = CoreSystemTest::BuildDirectory() + "/tools/framegrab/FrameGrab";
const std::string kCoresys = CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";

/// The screenshot request FrameGrab must send for `path`, in hex: code 100, 0, flag 1, text, NUL.
std::string screenshotRequest(const std::string& path) {
    std::ostringstream hex;
    for (unsigned char c : path) hex << std::hex << std::setw(2) << std::setfill('0') << int(c);
    return "640000000000000001000000" + hex.str() + "00";
}

/// True when process `pid` has a thread named `name`.
bool hasThread(pid_t pid, const std::string& name) {
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string comm;
        if (std::getline(std::ifstream(task.path() / "comm"), comm) && comm == name) return true;
    }
    return false;
}

class FrameGrab : public ::testing::Test {
protected:
    void createRegistry() { ASSERT_EQ(RunProgram(kCoresys, {"nm", "create"}).status, 0); }

    /// Starts `coresys nm listen` for one message on an endpoint and waits until it is published.
    Child listen(const std::string& endpoint) {
        const std::string ready = host.root() + "/ready-" + endpoint;
        std::filesystem::remove(ready);
        Child listener = CoreSystemTest::SpawnProgram(
            kCoresys, {"nm", "listen", endpoint, "--count", "1", "--timeout", "10", "--ready-file", ready},
            true);
        EXPECT_TRUE(CoreSystemTest::Eventually([&] { return std::filesystem::exists(ready); }));
        return listener;
    }

    /// What a listener printed; it must end well.
    static std::string heard(Child& listener) {
        const std::string out = CoreSystemTest::ReadOutput(listener);
        EXPECT_EQ(CoreSystemTest::Wait(listener), 0);
        return out;
    }

    CoreSystemTest::IsolatedHost host;
};

TEST_F(FrameGrab, WrongArgumentCountPrintsUsageAndSendsNothing) {
    createRegistry();
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"/a.png", "/b.png"}}) {
        Outcome outcome = RunProgram(kFrameGrab, args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "FrameGrab: Argument must be the screenshot file name (full path)\n");
        EXPECT_EQ(outcome.err, "");
    }
    Outcome list = RunProgram(kCoresys, {"nm", "list", "--json"});
    EXPECT_NE(list.out.find("\"endpoints\":[]"), std::string::npos) << list.out;  // nothing claimed
}

TEST_F(FrameGrab, SendsBothRequestsWithTheirExactBytes) {
    createRegistry();
    for (const std::string& path :
         {std::string("/tmp/shot one.png"), std::string(), std::string(1010, 'p')}) {
        Child screen = listen("ScreenAction");
        Child screenshot = listen("ScreenshotAction");
        // Without "/ScreenShotWaiting" there is nothing to wait on; the requests were delivered.
        Outcome outcome = RunProgram(kFrameGrab, {path});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, kFinished + path + "\n");
        EXPECT_EQ(heard(screenshot), "1 " + screenshotRequest(path) + "\n");
        EXPECT_EQ(heard(screen), "0 0200000000000000\n");
    }
}

TEST_F(FrameGrab, WaitsForTheServiceAndDeliversRequestsHeldBackMeanwhile) {
    createRegistry();
    sem_t* done = CoreSystem::Platform::sem_open("/ScreenShotWaiting", O_CREAT, 0666, 0);
    ASSERT_NE(done, SEM_FAILED);
    const std::string path = host.root() + "/later.png";
    CoreSystemTest::Program command(kFrameGrab, {path});
    // The service comes up after the command has held its requests back (its NM client then runs
    // a "transmitQueue" thread); they must reach the service.
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return hasThread(command.pid(), "transmitQueue"); }));
    Child screenshot = listen("ScreenshotAction");
    Child screen = listen("ScreenAction");
    // Which endpoint was claimed first depends on who came first: compare the payloads only.
    auto payload = [](const std::string& line) { return line.substr(line.find(' ') + 1); };
    EXPECT_EQ(payload(heard(screenshot)), screenshotRequest(path) + "\n");
    EXPECT_EQ(payload(heard(screen)), "0200000000000000\n");
    std::ofstream(path) << "image";
    sem_post(done);
    Outcome outcome = command.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // Without the NM layer's own "pid <n> ..." lines about delivering what it held back.
    EXPECT_EQ(std::regex_replace(outcome.out, std::regex("pid [^\n]*\n"), ""), kFinished + path + "\n");
}

TEST_F(FrameGrab, NeverReportsAScreenshotThatWasNotTaken) {
    auto expectRefusal = [](const Outcome& outcome, const std::string& why) {
        EXPECT_EQ(outcome.status, 1) << why;
        EXPECT_EQ(outcome.out.find(kFinished), std::string::npos) << why;
        EXPECT_EQ(outcome.err.rfind("FrameGrab: ", 0), 0u) << why << ": " << outcome.err;
    };
    expectRefusal(RunProgram(kFrameGrab, {"/tmp/x.png"}), "no registry: nothing can be sent or held back");
    createRegistry();
    expectRefusal(RunProgram(kFrameGrab, {"/" + std::string(1010, 'p')}), "path too long for a request");
    // No service and no semaphore: the requests could only be held back and would be lost.
    expectRefusal(RunProgram(kFrameGrab, {"/tmp/x.png"}), "service not running");
    // The service posts without having written the file.
    sem_t* done = CoreSystem::Platform::sem_open("/ScreenShotWaiting", O_CREAT, 0666, 0);
    ASSERT_NE(done, SEM_FAILED);
    CoreSystemTest::Program command(kFrameGrab, {host.root() + "/missing.png"});
    Child screenshot = listen("ScreenshotAction");
    heard(screenshot);
    sem_post(done);
    expectRefusal(command.finish(), "file missing after the wait");
}

}  // namespace
