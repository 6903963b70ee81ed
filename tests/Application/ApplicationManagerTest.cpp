// The application manager: the configuration scan on built images (no process needed), and a
// manager in a forked child on a simulated device, with and without an endpoint.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/Application/ApplicationManager.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CoreSystem;
using Description = conf::ImageDescription;

/// The example configuration with `applications` in place of its own.
Description With(std::vector<Description::Application> applications) {
    Description description = CoreSystemTest::ExampleConfiguration();
    description.applications = std::move(applications);
    return description;
}

using Ids = std::vector<std::optional<std::uint32_t>>;

Ids NVMgrIds(const ApplicationTables& t) { return {t.nvmgrAction0, t.nvmgrAction2, t.nvmgrAction6}; }

struct Scan {
    ApplicationTables tables;
    std::vector<std::string> opened;  ///< endpoints the scan opened, in order
};

/// Scans a built image of `description`; endpoint "<x>" gets key 10 + its position in `opened`.
Scan ScanOf(const Description& description, const std::string& name, bool withoutEndpoint = false) {
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration(description);
    Scan scan;
    scan.tables = ScanConfiguration(image.data(), name, withoutEndpoint, [&scan](const std::string& endpoint) {
        for (std::size_t i = 0; i < scan.opened.size(); ++i)
            if (scan.opened[i] == endpoint) return static_cast<int>(10 + i);
        scan.opened.push_back(endpoint);
        return static_cast<int>(9 + scan.opened.size());
    });
    return scan;
}

TEST(ConfigurationScan, BuildsTheTablesOfTheNamedApplicationOnly) {
    const Scan radio = ScanOf(CoreSystemTest::ExampleConfiguration(), "Radio");
    EXPECT_EQ(radio.opened, std::vector<std::string>{"RadioAction"});
    ASSERT_EQ(radio.tables.ownKey, 10);
    ASSERT_EQ(radio.tables.applications.size(), 1u);
    const ApplicationRecord* record = radio.tables.find(-1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, radio.tables.find(10));
    EXPECT_EQ(record->actions, (std::map<std::uint32_t, std::uint32_t>{{9100, 0}, {9101, 1}}));
    EXPECT_EQ(record->events, (std::map<int, std::uint32_t>{{0, 801}}));
    EXPECT_EQ(record->variables, (std::map<int, int>{{5, 1}, {7, 2}}));
    EXPECT_EQ(record->reservedStrings, (std::map<int, int>{{0, 1}}));
    EXPECT_NE(record->applicationReference, nullptr);
    EXPECT_EQ(NVMgrIds(radio.tables), (Ids{9200u, 9202u, 9206u}));  // whatever the manager's own name
    EXPECT_EQ(radio.tables.translateAction(10, 9101), 1u);
    EXPECT_EQ(radio.tables.translateAction(10, 4242), 4242u);  // not an action of Radio
    EXPECT_EQ(radio.tables.translateAction(11, 9101), 9101u);  // another endpoint

    const Scan nobody = ScanOf(CoreSystemTest::ExampleConfiguration(), "Radi");
    EXPECT_TRUE(nobody.opened.empty());
    EXPECT_EQ(nobody.tables.ownKey, -1);
    EXPECT_EQ(nobody.tables.find(-1), nullptr);

    EXPECT_TRUE(ReservedStringsOf(nullptr).empty());
    EXPECT_TRUE(ScanConfiguration(nullptr, "Radio", false, [](const std::string&) { return 1; }).applications.empty());
}

// Of an application named twice the last record counts; within a record a repeated number keeps its
// first mapping. Only an entry named exactly "NVMgr" gives the NVMgr ids, whatever is scanned.
TEST(ConfigurationScan, RepeatsKeepTheFirstMappingAndTheLastRecord) {
    const Scan scan = ScanOf(With({{"Tuner", {{0, 9400}}, {}, {}, {}, false},
                                   {"Tuner", {{3, 9300}, {4, 9300}, {5, 9301}}, {{1, 901}, {1, 902}}, {}, {}, false},
                                   {"NVMgrX", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"NVMg", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"nvmgr", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"NVMgr", {{2, 7}, {2, 8}, {1, 9}}, {}, {}, {}, false}}),
                             "Tuner");
    EXPECT_EQ(scan.opened, std::vector<std::string>{"TunerAction"});
    ASSERT_EQ(scan.tables.applications.size(), 1u);  // the first record is replaced (and freed)
    EXPECT_EQ(scan.tables.translateAction(10, 9400), 9400u);
    EXPECT_EQ(scan.tables.translateAction(10, 9300), 3u);
    EXPECT_EQ(scan.tables.find(-1)->events, (std::map<int, std::uint32_t>{{1, 901}}));
    EXPECT_EQ(NVMgrIds(scan.tables), (Ids{std::nullopt, 8u, std::nullopt}));  // the later action 2 wins
}

