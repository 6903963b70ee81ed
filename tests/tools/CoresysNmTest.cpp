// The "coresys nm" commands, run as the built program in child processes of an isolated host.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using CoreSystemTest::Child;
using CoreSystemTest::IsolatedHost;

using CoreSystemTest::Outcome;

std::string CoresysPath() {
    return CoreSystemTest::BuildDirectory() + "/tools/coresys/coresys";
}

/// A running coresys whose standard output is captured and whose standard error goes to a file.
struct Coresys : CoreSystemTest::Program {
    Coresys(const IsolatedHost&, const std::vector<std::string>& args) : Program(CoresysPath(), args) {}
};

/// The lines coresys printed itself, without the NM library's "pid <n> queue [<i>] emptied".
std::vector<std::string> ToolLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind("pid ", 0) != 0) lines.push_back(line);
    }
    return lines;
}

Outcome RunCoresys(const IsolatedHost& host, const std::vector<std::string>& args) {
    return Coresys(host, args).finish();
}

/// Starts a listener and waits until it has published its endpoint.
std::unique_ptr<Coresys> StartListener(const IsolatedHost& host, std::vector<std::string> args) {
    static int counter = 0;
    const std::string ready = host.root() + "/ready-" + std::to_string(counter++);
    args.insert(args.begin(), {"nm", "listen"});
    args.insert(args.end(), {"--ready-file", ready});
    auto listener = std::make_unique<Coresys>(host, args);
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return std::filesystem::exists(ready); }));
    return listener;
}

TEST(CoresysNm, CreatesTheRegistryOnceAndListsItsEndpoints) {
    IsolatedHost host;
    const std::string registry = "/" + host.word() + ".Notification";

    Outcome none = RunCoresys(host, {"nm", "list"});
    EXPECT_NE(none.status, 0);
    EXPECT_NE(none.err.find("coresys: no registry " + registry), std::string::npos) << none.err;

    EXPECT_EQ(RunCoresys(host, {"nm", "create", "--slots", "8"}).status, 0);
    Outcome again = RunCoresys(host, {"nm", "create"});
    EXPECT_NE(again.status, 0);
    EXPECT_EQ(again.err, "coresys: registry " + registry + " already exists\n");

    auto listener = StartListener(host, {"Alpha"});
    // Nobody serves "Beta": its message is held back and not delivered within the time limit.
    Outcome held = RunCoresys(host, {"nm", "send", "Beta", "01", "--timeout", "0.2"});
    EXPECT_EQ(held.status, 1);
    EXPECT_EQ(held.out, "1 held back\n");
    EXPECT_NE(held.err.find("not delivered"), std::string::npos) << held.err;

    Outcome listed = RunCoresys(host, {"nm", "list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto document = nlohmann::json::parse(listed.out);
    EXPECT_EQ(document.at("slots"), 8);
    ASSERT_EQ(document.at("endpoints").size(), 2u) << listed.out;
    const int chid = document["endpoints"][0].at("chid");
    EXPECT_GE(chid, 0);
    const nlohmann::json alpha = {
        {"index", 0}, {"name", "Alpha"}, {"pid", listener->pid()}, {"chid", chid}, {"alive", true}};
    const nlohmann::json beta = {{"index", 1}, {"name", "Beta"}, {"pid", -1}, {"chid", -1}, {"alive", false}};
    EXPECT_EQ(document.at("endpoints"), nlohmann::json::array({alpha, beta})) << listed.out;

    kill(listener->pid(), SIGTERM);
    EXPECT_EQ(listener->finish().status, 0);
}

TEST(CoresysNm, SendDeliversToAListenerThatPrintsEveryFrame) {
    IsolatedHost host;
    ASSERT_EQ(RunCoresys(host, {"nm", "create"}).status, 0);
    auto listener = StartListener(host, {"Echo", "--count", "3", "--timeout", "20"});

    // The empty payload reaches the receiver as a bare header, which it drops.
    Outcome sent = RunCoresys(host, {"nm", "send", "Echo", "0a0B", "ffEE00", "", "01"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, "1 delivered\n2 delivered\n3 delivered\n4 delivered\n");

    Outcome heard = listener->finish();
    EXPECT_EQ(heard.status, 0) << heard.err;
    EXPECT_EQ(heard.out, "0 0a0b\n0 ffee00\n0 01\n");
}

TEST(CoresysNm, HeldBackMessagesAreDeliveredWhenTheReceiverAppears) {
    IsolatedHost host;
    ASSERT_EQ(RunCoresys(host, {"nm", "create"}).status, 0);
    Coresys sender(host, {"nm", "send", "Late", "aa", "bbcc", "--timeout", "20"});
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return sender.printed("2 held back\n"); }))
        << sender.output();

    auto listener = StartListener(host, {"Late", "--count", "2", "--timeout", "20"});
    Outcome sent = sender.finish();
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(ToolLines(sent.out),
              (std::vector<std::string>{"1 held back", "2 held back", "1 delivered", "2 delivered"}))
        << sent.out;

    Outcome heard = listener->finish();
    EXPECT_EQ(heard.status, 0) << heard.err;
    EXPECT_EQ(heard.out, "0 aa\n0 bbcc\n");
}

TEST(CoresysNm, RefusesBadInputAndReportsMissingMessages) {
    IsolatedHost host;
    ASSERT_EQ(RunCoresys(host, {"nm", "create"}).status, 0);
    for (const char* bad : {"abc", "0g"}) {
        Outcome refused = RunCoresys(host, {"nm", "send", "Target", "01", bad});
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_EQ(refused.out, "") << bad;  // nothing was sent, not even the valid first one
        EXPECT_EQ(refused.err.rfind("coresys: message 2 '" + std::string(bad) + "'", 0), 0u) << refused.err;
    }
    Outcome listed = RunCoresys(host, {"nm", "list", "--json"});
    EXPECT_EQ(nlohmann::json::parse(listed.out).at("endpoints").size(), 0u) << listed.out;

    Outcome quiet = RunCoresys(host, {"nm", "listen", "Quiet", "--count", "2", "--timeout", "0.2"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_NE(quiet.err.find("2 of 2"), std::string::npos) << quiet.err;
}

}  // namespace
