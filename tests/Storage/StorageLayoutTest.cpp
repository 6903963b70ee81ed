// Storage layout: paths from the autoload base, leading slashes removed in place, the USB root by
// family and map marker, the family read once, and file tests under the host root.
#include "CoreSystem/Storage/StorageLayout.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace CoreSystem;
namespace fs = std::filesystem;

class StorageLayoutTest : public ::testing::Test {
protected:
    StorageLayoutTest() { unsetenv("AUTOLOADPATH"); }
    ~StorageLayoutTest() override { unsetenv("AUTOLOADPATH"); }
    void makeMapStick() {
        fs::create_directories(host.root() + "/fs/usb0");
        std::ofstream(host.root() + "/fs/usb0/mapid.bin").put('1');
    }
    CoreSystemTest::IsolatedHost host;
};

TEST_F(StorageLayoutTest, GettersComposeTheTreeFromTheBaseVerbatim) {
    using Getter = std::string (*)(std::string&);
    // Expected paths below the base; one starting with "/" does not depend on it.
    // clang-format off
    const std::pair<Getter, const char*> cases[] = {
        {AutoloadPath, "x"}, {DataPath, "x"}, {RootPath, "root/x"}, {OsPath, "os/x"}, {MapPath, "map/x"},
        {TempDirPath, "temp/x"}, {ScriptPath, "script/x"}, {AppPath, "app/x"}, {NvdataPath, "nvdata/x"},
        {ConfigPath, "config/x"}, {CurrentConfigPath, "config/current/x"}, {StickPath, "/mnt/stick/x"},
        {CustomerExtensionsPath, "config/current/CustomerExtensions/x"}};
    // clang-format on
    for (const char* base : {"", "/data/", "/data"}) {  // none, and one without a trailing separator
        SCOPED_TRACE(base);
        if (*base) setenv("AUTOLOADPATH", base, 1);
        const std::string prefix = *base ? base : "/fs/etfs/";
        for (const auto& [getter, expected] : cases) {
            std::string name = "//x";
            EXPECT_EQ(getter(name), *expected == '/' ? expected : prefix + expected);
            EXPECT_EQ(name, "x") << "the caller's string loses its leading slashes";
        }
    }
    setenv("AUTOLOADPATH", "/data/", 1);
    EXPECT_EQ(BinaryDataImagePath(12), "/data/config/current/BinaryData/12.png");
    EXPECT_EQ(NvdataImagePath(-3), "/data/nvdata/Images/-3.png");
    EXPECT_EQ(StoragePath(kStorageData, "/n") + StoragePath(kStorageSdCard, "n"), "/data/n/mnt/sd/");
}

// On M2 and E2 the user's stick is the one without the map marker; other families have one
// fixed stick path, built from a copy of the name.
TEST_F(StorageLayoutTest, UsbRootFollowsFamilyAndMapMarker) {
    for (DeviceFamily family : {kFamilyM2, kFamilyE2, kFamilyIMX35, kFamilyUnknown}) {
        const bool usb = family == kFamilyM2 || family == kFamilyE2;
        std::string name = "/x";
        EXPECT_EQ(UsbPath(name, family), usb ? "/fs/usb0/x" : "/mnt/stick/x") << "no stick mounted";
        EXPECT_EQ(name, usb ? "x" : "/x");
        fs::create_directories(host.root() + "/fs/usb0");
        EXPECT_EQ(UsbPath(name, family), usb ? "/fs/usb0/x" : "/mnt/stick/x") << "stick without marker";
        makeMapStick();
        EXPECT_EQ(UsbPath(name, family), usb ? "/fs/usb1/x" : "/mnt/stick/x") << "map stick first";
        fs::remove_all(host.root() + "/fs");
    }
}

TEST_F(StorageLayoutTest, FamilyIsReadOnceAndExactly) {
    for (const char* text : {"m2", "M2 ", "iMX35x", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(DeviceFamilyFromText(text), kFamilyUnknown);
    makeMapStick();
    // A forked child detects afresh as long as this program never asks for its own family.
    CoreSystemTest::Child child = CoreSystemTest::Spawn([] {
        setenv("DEVICEFAMILY", "M2", 1);
        const bool m2 = IsM2();
        setenv("DEVICEFAMILY", "iMX35", 1);
        return m2 && IsM2() && StoragePath(kStorageUsb, "") == "/fs/usb1/" ? 0 : 1;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0) << "the family is the one read first";
}

TEST_F(StorageLayoutTest, BuiltInBaseIsLookedAtUnderTheHostRoot) {
    EXPECT_FALSE(HasStoryboard());
    fs::create_directories(host.root() + "/fs/etfs/config/current/storyboard");
    EXPECT_TRUE(HasStoryboard());
    setenv("AUTOLOADPATH", "/fs/etfs/", 1);  // a base given in the environment is used as is
    EXPECT_EQ(HasStoryboard(), fs::is_directory("/fs/etfs/config/current/storyboard"));
}

}  // namespace
