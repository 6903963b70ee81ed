// Host isolation: where shared names and fixed device paths land for a given namespace and root.
#include "CoreSystem/Platform/Environment.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using CoreSystem::Platform::DevicePath;
using CoreSystem::Platform::SharedObjectName;

TEST(EnvironmentTest, SharedNamesGoIntoTheNamespaceAndDevicePathsUnderTheRoot) {
    EXPECT_EQ(SharedObjectName("/NMRegistry", "dev2"), "/dev2.NMRegistry");
    EXPECT_EQ(SharedObjectName("NMRegistry", "dev2"), "/dev2.NMRegistry");
    EXPECT_EQ(SharedObjectName("/NMRegistry", ""), "/NMRegistry");
    EXPECT_EQ(DevicePath("/dev/i2c1", "/tmp/board/"), "/tmp/board/dev/i2c1");
    EXPECT_EQ(DevicePath("/dev/i2c1", ""), "/dev/i2c1");
    EXPECT_EQ(DevicePath("media/usb0", "/tmp/board"), "media/usb0");  // relative: left alone
    EXPECT_EQ(DevicePath("", "/tmp/board"), "");
    // Without arguments, both come from the environment.
    CoreSystemTest::IsolatedHost host;
    EXPECT_EQ(SharedObjectName("/NMRegistry"), "/" + host.word() + ".NMRegistry");
    EXPECT_EQ(DevicePath("/mnt/marker"), host.root() + "/mnt/marker");
}

}  // namespace
