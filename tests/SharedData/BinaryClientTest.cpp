// The process-wide image client, one forked process per scenario: the marker wait and the image
// check in open, one open per process, and texts, counters and events shared between processes.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CultureTestSupport.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CultureTest;
using CoreSystem::BinaryClient;
using CoreSystemTest::Child;

constexpr const char* kModule = "./../../../CoreSystem/SharedData/BinaryClient open() error, ";

/// Places `image` as the loader would, but without any check (to offer open a damaged image).
bool PlaceUnchecked(const std::vector<std::uint8_t>& image) {
    int fd = -1;
    void* placed = NM::createSharedMemory(CoreSystem::kConfigurationObject, image.size(), fd);
    if (!placed) return false;
    std::memcpy(placed, image.data(), image.size());
    close(fd);
    return true;
}

void CreateMarker() {
    const std::string marker = CoreSystem::Platform::DevicePath(CoreSystem::kConfigurationMarker);
    std::filesystem::create_directories(std::filesystem::path(marker).parent_path());
    std::ofstream{marker};
}

TEST(BinaryClient, OpensOnlyACheckedImageOncePerProcess) {
    CoreSystemTest::IsolatedHost host;
    Child child = CoreSystemTest::Spawn(
        [] {
            std::atomic<int> opened{0};
            CoreSystem::Platform::SetSlogObserver([&opened](const CoreSystem::Platform::SlogRecord& record) {
                const std::string text = "BinaryClient: Opened by " + std::to_string(getpid()) + " pid";
                if (record.opcode == 10000 && record.severity == 6 && record.text == text) ++opened;
            });
            CreateMarker();
            BinaryClient::open();  // marker without image
            std::vector<std::uint8_t> image = Image();
            conf::WriteWord(Slot(image, kGreeting, 1), 0x12345678);  // a text slot loses its tag
            CHILD_CHECK(PlaceUnchecked(image));
            BinaryClient::open();
            std::string out = "untouched";
            CHILD_CHECK(BinaryClient::imageBase() == nullptr && opened == 0);
            CHILD_CHECK(BinaryClient::getString(kGreeting, out, 0) == 0 && out == "untouched");

            // Retried by four threads at once: one map, one record; their writes never mix.
            std::string error;
            image = Image();
            CHILD_CHECK(CoreSystem::LoadConfiguration(image.data(), image.size(), true, error));
            std::atomic<int> ready{0}, wrong{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([&, t] {
                    for (++ready; ready < 4;) std::this_thread::yield();
                    BinaryClient::open();
                    const std::string mine = "thread " + std::to_string(t);
                    std::string seen;
                    for (int n = 0; n < 200; ++n) {
                        BinaryClient::setStringForCulture(kNarrow, 1, mine, true);
                        BinaryClient::getStringForCulture(kNarrow, 1, seen, 0);
                        if (seen.rfind("thread ", 0) != 0) ++wrong;
                    }
                });
            }
            for (std::thread& thread : threads) thread.join();
            CHILD_CHECK(BinaryClient::imageBase() != nullptr && opened == 1 && wrong == 0);
            CHILD_CHECK(BinaryClient::getString(kGreeting, out, 0) == 1 && out == "Hello");
            CHILD_CHECK(BinaryClient::stringCapacity(kGreeting) == 15);
            CoreSystem::Platform::shm_unlink(CoreSystem::kConfigurationObject);
            BinaryClient::open();  // does nothing: no stat, no message, no record
            CHILD_CHECK(opened == 1);
            CoreSystem::Platform::SetSlogObserver({});
            return 0;
        },
        true);
    const std::string printed = CoreSystemTest::ReadOutput(child);
    ASSERT_EQ(CoreSystemTest::Wait(child), 0) << printed;
    const std::string stat = std::string(kModule) + "could not stat /dev/shmem/BINARY_CONFIGURATION.\n";
    const std::string check = std::string(kModule) + "/BINARY_CONFIGURATION is not a usable configuration image: ";
    EXPECT_EQ(printed.substr(0, stat.size() + check.size()), stat + check);
    EXPECT_NE(printed.find("text slot 3 (string 1, culture 1)"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2);
}

TEST(BinaryClient, ProcessesShareTextsCountersAndEvents) {
    CoreSystemTest::IsolatedHost host;
    NMTest::Board* board = NMTest::makeBoard();
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(NMTest::createRegistryInChild(4), 0);
    const std::vector<std::uint8_t> image = Image();
    std::string error;
    ASSERT_TRUE(CoreSystem::LoadConfiguration(image.data(), image.size(), false, error)) << error;

    // The receiver of "CCMEvent" records the codes in their order of arrival.
    Child listener = NMTest::startCodeRecorder(board, CoreSystem::kEventEndpoint, 5);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->step >= 1; })) << "no receiver of CCMEvent";

    // Two readers poll the greeting until they see the writer's text with its counter.
    auto reader = [board] {
        NM::NMClient attach(false);
        BinaryClient::open();
        std::string text;
        std::uint32_t last = BinaryClient::getString(kGreeting, text, 0);
        CHILD_CHECK(last == 1 && text == "Hello");
        __atomic_add_fetch(&board->value[7], 1, __ATOMIC_SEQ_CST);
        CHILD_CHECK(CoreSystemTest::Eventually([&] {
            const std::uint32_t now = BinaryClient::getString(kGreeting, text, last);
            if (now != 0) last = now;
            return last == 2;
        }));
        CHILD_CHECK(text == "Hi");
        return 0;
    };
    Child first = CoreSystemTest::Spawn(reader);
    Child second = CoreSystemTest::Spawn(reader);
    ASSERT_TRUE(CoreSystemTest::Eventually([&] { return board->value[7] == 2; })) << "readers did not start";

    Child writer = CoreSystemTest::Spawn([] {
        NM::NMClient attach(false);
        BinaryClient::open();
        BinaryClient::setString(kGreeting, "Hi", false);
        BinaryClient::setStringForCulture(kTarget, 1, "x", true);  // no-notify
        BinaryClient::copyString(kGreeting, kNarrow);              // two cultures: two events
        BinaryClient::composeString(kGreeting, "!", kZero, kTarget);
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(writer), 0);
    EXPECT_EQ(CoreSystemTest::Wait(first), 0);
    EXPECT_EQ(CoreSystemTest::Wait(second), 0);
    EXPECT_EQ(CoreSystemTest::Wait(listener), 0);
    EXPECT_EQ(std::vector<int>(board->value, board->value + 5), (std::vector<int>{701, 704, 704, 705, 705}));
}

}  // namespace
