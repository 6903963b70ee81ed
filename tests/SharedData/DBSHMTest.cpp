// The process-wide database client, one forked process per scenario: opening a missing or short
// table, the bounded name index, values and events between processes, concurrent writers and a
// lock holder that dies.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "NM/NMTestSupport.h"

namespace {

using CoreSystem::DBSHM;
using CoreSystemTest::Child;

constexpr const char* kOpenError = "DBSHM_main Open() ERROR, could not open DBSHM.\n";

/// Runs openDatabase in a child with its standard error captured; returns status and output.
std::pair<int, std::string> OpenInChild() {
    Child child = CoreSystemTest::Spawn(
        [] {
            dup2(STDOUT_FILENO, STDERR_FILENO);
            DBSHM::openDatabase();
            return 0;
        },
        true);
    std::string printed = CoreSystemTest::ReadOutput(child);
    return {CoreSystemTest::Wait(child), printed};
}

TEST(DBSHM, AMissingOrShortTableEndsTheClientWithStatus1) {
    CoreSystemTest::IsolatedHost host;
    EXPECT_EQ(OpenInChild(), std::make_pair(1, std::string(kOpenError)));
    int fd = -1;
    ASSERT_NE(NM::createSharedMemory(CoreSystem::kDatabaseObject, 4096, fd), nullptr);
    close(fd);
    EXPECT_EQ(OpenInChild(), std::make_pair(1, std::string(kOpenError)));  // never SIGBUS
}

TEST(DBSHM, TheNameIndexStaysInsideTheNameTable) {
    CoreSystemTest::IsolatedHost host;
    ASSERT_TRUE(CoreSystemTest::LoadDevice());
    Child child = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
        std::int32_t id = -1;
        CHILD_CHECK(DBSHM::lookupVariableId("Volume") == 1 && DBSHM::lookupVariableId("Mute") == 2);
        CHILD_CHECK(DBSHM::findVariableId("Loudness", id) == 0 && id == 0);

        CoreSystem::DatabaseLayout* table = DBSHM::table();
        table->lastNameIndex = 0x7FFFFFFF;                     // beyond the 10000 entries
        std::memset(table->names[9999].name, 'x', sizeof table->names[9999].name);  // no NUL
        table->names[9999].id = 9999;
        table->names[5] = {5, "Volume"};                       // a later entry of a known name
        DBSHM::rebuildNameIndex();
        CHILD_CHECK(DBSHM::lookupVariableId(std::string(128, 'x')) == 9999);
        CHILD_CHECK(DBSHM::lookupVariableId("Volume") == 1);  // the first id stays
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

TEST(DBSHM, ValuesAndEventsReachOtherProcessesInOrder) {
    CoreSystemTest::IsolatedHost host;
    NMTest::Board* board = NMTest::makeBoard();
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(NMTest::createRegistryInChild(8), 0);
    ASSERT_TRUE(CoreSystemTest::LoadDevice());

    Child receiver = NMTest::startCodeRecorder(board, CoreSystem::kEventEndpoint, 6);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 1; })) << "no receiver of CCMEvent";

    Child writer = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
        DBSHM::setVariable(1, 5);
        const std::int32_t ids[] = {2, 40000, 1};
        double values[] = {258, 1, 6.5};
        DBSHM::setVariables(3, ids, values);
        CHILD_CHECK(values[0] == 2 && values[1] == 1 && values[2] == 6);
        CHILD_CHECK(DBSHM::stepValueUp(2) == 1);  // 2 is the last value: wraps to 0
        // Both lazily created clients, first used by two threads at the same moment.
        std::atomic<int> ready{0};
        auto setter = [&ready](bool many) {
            for (++ready; ready < 2;) std::this_thread::yield();
            std::int32_t id = 1;
            double eight = 8;
            if (many) {
                DBSHM::setVariables(1, &id, &eight);
            } else {
                DBSHM::setVariable(2, 1);
            }
        };
        std::thread first(setter, true), second(setter, false);
        first.join();
        second.join();

        double value = -1;
        std::uint64_t lastChange = 0;
        CHILD_CHECK(DBSHM::getVariable(1, value, lastChange) == 1 && value == 8 && lastChange > 0);
        CHILD_CHECK(DBSHM::getVariable(2, value) == 1 && value == 1 && DBSHM::hasTimeout(2) == 1);
        std::uint32_t text = 0;
        CHILD_CHECK(DBSHM::valueTextId(2, text) == 1 && text == 3);
        DBSHM::invalidateVariable(2);
        CHILD_CHECK(DBSHM::getVariable(2, value) == 0 && value == 0);
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(writer), 0);
    EXPECT_EQ(CoreSystemTest::Wait(receiver), 0);
    // set, bulk set (Mute, Volume), the step of Mute from its last value to its first.
    EXPECT_EQ((std::vector<int>(board->value, board->value + 4)), (std::vector<int>{77, 78, 77, 78}));
    std::vector<int> racing(board->value + 4, board->value + 6);  // the two threads, in either order
    std::sort(racing.begin(), racing.end());
    EXPECT_EQ(racing, (std::vector<int>{77, 78}));

}

TEST(DBSHM, WritersReadersAndAKilledLockHolderShareOneVariable) {
    CoreSystemTest::IsolatedHost host;
    NMTest::Board* board = NMTest::makeBoard();
    ASSERT_NE(board, nullptr);
    conf::ImageDescription quiet = CoreSystemTest::ExampleConfiguration();
    quiet.variables[0].eventCode = 0;
    ASSERT_TRUE(CoreSystemTest::LoadDevice(quiet));

    // A reader sees every value of a writer in another process in order, never a torn one.
    constexpr int kLast = 2000;
    Child writer = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
        for (int n = 1; n <= kLast; ++n) DBSHM::setVariable(1, n);
        return 0;
    });
    Child reader = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
        double seen = 0;
        bool ordered = true;
        CHILD_CHECK(CoreSystemTest::Eventually([&] {
            double value = 0;
            const std::int32_t id = 1;
            std::uint8_t valid = 0;
            DBSHM::getVariables(1, &id, &value, &valid);
            ordered = ordered && valid == 1 && value >= seen && value == std::floor(value);
            seen = value;
            return !ordered || seen == kLast;
        }));
        CHILD_CHECK(ordered && seen == kLast);
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(writer), 0);
    EXPECT_EQ(CoreSystemTest::Wait(reader), 0);

    // A holder of the table mutex dies: one client blocks on it before, another comes after.
    Child holder = CoreSystemTest::Spawn([board] {
        DBSHM::openDatabase();
        DBSHM::setVariable(1, 11);
        DBSHM::table()->mutex.lock();
        board->step = 1;
        pause();
        return 0;
    });
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 1; })) << "the holder did not lock";
    Child waiting = CoreSystemTest::Spawn([board] {
        DBSHM::openDatabase();
        board->step = 2;
        DBSHM::setVariable(1, 12);
        return 0;
    });
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 2; }));
    kill(holder.pid, SIGKILL);
    EXPECT_EQ(CoreSystemTest::Wait(holder), 128 + SIGKILL);
    EXPECT_EQ(CoreSystemTest::Wait(waiting, std::chrono::seconds(10)), 0) << "the waiting client stayed blocked";
    Child later = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
        double value = 0;
        CHILD_CHECK(DBSHM::getVariable(1, value) == 1 && value == 12);
        DBSHM::setVariable(1, 13);
        CHILD_CHECK(DBSHM::getVariable(1, value) == 1 && value == 13);
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(later, std::chrono::seconds(10)), 0);
}

}  // namespace
