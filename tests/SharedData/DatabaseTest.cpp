// The variables table over a table in memory and a clock the test moves; then the process-wide
// database client in forked processes: missing tables, racing threads and writers, a dying lock holder.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/DatabaseTable.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CoreSystem;
using CoreSystemTest::Child;

constexpr std::int32_t kVolume = 1;  // i32, event 77, never expires, no values
constexpr std::int32_t kMute = 2;    // i8, event 78, 5000 ms, values 0 (string 2), 1 (3), 2 (none)
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

/// A zeroed table with the example's variables in it, the example image, and a moved clock.
class Table : public ::testing::Test {
protected:
    void SetUp() override {
        layout = std::make_unique<DatabaseLayout>();
        std::memset(layout.get(), 0, sizeof(DatabaseLayout));
        layout->mutex.init();
        define(kVolume, kStoreInt32, 77, 0);
        define(kMute, kStoreInt8, 78, 5000);
        table = DatabaseTable(layout.get(), image.data(), [this] { return now; });
    }
    void define(std::int32_t id, std::int32_t type, std::uint32_t event, std::uint32_t timeoutMs) {
        VariableEntry& e = layout->variables[id];
        e.type = type;
        e.eventCode = event;
        e.noTimeout = timeoutMs == 0;
        e.timeoutMs = timeoutMs;
    }

    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration();
    std::unique_ptr<DatabaseLayout> layout;
    std::uint64_t now = 1000;
    DatabaseTable table;
};

TEST_F(Table, ConversionByTargetTypeChangeBeforeConversionAndTimedValuesExpireAfterValidUntil) {
    const float fmax = std::numeric_limits<float>::max();
    struct Case {
        std::int32_t type;
        double in, out;
    } cases[] = {
        {kStoreFloat, 0.1, static_cast<double>(0.1f)}, {kStoreFloat, 1e39, kInf},
        {kStoreFloat, 0x1.fffffefp+127, fmax},  // rounds down to the largest float
        {kStoreInt32, -1.9, -1}, {kStoreInt32, 1e20, 2147483647}, {kStoreInt32, kNaN, 0},
        // 0x11170 -> 0x1170; 0x7FFFFFFF -> 0xFFFF; 0x80000000 -> 0
        {kStoreInt16, 70000.7, 4464}, {kStoreInt16, 1e20, -1}, {kStoreInt16, -1e20, 0},
        {kStoreInt8, -129, 127}, {kStoreInt8, 1e20, -1}, {99, -0.25, -0.25},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertToStorage(c.type, c.in), c.out) << "type " << c.type << " value " << c.in;
    }
    EXPECT_TRUE(std::isnan(ConvertToStorage(kStoreFloat, kNaN)));

    EXPECT_EQ(table.set(kVolume, 1.0), 77u);
    now = 1500;
    EXPECT_EQ(table.set(kVolume, 1.5), 77u);  // stores 1.0 again, but it differed
    EXPECT_EQ(layout->variables[kVolume].value, 1.0);
    now = 2000;
    EXPECT_EQ(table.set(kVolume, 1.0), 0u);  // unchanged, never expires: silent
    EXPECT_EQ(layout->variables[kVolume].lastChange, 1500u);
    layout->variables[kVolume].eventCode = 0;  // a variable without event is updated silently
    EXPECT_EQ(table.set(kVolume, 9), 0u);
    double value = -1;
    std::uint64_t changed = 0;
    EXPECT_EQ(table.get(kVolume, value, &changed), 1);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(changed, 2000u);

    EXPECT_EQ(table.get(kMute, value), 0);  // never written
    EXPECT_EQ(value, 0);
    now = 1000;
    EXPECT_EQ(table.set(kMute, 0), 78u);  // same value as the zeroed entry, but revived
    EXPECT_EQ(layout->variables[kMute].validUntil, 6000u);
    now = 6000;
    EXPECT_EQ(table.get(kMute, value), 1);  // valid up to and including valid-until
    EXPECT_EQ(table.set(kMute, 0), 0u);     // within the timeout, unchanged: silent, extended
    EXPECT_EQ(layout->variables[kMute].validUntil, 11000u);
    now = 11001;
    EXPECT_EQ(table.get(kMute, value), 0);
    EXPECT_EQ(layout->variables[kMute].validUntil, 0u);  // cleared by the read
    EXPECT_EQ(table.set(kMute, 0), 78u);                 // back to life
    EXPECT_EQ(table.get(kMute, value), 1);
}

