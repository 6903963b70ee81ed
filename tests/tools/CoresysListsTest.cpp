// The shared lists through coresys: edited, paged, saved and restored, and saves cut by power cuts.
#include <gtest/gtest.h>

#include <signal.h>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "CoreSystem/SharedData/ListManager.h"
#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

TEST(CoresysLists, CreatesEditsPagesSavesAndRestores) {
    IsolatedHost host;
    const std::string dir = host.root() + "/";
    const std::vector<std::string> create = {"lists", "create", "--first", dir, "--second", dir};
    EXPECT_NE(RunCoresys(create).err.find("no configuration image"), std::string::npos);
    ASSERT_TRUE(LoadDevice());
    EXPECT_NE(RunCoresys({"lists", "show", "7"}).err.find("the lists are not started"), std::string::npos);
    EXPECT_EQ(RunCoresys(create).out, "list 7: 70 bytes, fresh (no complete saved copy)\n");
    EXPECT_EQ(RunCoresys(create).status, 1);  // started already

    for (const char* text : {"00000000616c70686100", "0000000062657461", "00000000616c736f00"})
        EXPECT_EQ(RunCoresys({"lists", "add", "7", text}).status, 0) << text;
    ExpectRefused(RunCoresys({"lists", "add", "7", "00"}), 1, "full");
    EXPECT_EQ(RunCoresys({"lists", "add", "9", "00"}).status, 1);  // no such list
    EXPECT_EQ(RunCoresys({"lists", "find", "7", "a*a"}).out, "0\n");
    EXPECT_EQ(RunCoresys({"lists", "find", "7", "--start", "1", "--max", "4", "*a"}).out, "1\n");
    EXPECT_EQ(RunCoresys({"lists", "find", "7", "gamma"}).out, "-4\n");
    EXPECT_EQ(RunCoresys({"lists", "find", "8", "*"}).out, "-3\n");
    EXPECT_EQ(RunCoresys({"lists", "remove", "7", "0"}).status, 0);
    EXPECT_EQ(RunCoresys({"lists", "remove", "7", "-1"}).status, 1);
    EXPECT_EQ(RunCoresys({"lists", "element", "7", "--mode", "0", "--index", "1"}).out, "01000000616c736f0000\n");
    EXPECT_EQ(RunCoresys({"lists", "element", "7", "--mode", "2", "--index", "2", "--page", "2"}).status, 1);

    const std::vector<std::string> show = {"lists", "show", "7", "--json"};
    // Searches stamp the indexes they visit: "beta" was at 1 when last searched.
    const json expected = {{"id", 7}, {"elementSize", 10}, {"sequence", 4}, {"position", 0}, {"capacity", 3},
                           {"count", 2}, {"slots", {50, 60, 40}},
                           {"elements", {"01000000626574610000", "01000000616c736f0000"}}};
    EXPECT_EQ(json::parse(RunCoresys(show).out), expected);

    // Saved, restarted: restored byte for byte; then a cleared list saved and restored empty.
    EXPECT_EQ(RunCoresys({"lists", "save", "7"}).status, 0);
    EXPECT_EQ(RunCoresys({"lists", "save-definition", "7", dir}).status, 0);
    EXPECT_EQ(RunCoresys({"lists", "save-definition", "7", dir + "missing/"}).status, 1);
    std::vector<std::string> replace = create;
    replace.push_back("--replace");
    EXPECT_EQ(RunCoresys(replace).out, "list 7: 70 bytes, restored\n");
    EXPECT_EQ(json::parse(RunCoresys(show).out), expected);
    EXPECT_EQ(RunCoresys({"lists", "clear", "7"}).status, 0);
    EXPECT_EQ(RunCoresys({"lists", "save", "7"}).status, 0);
    RunCoresys(replace);
    const json restored = json::parse(RunCoresys(show).out);
    EXPECT_EQ(restored.at("count"), 0);
    EXPECT_EQ(restored.at("slots"), expected.at("slots"));
}

