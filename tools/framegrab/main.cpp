// FrameGrab: asks the screen service for a screenshot written to the given path, waits until the
// service says the file is written, and reports it.
#include <semaphore.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include "CoreSystem/Platform/Posix.h"
#include "ScreenActionClient.h"

namespace {

constexpr const char* kUsage = "FrameGrab: Argument must be the screenshot file name (full path)";
constexpr const char* kFinished = "FrameGrab: Finished writing file ";

int failWith(const std::string& message) {
    std::cerr << "FrameGrab: " << message << std::endl;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cout << kUsage << std::endl;
        return 1;
    }
    const std::string path = argv[1];
    // A request that cannot be sent would leave us waiting for a screenshot never asked for.
    if (path.size() > static_cast<std::size_t>(kMaxRequestText)) {
        return failWith("the path is longer than " + std::to_string(kMaxRequestText) +
                        " characters; no screenshot was requested");
    }

    ScreenActionClient client;
    client.requestScreenshot(path, 1);
    const int screenshotSent = client.lastResult();
    client.sendAction2();
    if (client.screenshotActionIndex() == -1 || screenshotSent <= 0) {
        return failWith("the screenshot request could not be sent (is the notification registry there?)");
    }

    sem_t* done = CoreSystem::Platform::sem_open(kScreenshotSemaphore, 0);
    if (done == SEM_FAILED) {
        // Without the semaphore there is nothing to wait on. Requests still held back mean the
        // screen service is not running: they would be discarded when we exit.
        if (client.heldBack() > 0) {
            return failWith("the screen service is not running (no " + std::string(kScreenshotSemaphore) +
                            "); the screenshot request was not delivered");
        }
    } else {
        while (sem_wait(done) != 0 && errno == EINTR) {
        }
        struct stat written;
        if (!path.empty() && path[0] == '/' && stat(path.c_str(), &written) != 0) {
            return failWith("the screen service finished, but " + path + " does not exist");
        }
    }
    std::cout << kFinished << path << std::endl;
    return 0;
}