// Bulk conversions and events: the "coresys db" tests.
TEST_F(Table, IdsWithoutEntryAreOutOfRangeForEveryOperationAndSkippedInBulk) {
    define(9999, kStoreInt32, 5, 100);
    const std::vector<std::uint8_t> namesBefore(reinterpret_cast<std::uint8_t*>(layout->names),
                                                reinterpret_cast<std::uint8_t*>(layout->names + 10000));
    for (std::int32_t id : {0, -1, 10000, 32767, 32768}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(table.set(id, 3), 0u);
        double value = -1;
        EXPECT_EQ(table.get(id, value), 0);
        EXPECT_EQ(value, 0);
        EXPECT_EQ(table.hasTimeout(id), 0);
        table.invalidate(1, &id);
        VariableEntry e;
        EXPECT_FALSE(table.entry(id, e));
    }
    EXPECT_EQ(std::memcmp(namesBefore.data(), layout->names, namesBefore.size()), 0);
    EXPECT_EQ(table.set(9999, 3), 5u);

    // Each value of a bulk write is compared with the one stored when it comes.
    const std::int32_t ids[] = {kMute, 10000, kVolume, kVolume};
    double values[] = {300, 7, 2.5, 2.5};
    std::vector<std::uint32_t> events;
    table.setMany(4, ids, values, events);
    EXPECT_EQ(events, (std::vector<std::uint32_t>{78, 77, 77}));  // the last 2.5 differs from the stored 2
    EXPECT_EQ((std::vector<double>(values, values + 4)), (std::vector<double>{44, 7, 2, 2}));
    double got[4];
    std::uint8_t valid[4];
    std::memset(got, 0xFF, sizeof got);
    now = 6001;  // Mute expired
    table.getMany(4, ids, got, valid);
    EXPECT_EQ((std::vector<double>(got, got + 4)), (std::vector<double>{0, 0, 2, 2}));
    EXPECT_EQ((std::vector<int>(valid, valid + 4)), (std::vector<int>{0, 0, 1, 1}));
}

/// The reserved string a text operation gave (none when it reported 0).
std::optional<std::uint32_t> Text(int found, const std::uint32_t& text) {  // read after the call
    return found ? std::optional<std::uint32_t>(text) : std::nullopt;
}

TEST_F(Table, EnumeratedValuesFollowTheValueTable) {
    std::uint32_t text = 0;
    EXPECT_EQ(Text(table.valueTextId(kMute, text), text), std::nullopt);  // no valid value yet
    table.set(kMute, 1);
    EXPECT_EQ(Text(table.valueTextId(kMute, text), text), 3u);
    EXPECT_EQ(Text(table.textIdForValue(kMute, 1.7, text), text), 3u);    // compared as an unsigned integer
    for (double bad : {-1.0, kNaN, 1e10, -kInf}) {
        EXPECT_EQ(Text(table.textIdForValue(kMute, bad, text), text), std::nullopt) << bad;
    }
    EXPECT_EQ(table.valueIndex(kMute, 1), 1u);
    EXPECT_EQ(table.valueIndex(kMute, 1.5), 3u);  // none equal: the number of entries
    EXPECT_EQ(Text(table.textIdAtIndex(kMute, 0, text), text), 2u);
    EXPECT_EQ(Text(table.textIdAtIndex(kMute, 2, text), text), std::nullopt);
    EXPECT_EQ(Text(table.textIdAtIndex(kMute, 3, text), text), std::nullopt);

    // From the last value up wraps to the first, from the first down to the last; a value not in
    // the table (-1 is never an unsigned table value) has no step.
    const struct {
        double current;
        bool up;
        std::optional<double> target;
    } steps[] = {{2, true, 0}, {0, false, 2}, {0, true, 1}, {7, true, {}}, {7, false, {}}, {-1, true, {}}};
    for (const auto& step : steps) {
        table.set(kMute, step.current);
        double target = -1;
        const bool found = table.stepTarget(kMute, step.up, target);
        EXPECT_EQ(found ? std::optional<double>(target) : std::nullopt, step.target) << step.current << step.up;
    }

    // A variable without a table, and ids beyond the definitions, have no enumerated values.
    double target = -1;
    table.set(kVolume, 0);
    EXPECT_FALSE(table.stepTarget(kVolume, true, target));
    EXPECT_EQ(table.valueIndex(kVolume, 0), 0u);
    EXPECT_EQ(table.textIdAtIndex(3, 0, text), 0);

    // A table of one value still names it, but gives no step.
    conf::ImageDescription d = CoreSystemTest::ExampleConfiguration();
    d.variables[1].values.resize(1);
    image = CoreSystemTest::BuildConfiguration(d);
    table = DatabaseTable(layout.get(), image.data(), [this] { return now; });
    table.set(kMute, 0);
    EXPECT_FALSE(table.stepTarget(kMute, true, target));
    EXPECT_FALSE(table.stepTarget(kMute, false, target));
    EXPECT_EQ(Text(table.valueTextId(kMute, text), text), 2u);
}

