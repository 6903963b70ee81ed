// What the tool tests share: the built programs, a registry, and an endpoint receiver or a screen
// service started and waited for.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace ToolsTest {

using CoreSystemTest::Outcome;
using CoreSystemTest::Program;

inline std::string Tool(const std::string& path) {
    return CoreSystemTest::BuildDirectory() + "/tools/" + path;
}
inline const std::string kCoresys = Tool("coresys/coresys");
inline const std::string kFrameGrab = Tool("framegrab/FrameGrab");
inline const std::string kFinished = "FrameGrab: Finished writing file ";

inline Outcome RunCoresys(const std::vector<std::string>& args) {
    return CoreSystemTest::RunProgram(kCoresys, args);
}

inline void CreateRegistry() {
    ASSERT_EQ(RunCoresys({"nm", "create"}).status, 0);
}

/// Starts `coresys <command...> --ready-file F` and waits until F exists.
inline std::unique_ptr<Program> StartReady(const CoreSystemTest::IsolatedHost& host, std::vector<std::string> args,
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
inline std::unique_ptr<Program> Listen(const CoreSystemTest::IsolatedHost& host, const std::string& endpoint,
                                       std::vector<std::string> args = {"--timeout", "20"}) {
    args.insert(args.begin(), {"nm", "listen", endpoint});
    return StartReady(host, args);
}

/// `coresys screen-service ARGS...` on a new registry, both endpoints published.
inline std::unique_ptr<Program> StartService(const CoreSystemTest::IsolatedHost& host, std::vector<std::string> args,
                                             const CoreSystemTest::Environment& environment = {}) {
    CreateRegistry();
    args.insert(args.begin(), "screen-service");
    return StartReady(host, args, environment);
}

}  // namespace ToolsTest
