// The example device through coresys: its database with a watcher of its events, an application
// driven line by line ("coresys app"), and scripts/device.sh bringing the device up and down.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

TEST(CoresysDevice, DatabaseCommandsAndAnApplicationDrivenByLocalNumbers) {
    IsolatedHost host;
    EXPECT_NE(RunCoresys({"db", "get", "Volume"}).err.find("no database"), std::string::npos);
    ASSERT_EQ(RunCoresys({"db", "create", kExample}).out, "/DBSHM: 2 variables\n");
    EXPECT_NE(RunCoresys({"db", "create", kExample}).err.find("exists already"), std::string::npos);
    ASSERT_EQ(RunCoresys({"db", "create", kExample, "--replace"}).status, 0);
    EXPECT_NE(RunCoresys({"db", "list"}).err.find("no configuration image is loaded"), std::string::npos);

    ASSERT_TRUE(LoadDevice());  // the image; its database replaces the one above
    ExpectRefused(RunCoresys({"app", "Radio"}), 1, "coresys: no notification registry");
    CreateRegistry();
    auto watcher = StartReady(host, {"db", "watch", "--count", "5"});

    EXPECT_EQ(RunCoresys({"db", "list"}).out, "1 Volume 0 valid\n2 Mute 0 not-valid\n");
    EXPECT_EQ(RunCoresys({"db", "set", "Volume", "7.9"}).out, "1 Volume 7 valid\n");         // event 77
    EXPECT_EQ(RunCoresys({"db", "set", "1", "7"}).out, "1 Volume 7 valid\n");                // unchanged: none
    EXPECT_EQ(RunCoresys({"db", "set-many", "Mute=258", "Volume=-3"}).out, "2 Mute 2\n1 Volume -3\n");  // 78, 77
    EXPECT_EQ(RunCoresys({"db", "step", "up", "Mute"}).out, "2 Mute 0 valid\n");             // wraps: 78
    EXPECT_EQ(RunCoresys({"db", "text", "Mute"}).out, "Aus\n");                              // string 2, culture 1
    EXPECT_EQ(RunCoresys({"db", "step", "down", "2"}).out, "2 Mute 2 valid\n");
    EXPECT_EQ(RunCoresys({"db", "text", "Mute"}).status, 1);  // the value 2 has no string

    const Outcome got = RunCoresys({"db", "get", "Mute", "--json"});
    ASSERT_EQ(got.status, 0) << got.err;
    const json mute = json::parse(got.out);
    EXPECT_EQ(mute.at("validUntil").get<std::uint64_t>() - mute.at("lastChange").get<std::uint64_t>(), 5000u);
    EXPECT_EQ(mute, (json{{"id", 2}, {"name", "Mute"}, {"value", 2}, {"valid", true},
                          {"lastChange", mute.at("lastChange")}, {"validUntil", mute.at("validUntil")},
                          {"type", "i8"}, {"eventCode", 78}, {"timeoutMs", 5000}}));
    ASSERT_EQ(RunCoresys({"db", "invalidate", "Mute", "Volume"}).status, 0);
    const json all = json::parse(RunCoresys({"db", "list", "--json"}).out);
    EXPECT_EQ(all.at(0).at("timeoutMs"), nullptr);
    EXPECT_EQ(all.at(0).at("valid"), true);  // never expires
    EXPECT_EQ(all.at(1).at("valid"), false);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"db", "get", "Loudness"}, {"db", "get", "10000"},
                                                                 {"db", "set", "Volume", "loud"}, {"db", "set-many", "Volume"}}) {
        const Outcome refused = RunCoresys(bad);
        EXPECT_NE(refused.status, 0) << bad[2];
        EXPECT_EQ(refused.err.rfind("coresys: ", 0), 0u) << refused.err;
    }

    const Outcome watched = watcher->finish(std::chrono::seconds(10));
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out, "77\n78\n77\n78\n78\n");

    SCOPED_TRACE("coresys app Radio");
    auto events = Listen(host, "CCMEvent", {});
    auto nvmgr = Listen(host, "NVMgrAction", {});
    // Held back until Radio serves its endpoint: 9101, a short one, 4242.
    Program sender(kCoresys, {"nm", "send", "RadioAction", "8d2300002a000000", "01", "9210000000", "--timeout", "20"});

    // Each command and its answer's fields ("key" and "channelIndex": Radio's key).
    const std::pair<std::string, json> dialogue[] = {
        {"key", {{"ok", true}, {"key", 0}}},
        {"receive 5000", {{"ok", true}, {"id", 1}, {"channelIndex", 0}, {"payload", "2a000000"}}},
        {"receive 5000", {{"ok", true}, {"id", 4242}, {"channelIndex", 0}, {"payload", "00"}}},
        {"receive 10", {{"ok", true}, {"none", true}}},
        {"send-self 9100 ff", {{"ok", true}}}, {"receive 5000", {{"id", 0}}},
        {"post-event 0 0700", {{"ok", true}}}, {"post-event 4", {{"error", "no local event 4"}}},
        {"set-vars 5=6.5 99=1 7=258", {{"ok", true}, {"ids", {1, 2}}, {"values", {6.0, 2.0}}}},
        {"var-text 7", {{"ok", true}, {"text", ""}}},  // the value 2 selects none
        {"set-string 0 \"Laut und leise\"", {{"ok", true}}},
        {"string-text 0 0", {{"ok", true}, {"text", "Laut und leise"}}},
        {"nvmgr 2", {{"ok", true}}}, {"nvmgr 6 0x10", {{"ok", true}}}, {"nvmgr 6", {{"ok", false}}},
        {"volume up", {{"error", "unknown command 'volume' (see coresys app --help)"}}},
        {"quit", {{"ok", true}}},
    };
    std::string input;
    for (const auto& [command, answer] : dialogue) input += command + "\n";
    const Outcome radio = RunProgram("/bin/sh", {"-c", "printf '%s' \"$0\" | \"$1\" app Radio", input, kCoresys});
    EXPECT_EQ(radio.status, 0) << radio.err;
    std::istringstream lines(radio.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << radio.err;
    const json ready = json::parse(line);
    ASSERT_EQ(ready.value("ready", false), true) << line;
    for (const auto& [command, answer] : dialogue) {
        ASSERT_TRUE(std::getline(lines, line)) << "no answer to " << command;
        const json got = json::parse(line);
        for (const auto& [field, value] : answer.items())
            EXPECT_EQ(got[field], field == "key" || field == "channelIndex" ? ready.at("key") : value) << command;
    }

    // The event in its message (801 with the payload), the variables' events, the strings' event.
    EXPECT_TRUE(Eventually([&] { return events->printed("21030000" "0700\n"); })) << events->output();
    EXPECT_TRUE(Eventually([&] { return nvmgr->printed("f223000000000000\n"); })) << nvmgr->output();
    EXPECT_TRUE(nvmgr->printed("f623000010000000\n")) << nvmgr->output();
}