// Values, conversions and events of one writer at a time are driven end to end by "coresys db".
TEST(DBSHM, MissingTablesEndClientsAndClientsRaceWritersReadersAndAKilledLockHolderShareOneTable) {
    CoreSystemTest::IsolatedHost host;
    // No table, then one too short to use: the client ends with status 1.
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "short table" : "no table");
        int fd = -1;
        if (present) {
            ASSERT_NE(NM::createSharedMemory(kDatabaseObject, 4096, fd), nullptr);
            close(fd);
        }
        Child child = CoreSystemTest::Spawn(
            [] {
                dup2(STDOUT_FILENO, STDERR_FILENO);
                DBSHM::openDatabase();
                return 0;
            },
            true);
        EXPECT_EQ(CoreSystemTest::ReadOutput(child), "DBSHM_main Open() ERROR, could not open DBSHM.\n");
        EXPECT_EQ(CoreSystemTest::Wait(child), 1) << "never SIGBUS";
    }
    NMTest::Board* board = NMTest::makeBoard();
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(NMTest::createRegistryInChild(8), 0);
    ASSERT_TRUE(CoreSystemTest::LoadDevice());

    Child receiver = NMTest::startCodeRecorder(board, CoreSystem::kEventEndpoint, 2);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 1; })) << "no receiver of CCMEvent";

    Child racer = CoreSystemTest::Spawn([] {
        DBSHM::openDatabase();
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
        CHILD_CHECK(DBSHM::getVariable(1, value) == 1 && value == 8);
        CHILD_CHECK(DBSHM::getVariable(2, value) == 1 && value == 1);

        // The name index stays inside the name table.
        std::int32_t id = -1;
        CHILD_CHECK(DBSHM::lookupVariableId("Volume") == 1 && DBSHM::lookupVariableId("Mute") == 2);
        CHILD_CHECK(DBSHM::findVariableId("Loudness", id) == 0 && id == 0);
        CoreSystem::DatabaseLayout* table = DBSHM::table();
        table->lastNameIndex = 0x7FFFFFFF;  // beyond the 10000 entries
        std::memset(table->names[9999].name, 'x', sizeof table->names[9999].name);  // no NUL
        table->names[9999].id = 9999;
        table->names[5] = {5, "Volume"};  // a later entry of a known name
        DBSHM::rebuildNameIndex();
        CHILD_CHECK(DBSHM::lookupVariableId(std::string(128, 'x')) == 9999);
        CHILD_CHECK(DBSHM::lookupVariableId("Volume") == 1);  // the first id stays
        table->variables[1].eventCode = 0;  // the writers below change Volume silently
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(racer), 0);
    EXPECT_EQ(CoreSystemTest::Wait(receiver), 0);
    std::vector<int> racing(board->value, board->value + 2);  // in either order
    std::sort(racing.begin(), racing.end());
    EXPECT_EQ(racing, (std::vector<int>{77, 78}));

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
        board->step = 2;  // 1: the event recorder above was ready
        pause();
        return 0;
    });
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 2; })) << "the holder did not lock";
    Child waiting = CoreSystemTest::Spawn([board] {
        DBSHM::openDatabase();
        board->step = 3;
        DBSHM::setVariable(1, 12);
        return 0;
    });
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 3; })) << "the waiting client did not start";
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
