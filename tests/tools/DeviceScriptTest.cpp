// scripts/device.sh: the whole simulated device with the example application comes up, answers,
// and goes away again on "device.sh stop" and on Ctrl-C (SIGINT), leaving nothing in /dev/shm.
#include <gtest/gtest.h>

#include <csignal>

#include "ToolsTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(DeviceScript, StartsTheWholeDeviceAndStopsItCleanly) {
    const std::string script = std::string(CORESYSTEM_SOURCE_DIR) + "/scripts/device.sh";
    for (const bool interrupt : {false, true}) {
        SCOPED_TRACE(interrupt ? "Ctrl-C" : "device.sh stop");
        CoreSystemTest::IsolatedHost host;
        const CoreSystemTest::Environment environment = {
            {"BUILD_DIR", CoreSystemTest::BuildDirectory()}, {"DEVICE_SKIP_BUILD", "1"},
            {"DEVICE_NAMESPACE", host.word()}, {"DEVICE_STATE", host.root() + "/device.pid"}};
        CoreSystemTest::Program device(script, {}, environment);
        ASSERT_TRUE(CoreSystemTest::Eventually([&] { return device.printed("tick 1:"); }, std::chrono::seconds(15)))
            << "the device did not come up with Radio ticking; it printed:\n" << device.output();
        for (const char* part : {"Notification", "BINARY_CONFIGURATION", "DBSHM", "ListManager"}) {
            EXPECT_TRUE(fs::exists(std::string("/dev/shm/") + host.word() + "." + part)) << part;
        }
        if (interrupt) {
            ASSERT_EQ(kill(device.pid(), SIGINT), 0);
        } else {
            CoreSystemTest::Program stop(script, {"stop"}, environment);
            EXPECT_EQ(stop.finish().status, 0);
        }
        const CoreSystemTest::Outcome outcome = device.finish(std::chrono::seconds(15));
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("device: stopped"), std::string::npos) << outcome.out;
        EXPECT_EQ(ToolsTest::SharedObjects(host), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(host.root() + "/device.pid"));
    }
}

}  // namespace
