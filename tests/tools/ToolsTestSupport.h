// What the tool tests share: the built programs, a registry, and programs started and waited for.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CoreSystem/Platform/Posix.h"
#include "TestSupport.h"

namespace ToolsTest {

using namespace CoreSystemTest;

inline const std::string kTools = CoreSystemTest::BuildDirectory() + "/tools/";
inline const std::string kCoresys = kTools + "coresys/coresys";
inline const std::string kFrameGrab = kTools + "framegrab/FrameGrab";
inline const std::string kFinished = "FrameGrab: Finished writing file ";
inline const std::string kExample = std::string(CORESYSTEM_SOURCE_DIR) + "/docs/examples/radio.json";

/// The shared-memory objects and semaphores of the host's namespace in /dev/shm, but `except`.
inline std::vector<std::string> SharedObjects(const IsolatedHost& host, const std::string& except = "") {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename();
        if (name.find(host.word() + ".") != std::string::npos && name != host.word() + "." + except)
            names.push_back(name);
    }
    return names;
}

/// Expects `outcome` to have ended with `status` and an error that contains `text`.
inline void ExpectRefused(const Outcome& outcome, int status, const std::string& text) {
    EXPECT_EQ(outcome.status, status) << text;
    EXPECT_NE(outcome.err.find(text), std::string::npos) << text << " not in: " << outcome.err;
}

/// "/ScreenShotWaiting" as the screen service creates it, or opened with the posts it holds.
inline sem_t* ScreenShotSemaphore(unsigned posts = 0) {
    sem_t* semaphore = CoreSystem::Platform::sem_open("/ScreenShotWaiting", O_CREAT, 0600, posts);
    EXPECT_NE(semaphore, SEM_FAILED);
    return semaphore;
}

inline void CreateRegistry() {
    ASSERT_EQ(RunCoresys({"nm", "create"}).status, 0);
}

/// Starts `coresys <command...> --ready-file F` and waits until F exists.
inline std::unique_ptr<Program> StartReady(const IsolatedHost& host, std::vector<std::string> args,
                                           const CoreSystemTest::Environment& environment = {}) {
    static int started = 0;
    const std::string ready = host.root() + "/ready-" + std::to_string(++started);
    args.insert(args.end(), {"--ready-file", ready});
    auto program = std::make_unique<Program>(kCoresys, args, environment);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return std::filesystem::exists(ready); }))
        << "coresys " << args.at(0) << " did not get ready: " << program->output();
    return program;
}

/// `coresys nm listen ENDPOINT ARGS...`, published.
inline std::unique_ptr<Program> Listen(const IsolatedHost& host, const std::string& endpoint,
                                       std::vector<std::string> args = {"--timeout", "20"}) {
    args.insert(args.begin(), {"nm", "listen", endpoint});
    return StartReady(host, args);
}

}  // namespace ToolsTest
