// Shared pieces of the NM tests: a board in shared memory for coordinating forked processes,
// and a check that reports the failing line through the child's exit status.
#pragma once

#include <sys/mman.h>
#include <chrono>
#include <cstdio>
#include <thread>

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

/// Flags and values that forked processes of one test share.
struct Board {
    volatile int step;
    volatile int pid;
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

}  // namespace NMTest
