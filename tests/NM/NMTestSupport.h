// Shared pieces of the NM tests: a board in shared memory for coordinating forked processes, a
// check that reports the failing line through the child's exit status, and counts of objects.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "TestSupport.h"

/// In a forked child: on failure, says what failed and ends the child with a non-zero status.
#define CHILD_CHECK(condition)                                                                 \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                          \
        }                                                                                      \
    } while (0)

namespace NMTest {

namespace Platform = CoreSystem::Platform;
using namespace std::chrono_literals;
using namespace CoreSystemTest;

/// Flags and values that forked processes of one test share.
struct Board {
    volatile int step;
    volatile int value[8];
};

/// Waits, in a child, until the board's step reaches `step` (bounded).
inline bool awaitStep(const Board* board, int step, std::chrono::seconds limit = std::chrono::seconds(15)) {
    return CoreSystemTest::Eventually([&] { return board->step >= step; }, limit);
}

inline Board* makeBoard() {
    return CoreSystemTest::SharedWithChildren<Board>();
}

/// Creates the registry from a short-lived child, as the device's system process does.
inline int createRegistryInChild(int slots) {
    CoreSystemTest::Child creator =
        CoreSystemTest::Spawn([slots] { return NM::createRegistry(slots) != nullptr ? 0 : 1; });
    return CoreSystemTest::Wait(creator);
}

/// Starts the receiver of `endpoint` in a child that sets board->step to 1 once published, then records
/// the first `count` (at most 8) 4-byte codes it receives in board->value, in their order of arrival.
/// The child fails when they do not all arrive within the default limit.
inline CoreSystemTest::Child startCodeRecorder(Board* board, const char* endpoint, int count) {
    return CoreSystemTest::Spawn([board, endpoint, count] {
        NM::NMClient client(true);
        CHILD_CHECK(client.openReceiveChannel(client.getChannelIndex(endpoint)) >= 0);
        board->step = 1;
        int received = 0;
        std::uint32_t code = 0;
        CHILD_CHECK(CoreSystemTest::Eventually([&] {
            while (received < count && client.recvMsg(nullptr, reinterpret_cast<char*>(&code), sizeof code) == 4)
                board->value[received++] = static_cast<int>(code);
            return received == count;
        }));
        return 0;
    });
}

/// Mappings of message-passing channel objects in this process (one per live connection or
/// own channel).
inline int channelMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) count += line.find(".nto.ch.") != std::string::npos;
    return count;
}

/// Objects in /dev/shm whose names start with `prefix`.
inline long sharedObjects(const std::string& prefix) {
    std::filesystem::directory_iterator objects("/dev/shm");
    return std::count_if(begin(objects), end(objects), [&](const auto& entry) {
        return entry.path().filename().string().rfind(prefix, 0) == 0;
    });
}

}  // namespace NMTest
