// The "coresys nm" commands, run as the built program in child processes of an isolated host.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <regex>

#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;

/// Expects the program to have ended with `status` after printing exactly `out`.
void ExpectEnded(const Outcome& outcome, int status, const std::string& out) {
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_EQ(outcome.out, out);
}

TEST(CoresysNm, ManagesTheRegistryAndItsEndpointsRefusesWhatFailsAndSaysWhatBecameOfEachMessage) {
    IsolatedHost host;
    const std::string registry = "/" + host.word() + ".Notification";
    ExpectRefused(RunCoresys({"nm", "list"}), 1, "coresys: no registry " + registry);
    ExpectRefused(RunCoresys({"nm", "create", "--slots", "0"}), 2, "--slots");
    EXPECT_EQ(RunCoresys({"nm", "create", "--slots", "8"}).status, 0);
    ExpectRefused(RunCoresys({"nm", "create"}), 1, "coresys: registry " + registry + " already exists");

    // Bad or empty payloads: not even the valid first message is sent ("Target" stays unclaimed).
    for (const std::string bad : {"abc", "0g", ""}) {
        Outcome refused = RunCoresys({"nm", "send", "Target", "01", bad});
        ExpectEnded(refused, 2, "");
        EXPECT_EQ(refused.err.rfind("coresys: message 2 ", 0), 0u) << refused.err;
    }
    auto listener = Listen(host, "Alpha");
    ExpectRefused(RunCoresys({"nm", "listen", "Alpha", "--timeout", "0.1"}), 1,
                  "endpoint 'Alpha' is served by process " + std::to_string(listener->pid()));
    // Nobody serves "Beta": its message waits for a receiver and is not delivered.
    Outcome held = RunCoresys({"nm", "send", "Beta", "01", "--timeout", "0.2"});
    ExpectEnded(held, 1, "1 held back\n1 not delivered\n");
    EXPECT_NE(held.err.find("1 of 1 message(s) to 'Beta' not delivered"), std::string::npos) << held.err;

    const Outcome listed = RunCoresys({"nm", "list", "--json"});
    const auto document = nlohmann::json::parse(listed.out);
    const nlohmann::json alpha = {{"index", 0}, {"name", "Alpha"}, {"pid", listener->pid()},
                                  {"chid", document["endpoints"][0]["chid"]}, {"alive", true}};
    const nlohmann::json beta = {{"index", 1}, {"name", "Beta"}, {"pid", -1}, {"chid", -1}, {"alive", false}};
    EXPECT_EQ(document, nlohmann::json({{"slots", 8}, {"endpoints", {alpha, beta}}})) << listed.out;

    // Served endpoints are neither unclaimed nor destroyed; the others go.
    ExpectRefused(RunCoresys({"nm", "unclaim", "Alpha"}), 1, "served by process");
    ExpectRefused(RunCoresys({"nm", "destroy"}), 1, "served by process");
    ASSERT_FALSE(HasFailure()) << "the registry went while its endpoints were served";
    ExpectEnded(RunCoresys({"nm", "unclaim", "Beta"}), 0, "endpoint 'Beta' (index 1) unclaimed\n");
    ExpectRefused(RunCoresys({"nm", "unclaim", "Beta"}), 1, "no endpoint 'Beta'");
    RunCoresys({"nm", "send", "Gamma", "01", "--timeout", "0"});
    EXPECT_NE(RunCoresys({"nm", "list", "--json"}).out.find("\"index\":1,\"name\":\"Gamma\""), std::string::npos)
        << "the freed slot is not claimed again";

    // A listener that times out says how many messages it is missing.
    ExpectRefused(RunCoresys({"nm", "listen", "Quiet", "--count", "2", "--timeout", "0.2"}), 1, "2 of 2");
    // --take-over: the endpoint's messages go to the new receiver.
    auto second = Listen(host, "Alpha", {"--take-over", "--count", "1", "--timeout", "20"});
    ExpectEnded(RunCoresys({"nm", "send", "Alpha", "05"}), 0, "1 delivered\n");
    ExpectEnded(second->finish(), 0, "0 05\n");
    kill(listener->pid(), SIGTERM);
    ExpectEnded(listener->finish(), 0, "");
    ExpectEnded(RunCoresys({"nm", "destroy"}), 0, "registry " + registry + " removed\n");
    ExpectRefused(RunCoresys({"nm", "list"}), 1, "no registry");

    // A new registry: send says what became of each message.
    CreateRegistry();
    auto echo = Listen(host, "Echo", {"--count", "3", "--timeout", "20"});
    ExpectEnded(RunCoresys({"nm", "send", "Echo", "0a0B", "ffEE00", "01"}), 0, "1 delivered\n2 delivered\n3 delivered\n");
    ExpectEnded(echo->finish(), 0, "0 0a0b\n0 ffee00\n0 01\n");

    // Sent before the receiver exists: waits, then goes to endpoint 1 once it listens.
    Program sender(kCoresys, {"nm", "send", "Late", "aa", "bbcc", "--timeout", "20"});
    ASSERT_TRUE(Eventually([&] { return sender.printed("1 held back\n"); })) << sender.output();
    auto late = Listen(host, "Late", {"--count", "2", "--timeout", "20"});
    ExpectEnded(sender.finish(), 0, "1 held back\n1 delivered\n2 delivered\n");
    ExpectEnded(late->finish(), 0, "1 aa\n1 bbcc\n");

    // A receiver that stops answering and dies: what was on its way is not reported delivered.
    auto hung = Listen(host, "Hung");
    kill(hung->pid(), SIGSTOP);  // only queues the stop: wait until it has taken effect
    const std::string stat = "/proc/" + std::to_string(hung->pid()) + "/stat";
    ASSERT_TRUE(Eventually([&] { return ReadFile(stat).find(") T ") != std::string::npos; })) << ReadFile(stat);
    Program lost(kCoresys, {"nm", "send", "Hung", "01", "--timeout", "1"});
    ASSERT_FALSE(Eventually([&] { return lost.printed("\n"); }, std::chrono::milliseconds(200))) << lost.output();
    kill(hung->pid(), SIGKILL);
    const Outcome outcome = lost.finish();
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    // Without the NM library's own "error pid <n> sendMessage ..." line.
    const std::string said = std::regex_replace(outcome.out, std::regex("error pid [^\n]*\n"), "");
    EXPECT_TRUE(said == "1 lost\n" || said == "1 held back\n1 not delivered\n") << outcome.out;
}

}  // namespace
