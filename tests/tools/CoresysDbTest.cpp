// The shared variables database through coresys: the example created by its owner, read, written,
// stepped and named, with the change events seen by a watcher in another process.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

Outcome Coresys(const std::vector<std::string>& args) {
    return RunCoresys(args);
}

TEST(CoresysDb, CreatesReadsWritesAndWatchesTheExample) {
    CoreSystemTest::IsolatedHost host;
    EXPECT_NE(Coresys({"db", "get", "Volume"}).err.find("no database"), std::string::npos);
    ASSERT_EQ(Coresys({"db", "create", kExample}).out, "/DBSHM: 2 variables\n");
    EXPECT_NE(Coresys({"db", "create", kExample}).err.find("exists already"), std::string::npos);
    ASSERT_EQ(Coresys({"db", "create", kExample, "--replace"}).status, 0);
    EXPECT_NE(Coresys({"db", "list"}).err.find("no configuration image is loaded"), std::string::npos);

    ASSERT_TRUE(CoreSystemTest::LoadDevice());  // the image; its database replaces the one above
    CreateRegistry();
    auto watcher = StartReady(host, {"db", "watch", "--count", "5"});

    EXPECT_EQ(Coresys({"db", "list"}).out, "1 Volume 0 valid\n2 Mute 0 not-valid\n");
    EXPECT_EQ(Coresys({"db", "set", "Volume", "7.9"}).out, "1 Volume 7 valid\n");         // event 77
    EXPECT_EQ(Coresys({"db", "set", "1", "7"}).out, "1 Volume 7 valid\n");                // unchanged: none
    EXPECT_EQ(Coresys({"db", "set-many", "Mute=258", "Volume=-3"}).out, "2 Mute 2\n1 Volume -3\n");  // 78, 77
    EXPECT_EQ(Coresys({"db", "step", "up", "Mute"}).out, "2 Mute 0 valid\n");             // wraps: 78
    EXPECT_EQ(Coresys({"db", "text", "Mute"}).out, "Aus\n");                              // string 2, culture 1
    EXPECT_EQ(Coresys({"db", "step", "down", "2"}).out, "2 Mute 2 valid\n");
    EXPECT_EQ(Coresys({"db", "text", "Mute"}).status, 1);  // the value 2 has no string

    const Outcome got = Coresys({"db", "get", "Mute", "--json"});
    ASSERT_EQ(got.status, 0) << got.err;
    const json mute = json::parse(got.out);
    EXPECT_EQ(mute.at("validUntil").get<std::uint64_t>() - mute.at("lastChange").get<std::uint64_t>(), 5000u);
    EXPECT_EQ(mute, (json{{"id", 2},
                          {"name", "Mute"},
                          {"value", 2},
                          {"valid", true},
                          {"lastChange", mute.at("lastChange")},
                          {"validUntil", mute.at("validUntil")},
                          {"type", "i8"},
                          {"eventCode", 78},
                          {"timeoutMs", 5000}}));
    ASSERT_EQ(Coresys({"db", "invalidate", "Mute", "Volume"}).status, 0);
    const json all = json::parse(Coresys({"db", "list", "--json"}).out);
    EXPECT_EQ(all.at(0).at("timeoutMs"), nullptr);
    EXPECT_EQ(all.at(0).at("valid"), true);  // never expires
    EXPECT_EQ(all.at(1).at("valid"), false);

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"db", "get", "Loudness"}, {"db", "get", "10000"}, {"db", "set", "Volume", "loud"}, {"db", "set-many", "Volume"}}) {
        const Outcome refused = Coresys(bad);
        EXPECT_NE(refused.status, 0) << bad[2];
        EXPECT_EQ(refused.err.rfind("coresys: ", 0), 0u) << refused.err;
    }

    const Outcome events = watcher->finish(std::chrono::seconds(10));
    EXPECT_EQ(events.status, 0) << events.err;
    EXPECT_EQ(events.out, "77\n78\n77\n78\n78\n");
}

}  // namespace