/// List 7 of the power-cut cases: large enough that a save takes a while.
conf::ImageDescription BigList() {
    conf::ImageDescription d = ExampleConfiguration();
    d.lists = {{7, 512, 2048, 0, {0x07, 0x00, 0x02, 0x08}}};
    return d;
}

/// In a child: attaches list 7, reads the version it holds (count 1 + v % 5, every element's bytes
/// 4-5 the version), then writes version `next`. Exits 0 when it held `newer`, 1 when `older`
/// (tested in that order), 2 for anything else (an empty or torn list).
int CheckAndAdvance(std::uint16_t older, std::uint16_t newer, std::uint16_t next) {
    Child child = Spawn([=] {
        using namespace CoreSystem;
        ListManager::attachAll();
        const ListRef list = ListManager::find(7);
        if (!list.object) return 3;
        ListManager::lockList(7);
        auto version = [&]() -> int {
            if (list.count() == 0) return -1;
            std::uint16_t v = 0;
            for (std::uint32_t k = 0; k < list.count(); ++k) {
                std::uint16_t stored;
                std::memcpy(&stored, list.bytes() + list.slots()[k] + 4, 2);
                if (k > 0 && stored != v) return -1;
                v = stored;
            }
            return list.count() == 1u + v % 5 ? v : -1;
        };
        const int held = version();
        ClearList(list);
        std::vector<std::uint8_t> element(list.geometry.elementSize, 0x5A);
        std::memcpy(element.data() + 4, &next, 2);
        for (int k = 0; k < 1 + next % 5; ++k) Append(list, element.data(), element.size());
        ListManager::unlockList(7);
        return held == newer ? 0 : held == older ? 1 : 2;
    });
    return Wait(child);
}

TEST(CoresysLists, PowerCutsDuringSavesNeverLoseASavedList) {
    IsolatedHost host;
    const std::string dir = host.root() + "/";
    StartDevice(dir, dir, BigList());
    ASSERT_EQ(CheckAndAdvance(0, 0, 1), 2);  // fresh: empty; now version 1
    const auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(RunCoresys({"lists", "save", "7"}).status, 0);
    const auto saveTime = std::chrono::steady_clock::now() - began;
    ASSERT_EQ(RestartLists(dir, dir).at(0).outcome, CoreSystem::ListStart::Outcome::Restored);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(saveTime).count());
    ASSERT_EQ(CheckAndAdvance(0, 1, 2), 0);
    std::uint16_t saved = 1, current = 2;  // in the data file, in the list
    int outcomes[2] = {};                  // saves that completed, saves cut short
    constexpr int kKills = 220;
    for (int round = 0; round < kKills; ++round) {
        const bool data = round % 2 == 0;
        Program save(kCoresys, data ? std::vector<std::string>{"lists", "save", "7"}
                                    : std::vector<std::string>{"lists", "save-definition", "7", dir});
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        kill(save.pid(), SIGKILL);
        save.finish();  // reaped

        const auto report = RestartLists(dir, dir);
        ASSERT_EQ(report.size(), 1u);
        ASSERT_EQ(report[0].outcome, CoreSystem::ListStart::Outcome::Restored)
            << "round " << round << ": " << report[0].reason;
        const auto next = static_cast<std::uint16_t>(current + 1);
        const int held = CheckAndAdvance(saved, current, next);
        ASSERT_TRUE(held == 1 || (data && held == 0))
            << "round " << round << ": the restored list is neither the saved one nor the one being saved";
        if (data) ++outcomes[held];
        if (held == 0) saved = current;
        current = next;
    }
    // Kills landed both before and after saves completed.
    EXPECT_GT(outcomes[0], 0);
    EXPECT_GT(outcomes[1], 0);
    std::printf("%d kills; data saves completed %d, cut short %d\n", kKills, outcomes[0], outcomes[1]);
}

}  // namespace