TEST(DeviceScript, StartsTheWholeDeviceAndStopsItCleanly) {
    const std::string script = std::string(CORESYSTEM_SOURCE_DIR) + "/scripts/device.sh";
    for (const bool interrupt : {false, true}) {
        SCOPED_TRACE(interrupt ? "Ctrl-C" : "device.sh stop");
        IsolatedHost host;
        const Environment environment = {
            {"BUILD_DIR", BuildDirectory()}, {"DEVICE_SKIP_BUILD", "1"},
            {"DEVICE_NAMESPACE", host.word()}, {"DEVICE_STATE", host.root() + "/device.pid"}};
        Program device(script, {}, environment);
        ASSERT_TRUE(Eventually([&] { return device.printed("tick 1:"); }, std::chrono::seconds(15)))
            << "the device did not come up with Radio ticking; it printed:\n" << device.output();
        for (const char* part : {"Notification", "BINARY_CONFIGURATION", "DBSHM", "ListManager"}) {
            EXPECT_TRUE(std::filesystem::exists(std::string("/dev/shm/") + host.word() + "." + part)) << part;
        }
        if (interrupt) {
            ASSERT_EQ(kill(device.pid(), SIGINT), 0);
        } else {
            Program stop(script, {"stop"}, environment);
            EXPECT_EQ(stop.finish().status, 0);
        }
        const Outcome outcome = device.finish(std::chrono::seconds(15));
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("device: stopped"), std::string::npos) << outcome.out;
        EXPECT_EQ(SharedObjects(host), std::vector<std::string>{});
        EXPECT_FALSE(std::filesystem::exists(host.root() + "/device.pid"));
    }
}

}  // namespace
