// Storage layout: paths from the autoload base, leading slashes removed in place, the USB root by
// family and map marker, the family read once, and file tests under the host root.
#include "CoreSystem/Storage/StorageLayout.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace CoreSystem;
using Getter = std::string (*)(std::string&);

class StorageLayoutTest : public ::testing::Test {
protected:
    ~StorageLayoutTest() override { unsetenv("AUTOLOADPATH"); }
    void makeMapStick() {
        std::filesystem::create_directories(host.root() + "/fs/usb0");
        std::ofstream(host.root() + "/fs/usb0/mapid.bin").put('1');
    }
    CoreSystemTest::IsolatedHost host;
};

std::string With(Getter getter, std::string name) {
    return getter(name);
}

TEST_F(StorageLayoutTest, GettersComposeTheTreeFromTheBaseVerbatim) {
    unsetenv("AUTOLOADPATH");
    EXPECT_EQ(With(AppPath, "start.sh"), "/fs/etfs/app/start.sh");

    setenv("AUTOLOADPATH", "/data/", 1);
    // clang-format off
    const std::pair<Getter, const char*> cases[] = {
        {AutoloadPath, "/data/x"}, {DataPath, "/data/x"}, {RootPath, "/data/root/x"}, {OsPath, "/data/os/x"},
        {MapPath, "/data/map/x"}, {TempDirPath, "/data/temp/x"}, {ScriptPath, "/data/script/x"},
        {AppPath, "/data/app/x"}, {NvdataPath, "/data/nvdata/x"}, {ConfigPath, "/data/config/x"},
        {CurrentConfigPath, "/data/config/current/x"}, {StickPath, "/mnt/stick/x"},
        {CustomerExtensionsPath, "/data/config/current/CustomerExtensions/x"}};
    // clang-format on
    for (const auto& [getter, expected] : cases) {
        std::string name = "//x";
        EXPECT_EQ(getter(name), expected);
        EXPECT_EQ(name, "x") << "the caller's string loses its leading slashes";
    }
    EXPECT_EQ(BinaryDataImagePath(12), "/data/config/current/BinaryData/12.png");
    EXPECT_EQ(NvdataImagePath(-3), "/data/nvdata/Images/-3.png");
    EXPECT_EQ(StoragePath(kStorageData, "/n") + StoragePath(kStorageSdCard, "n"), "/data/n/mnt/sd/");
    EXPECT_EQ(StoragePath(7, "/n"), "");

    setenv("AUTOLOADPATH", "/data", 1);  // no separator is added
    EXPECT_EQ(With(RootPath, "x"), "/dataroot/x");
}

TEST_F(StorageLayoutTest, UsbRootFollowsFamilyAndMapMarker) {
    auto usb = [](std::string name, DeviceFamily family) { return UsbPath(name, family); };
    for (DeviceFamily family : {kFamilyM2, kFamilyE2}) {
        EXPECT_EQ(usb("x", family), "/fs/usb0/x") << "no stick mounted";
        std::filesystem::create_directories(host.root() + "/fs/usb0");
        EXPECT_EQ(usb("/x", family), "/fs/usb0/x") << "stick without marker";
        makeMapStick();
        EXPECT_EQ(usb("x", family), "/fs/usb1/x") << "map stick first, with or without a second";
        std::filesystem::remove_all(host.root() + "/fs");
    }
    for (DeviceFamily family : {kFamilyIMX35, kFamilyUnknown}) {
        std::string name = "/x";
        EXPECT_EQ(UsbPath(name, family), "/mnt/stick/x");
        EXPECT_EQ(name, "/x") << "only a copy is stripped";
    }
}

TEST_F(StorageLayoutTest, FamilyIsReadOnceAndExactly) {
    for (const char* text : {"m2", "M2 ", "iMX35x", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(DeviceFamilyFromText(text), kFamilyUnknown);
    }

    makeMapStick();
    // A forked child detects afresh as long as this program never asks for its own family.
    CoreSystemTest::Child child = CoreSystemTest::Spawn(
        [] {
            setenv("DEVICEFAMILY", "M2", 1);
            std::string first = "x", second = "x";
            const std::string before = UsbPath(first);
            setenv("DEVICEFAMILY", "iMX35", 1);
            std::printf("%s %s %s %d", before.c_str(), UsbPath(second).c_str(),
                        StoragePath(kStorageUsb, "").c_str(), IsM2() ? 1 : 0);
            return 0;
        },
        true);
    EXPECT_EQ(CoreSystemTest::ReadOutput(child), "/fs/usb1/x /fs/usb1/x /fs/usb1/ 1");
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

TEST_F(StorageLayoutTest, BuiltInBaseIsLookedAtUnderTheHostRoot) {
    unsetenv("AUTOLOADPATH");
    EXPECT_FALSE(HasStoryboard());
    std::filesystem::create_directories(host.root() + "/fs/etfs/config/current/storyboard");
    EXPECT_TRUE(HasStoryboard());
    setenv("AUTOLOADPATH", "/fs/etfs/", 1);  // a base given in the environment is used as is
    EXPECT_EQ(HasStoryboard(), std::filesystem::is_directory("/fs/etfs/config/current/storyboard"));
}

}  // namespace
