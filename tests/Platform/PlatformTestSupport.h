// What the platform layer's tests share: the headers every one of them needs and the names they use.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Neutrino.h"
#include "TestSupport.h"

namespace PlatformTest {

namespace Platform = CoreSystem::Platform;
using namespace CoreSystemTest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

}  // namespace PlatformTest
