// What the platform layer's tests share: the headers every one of them needs and the names they use.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace PlatformTest {

namespace Platform = CoreSystem::Platform;
using namespace CoreSystemTest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

}  // namespace PlatformTest