TEST(ConfigurationScan, TheActionIndexTranslatesAsItsMap) {
    using Actions = std::map<std::uint32_t, std::uint32_t>;
    const Actions cases[] = {{}, {{0, 9}}, {{9100, 0}, {9101, 1}, {9105, 7}}, {{0xFFFFFFFE, 1}, {0xFFFFFFFF, 2}},
                             {{5, 1}, {100000, 2}, {0xFFFFFFFF, 3}}};
    for (const Actions& actions : cases) {
        ActionIndex index;
        index.build(actions);
        EXPECT_EQ(index.size(), actions.size());
        std::vector<std::uint32_t> probes = {0, 1, 4, 6, 99999, 0x7FFFFFFF, 0xFFFFFFFF};
        for (const auto& [id, local] : actions) probes.insert(probes.end(), {id - 1, id, id + 1});
        for (const std::uint32_t id : probes) {
            const auto found = actions.find(id);
            EXPECT_EQ(index.translate(id), found == actions.end() ? id : found->second) << id;
        }
    }
}

/// A simulated device loaded from `description`, with its registry.
class Manager : public ::testing::Test {
protected:
    void load(const Description& description = CoreSystemTest::ExampleConfiguration()) {
        ASSERT_EQ(NMTest::createRegistryInChild(32), 0);
        ASSERT_TRUE(CoreSystemTest::LoadDevice(description));
    }
    void run(const std::function<int()>& body) {
        CoreSystemTest::Child child = CoreSystemTest::Spawn(body);
        EXPECT_EQ(CoreSystemTest::Wait(child, std::chrono::seconds(30)), 0);
    }
    CoreSystemTest::IsolatedHost host;
};

// Translation, events, variable batches and NVMgr requests end to end: tests/tools/CoresysAppTest.cpp.
TEST_F(Manager, ReadsAndWritesTheSharedDataByLocalNumber) {
    load();
    run([] {
        CHILD_CHECK(reservedStringMap().empty());  // the image is not open yet: scanned again later
        ApplicationManager radio("Radio", true, false);
        NM::NMClient sender(true);
        CHILD_CHECK(radio.ownKey() == sender.getChannelIndex("RadioAction") && NM::SlotPid(radio.ownKey()) == getpid());

        radio.setLocalVariable(7, 1);
        CHILD_CHECK(radio.variableText(7) == "An" && radio.variableText(5).empty() && radio.variableText(8).empty());

        CHILD_CHECK(radio.reservedStringId(0) == 1 && radio.reservedStringId(1) == -1);
        radio.setReservedString(0, "Lauter", 0);
        CHILD_CHECK(radio.reservedStringText(0, 0) == "Lauter");
        std::string english;
        BinaryClient::getStringForCulture(1, 0, english, 0);
        CHILD_CHECK(english == "Volume");                     // current culture only
        CHILD_CHECK(radio.reservedStringText(0, 2).empty());  // the counter is 2 now: unchanged

        conf::ApplicationInformation reference;
        radio.bindApplicationRecord(reference);
        CHILD_CHECK(reference.record() && conf::Conf::textAt(reference, reference.word(2)) == "Radio");

        // Two first callers of the reserved-string map at the same moment.
        const std::map<int, int>* seen[2] = {nullptr, nullptr};
        std::thread first([&] { seen[0] = &reservedStringMap(); }), second([&] { seen[1] = &reservedStringMap(); });
        first.join();
        second.join();
        CHILD_CHECK(seen[0] == seen[1] && seen[0]->size() == 2);
        return 0;
    });
}

TEST_F(Manager, WithoutEndpointOrNVMgrEntry) {
    load(With({{"Radio", {{0, 9100}}, {}, {}, {{0, 1}}, false}}));
    run([] {
        NM::NMClient nvmgr(true);
        nvmgr.openReceiveChannel(nvmgr.getChannelIndex("NVMgrAction"));
        ApplicationManager radio("Radio", true, true);
        CHILD_CHECK(radio.ownKey() == -1 && radio.tables().find(-1) != nullptr);
        CHILD_CHECK(NM::SlotPid(radio.client().getChannelIndex("RadioAction")) == -1);
        CHILD_CHECK(radio.reservedStringId(0, -5) == 1 && radio.reservedStringId(1) == -1);
        CHILD_CHECK(!radio.postNVMgrAction0(1) && !radio.postNVMgrAction2() && !radio.postNVMgrAction6(1));
        std::vector<char> buffer(16);
        CHILD_CHECK(nvmgr.recvMsg(nullptr, buffer.data(), 16) == -1);  // sends are synchronous
        return 0;
    });
}

}  // namespace
