// coresys app: an application manager driven line by line on the example device, next to
// "coresys nm" listeners of "CCMEvent" and "NVMgrAction" and "coresys nm send".
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

TEST(CoresysApp, DrivesAnApplicationByLocalNumbers) {
    CoreSystemTest::IsolatedHost host;
    ASSERT_TRUE(CoreSystemTest::LoadDevice());
    ExpectRefused(RunCoresys({"app", "Radio"}), 1, "coresys: no notification registry");
    CreateRegistry();
    auto events = Listen(host, "CCMEvent", {});
    auto nvmgr = Listen(host, "NVMgrAction", {});
    // Held back until Radio serves its endpoint: 9101, a short one, 4242.
    Program sender(kCoresys, {"nm", "send", "RadioAction", "8d2300002a000000", "01", "9210000000", "--timeout", "20"});

    // Each command and the fields its answer must have ("key" and "channelIndex": Radio's key).
    const std::pair<std::string, json> dialogue[] = {
        {"key", {{"ok", true}, {"key", 0}}},
        {"receive 5000", {{"ok", true}, {"id", 1}, {"channelIndex", 0}, {"payload", "2a000000"}}},
        {"receive 5000", {{"ok", true}, {"id", 4242}, {"channelIndex", 0}, {"payload", "00"}}},
        {"receive 10", {{"ok", true}, {"none", true}}},
        {"send-self 9100 ff", {{"ok", true}}},
        {"receive 5000", {{"id", 0}}},
        {"post-event 0 0700", {{"ok", true}}},
        {"post-event 4", {{"error", "no local event 4"}}},
        {"set-vars 5=6.5 99=1 7=258", {{"ok", true}, {"ids", {1, 2}}, {"values", {6.0, 2.0}}}},
        {"var-text 7", {{"ok", true}, {"text", ""}}},  // the value 2 selects none
        {"set-string 0 \"Laut und leise\"", {{"ok", true}}},
        {"string-text 0 0", {{"ok", true}, {"text", "Laut und leise"}}},
        {"nvmgr 2", {{"ok", true}}},
        {"nvmgr 6 0x10", {{"ok", true}}},
        {"nvmgr 6", {{"ok", false}}},
        {"volume up", {{"error", "unknown command 'volume' (see coresys app --help)"}}},
        {"quit", {{"ok", true}}},
    };
    std::string input;
    for (const auto& [command, answer] : dialogue) input += command + "\n";
    const Outcome radio =
        CoreSystemTest::RunProgram("/bin/sh", {"-c", "printf '%s' \"$0\" | \"$1\" app Radio", input, kCoresys});
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
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return events->printed("21030000" "0700\n"); })) << events->output();
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return nvmgr->printed("f223000000000000\n"); })) << nvmgr->output();
    EXPECT_TRUE(nvmgr->printed("f623000010000000\n")) << nvmgr->output();
}

}  // namespace
