// FrameGrab run as a process against the simulated device's pieces: exact request bytes, the
// usage line, and every case in which no screenshot may be reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Posix.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using CoreSystemTest::Child;
using CoreSystemTest::Outcome;

const std::string kUsage = "FrameGrab: Argument must be the screenshot file name (full path)\n";
const std::string kFinished = "FrameGrab: Finished writing file ";

std::string frameGrab() {
    return CoreSystemTest::BuildDirectory() + "/tools/framegrab/FrameGrab";
}
std::string coresys() {
    return CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";
}

std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

/// The screenshot request FrameGrab must send for `path`: code 100, word 1 = 0, flag 1, text, NUL.
std::string screenshotRequest(const std::string& path) {
    return std::string("\x64\0\0\0\0\0\0\0\x01\0\0\0", 12) + path + std::string(1, '\0');
}

/// True when process `pid` has a thread named `name`.
bool hasThread(pid_t pid, const std::string& name) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm == name) return true;
    }
    return false;
}

class FrameGrab : public ::testing::Test {
protected:
    void createRegistry() { ASSERT_EQ(CoreSystemTest::RunProgram(coresys(), {"nm", "create"}).status, 0); }

    /// Starts `coresys nm listen` on an endpoint and waits until it is published.
    Child listen(const std::string& endpoint, int count) {
        const std::string ready = host.root() + "/ready-" + endpoint;
        unlink(ready.c_str());
        Child listener =
            CoreSystemTest::SpawnProgram(coresys(),
                                         {"nm", "listen", endpoint, "--count", std::to_string(count),
                                          "--timeout", "10", "--ready-file", ready},
                                         true);
        EXPECT_TRUE(CoreSystemTest::Eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
        return listener;
    }

    sem_t* createSemaphore() {
        sem_t* semaphore = CoreSystem::Platform::sem_open("/ScreenShotWaiting", O_CREAT, 0666, 0);
        EXPECT_NE(semaphore, SEM_FAILED);
        return semaphore;
    }

    CoreSystemTest::IsolatedHost host;
};

TEST_F(FrameGrab, WrongArgumentCountPrintsUsageAndSendsNothing) {
    createRegistry();
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"/a.png", "/b.png"}}) {
        Outcome outcome = CoreSystemTest::RunProgram(frameGrab(), args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, kUsage);
        EXPECT_EQ(outcome.err, "");
    }
    Outcome list = CoreSystemTest::RunProgram(coresys(), {"nm", "list", "--json"});
    EXPECT_NE(list.out.find("\"endpoints\":[]"), std::string::npos) << list.out;  // nothing claimed
}

TEST_F(FrameGrab, SendsBothRequestsWithTheirExactBytes) {
    createRegistry();
    for (const std::string& path :
         {std::string("/tmp/shot one.png"), std::string(), std::string(1010, 'p')}) {
        Child screen = listen("ScreenAction", 1);
        Child screenshot = listen("ScreenshotAction", 1);
        // Without "/ScreenShotWaiting" there is nothing to wait on; the requests were delivered.
        Outcome outcome = CoreSystemTest::RunProgram(frameGrab(), {path});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, kFinished + path + "\n");
        EXPECT_EQ(CoreSystemTest::ReadOutput(screenshot), "1 " + hexOf(screenshotRequest(path)) + "\n");
        EXPECT_EQ(CoreSystemTest::ReadOutput(screen), "0 0200000000000000\n");
        EXPECT_EQ(CoreSystemTest::Wait(screenshot), 0);
        EXPECT_EQ(CoreSystemTest::Wait(screen), 0);
    }
}

TEST_F(FrameGrab, WaitsForTheServiceAndDeliversRequestsHeldBackMeanwhile) {
    createRegistry();
    sem_t* done = createSemaphore();
    const std::string path = host.root() + "/later.png";
    CoreSystemTest::Program command(frameGrab(), {path});
    // The service comes up after the command has held its requests back (its NM client then runs
    // a "transmitQueue" thread); they must reach the service.
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return hasThread(command.pid(), "transmitQueue"); }));
    Child screenshot = listen("ScreenshotAction", 1);
    Child screen = listen("ScreenAction", 1);
    // Which endpoint was claimed first depends on who came first: compare the payloads only.
    auto payload = [](const std::string& line) { return line.substr(line.find(' ') + 1); };
    EXPECT_EQ(payload(CoreSystemTest::ReadOutput(screenshot)), hexOf(screenshotRequest(path)) + "\n");
    EXPECT_EQ(payload(CoreSystemTest::ReadOutput(screen)), "0200000000000000\n");
    std::ofstream(path) << "image";
    sem_post(done);
    Outcome outcome = command.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // The NM layer's own lines about delivering what it held back may come first.
    const std::string finished = kFinished + path + "\n";
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min(outcome.out.size(), finished.size())),
              finished);
    CoreSystemTest::Wait(screenshot);
    CoreSystemTest::Wait(screen);
}

TEST_F(FrameGrab, NeverReportsAScreenshotThatWasNotTaken) {
    auto expectRefusal = [](const Outcome& outcome, const std::string& why) {
        EXPECT_EQ(outcome.status, 1) << why;
        EXPECT_EQ(outcome.out.find(kFinished), std::string::npos) << why;
        EXPECT_EQ(outcome.err.rfind("FrameGrab: ", 0), 0u) << why << ": " << outcome.err;
    };
    // No registry: nothing can be sent or held back.
    expectRefusal(CoreSystemTest::RunProgram(frameGrab(), {"/tmp/x.png"}), "no registry");
    createRegistry();
    // A path that does not fit a request.
    expectRefusal(CoreSystemTest::RunProgram(frameGrab(), {"/" + std::string(1010, 'p')}), "path too long");
    // No service and no semaphore: the requests could only be held back and would be lost.
    expectRefusal(CoreSystemTest::RunProgram(frameGrab(), {"/tmp/x.png"}), "service not running");
    // The service posts without having written the file.
    sem_t* done = createSemaphore();
    CoreSystemTest::Program command(frameGrab(), {host.root() + "/missing.png"});
    Child screenshot = listen("ScreenshotAction", 1);
    CoreSystemTest::ReadOutput(screenshot);
    sem_post(done);
    expectRefusal(command.finish(), "file missing after the wait");
    CoreSystemTest::Wait(screenshot);
}

}  // namespace
