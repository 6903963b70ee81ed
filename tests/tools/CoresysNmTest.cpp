// The "coresys nm" commands, run as the built program in child processes of an isolated host.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using CoreSystemTest::IsolatedHost;
using CoreSystemTest::Outcome;
using CoreSystemTest::Program;

const std::string kCoresys = CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";

Outcome RunCoresys(const std::vector<std::string>& args) {
    return CoreSystemTest::RunProgram(kCoresys, args);
}

/// Starts `coresys nm listen <endpoint> ...` and waits until it has published its endpoint.
std::unique_ptr<Program> Listen(const IsolatedHost& host, std::vector<std::string> args) {
    const std::string ready = host.root() + "/ready-" + args.at(0);
    args.insert(args.begin(), {"nm", "listen"});
    args.insert(args.end(), {"--ready-file", ready});
    auto listener = std::make_unique<Program>(kCoresys, args);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return std::filesystem::exists(ready); }));
    return listener;
}

/// Expects the program to have ended with `status` after printing exactly `out`.
void ExpectEnded(const Outcome& outcome, int status, const std::string& out) {
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_EQ(outcome.out, out);
}

TEST(CoresysNm, CreatesTheRegistryOnceListsItsEndpointsAndRefusesWhatFails) {
    IsolatedHost host;
    const std::string registry = "/" + host.word() + ".Notification";
    Outcome none = RunCoresys({"nm", "list"});
    EXPECT_NE(none.status, 0);
    EXPECT_NE(none.err.find("coresys: no registry " + registry), std::string::npos) << none.err;
    EXPECT_EQ(RunCoresys({"nm", "create", "--slots", "8"}).status, 0);
    Outcome again = RunCoresys({"nm", "create"});
    EXPECT_NE(again.status, 0);
    EXPECT_EQ(again.err, "coresys: registry " + registry + " already exists\n");

    // Bad hex: nothing is sent, not even the valid first message ("Target" stays unclaimed, see below).
    for (const std::string bad : {"abc", "0g"}) {
        Outcome refused = RunCoresys({"nm", "send", "Target", "01", bad});
        ExpectEnded(refused, 2, "");
        EXPECT_EQ(refused.err.rfind("coresys: message 2 '" + bad + "'", 0), 0u) << refused.err;
    }
    auto listener = Listen(host, {"Alpha"});
    // Nobody serves "Beta": its message is held back and not delivered within the time limit.
    Outcome held = RunCoresys({"nm", "send", "Beta", "01", "--timeout", "0.2"});
    ExpectEnded(held, 1, "1 held back\n");
    EXPECT_NE(held.err.find("not delivered"), std::string::npos) << held.err;

    Outcome listed = RunCoresys({"nm", "list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto document = nlohmann::json::parse(listed.out);
    EXPECT_EQ(document.at("slots"), 8);
    const int chid = document.at("endpoints").at(0).at("chid");
    EXPECT_GE(chid, 0);
    const nlohmann::json alpha = {
        {"index", 0}, {"name", "Alpha"}, {"pid", listener->pid()}, {"chid", chid}, {"alive", true}};
    const nlohmann::json beta = {{"index", 1}, {"name", "Beta"}, {"pid", -1}, {"chid", -1}, {"alive", false}};
    EXPECT_EQ(document.at("endpoints"), nlohmann::json::array({alpha, beta})) << listed.out;

    // A listener that times out says how many messages it is missing.
    Outcome quiet = RunCoresys({"nm", "listen", "Quiet", "--count", "2", "--timeout", "0.2"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_NE(quiet.err.find("2 of 2"), std::string::npos) << quiet.err;
    kill(listener->pid(), SIGTERM);
    EXPECT_EQ(listener->finish().status, 0);
}

TEST(CoresysNm, SendDeliversAtOnceOrWhenTheReceiverAppears) {
    IsolatedHost host;
    ASSERT_EQ(RunCoresys({"nm", "create"}).status, 0);
    auto echo = Listen(host, {"Echo", "--count", "3", "--timeout", "20"});
    // The empty payload reaches the receiver as a bare header, which it drops.
    ExpectEnded(RunCoresys({"nm", "send", "Echo", "0a0B", "ffEE00", "", "01"}), 0,
                "1 delivered\n2 delivered\n3 delivered\n4 delivered\n");
    ExpectEnded(echo->finish(), 0, "0 0a0b\n0 ffee00\n0 01\n");

    // Sent before the receiver exists: held back, then delivered to endpoint 1 once it listens.
    Program sender(kCoresys, {"nm", "send", "Late", "aa", "bbcc", "--timeout", "20"});
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return sender.printed("2 held back\n"); }))
        << sender.output();
    auto late = Listen(host, {"Late", "--count", "2", "--timeout", "20"});
    const Outcome sent = sender.finish();
    EXPECT_EQ(sent.status, 0) << sent.err;
    // Without the NM library's own "pid <n> queue [<i>] emptied" lines.
    EXPECT_EQ(std::regex_replace(sent.out, std::regex("pid [^\n]*\n"), ""),
              "1 held back\n2 held back\n1 delivered\n2 delivered\n");
    ExpectEnded(late->finish(), 0, "1 aa\n1 bbcc\n");
}

}  // namespace
