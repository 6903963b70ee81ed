// Storage layout: paths from the autoload base, the USB root by family and map marker, the family
// read once. Boot counter ("bootCount.bin", its cache and wrap-around) and the storage check.
#include "CoreSystem/Storage/BootCounter.h"
#include "CoreSystem/Storage/StorageLayout.h"

#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

using namespace CoreSystem;
using namespace std::string_literals;
namespace fs = std::filesystem;

/// A host root without AUTOLOADPATH; the boot counter cases set it to `base` (useBase()).
class StorageTest : public ::testing::Test {
protected:
    StorageTest() { unsetenv("AUTOLOADPATH"); }
    ~StorageTest() override {
        Platform::ClearFaults();
        unsetenv("AUTOLOADPATH");
    }
    void useBase() {
        fs::create_directories(base + "app");
        setenv("AUTOLOADPATH", base.c_str(), 1);
    }
    void makeMapStick() {
        fs::create_directories(host.root() + "/fs/usb0");
        std::ofstream(host.root() + "/fs/usb0/mapid.bin").put('1');
    }
    void store(const std::string& bytes) { std::ofstream(base + "bootCount.bin") << bytes; }
    CoreSystemTest::IsolatedHost host;
    const std::string base = host.root() + "/etfs/";
};

TEST_F(StorageTest, PathsComposeTheTreeFromTheBaseAndTheUsbRootFollowsFamilyAndMapMarker) {
    using Getter = std::string (*)(std::string&);
    // Paths below the base, or absolute; the getters left out differ from RootPath only in their directory.
    const std::pair<Getter, const char*> cases[] = {
        {AutoloadPath, "x"}, {DataPath, "x"}, {RootPath, "root/x"}, {OsPath, "os/x"}, {StickPath, "/mnt/stick/x"},
        {CustomerExtensionsPath, "config/current/CustomerExtensions/x"}};
    for (const char* given : {"", "/data/", "/data"}) {  // none, and one without a trailing separator
        SCOPED_TRACE(given);
        if (*given) setenv("AUTOLOADPATH", given, 1);
        const std::string prefix = *given ? given : "/fs/etfs/";
        for (const auto& [getter, expected] : cases) {
            std::string name = "//x";
            EXPECT_EQ(getter(name), *expected == '/' ? expected : prefix + expected);
            EXPECT_EQ(name, "x") << "the caller's string loses its leading slashes";
        }
    }
    setenv("AUTOLOADPATH", "/data/", 1);
    EXPECT_EQ(NvdataImagePath(-3), "/data/nvdata/Images/-3.png");
    EXPECT_EQ(StoragePath(kStorageData, "/n") + StoragePath(kStorageSdCard, "n"), "/data/n/mnt/sd/");

    unsetenv("AUTOLOADPATH");  // the built-in base is looked at under the host root
    EXPECT_FALSE(HasStoryboard());
    fs::create_directories(host.root() + "/fs/etfs/config/current/storyboard");
    EXPECT_TRUE(HasStoryboard());
    fs::remove_all(host.root() + "/fs");

    // On M2 and E2 the user's stick is the one without the map marker; other families have one
    // fixed stick path, built from a copy of the name.
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

    for (const char* text : {"m2", "M2 ", "iMX35x", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(DeviceFamilyFromText(text), kFamilyUnknown);
    makeMapStick();
    // A forked child detects afresh as long as this program never asks for its own family.
    EXPECT_EQ(CoreSystemTest::RunInChild([] {
        setenv("DEVICEFAMILY", "M2", 1);
        const bool m2 = IsM2();
        setenv("DEVICEFAMILY", "iMX35", 1);
        return m2 && IsM2() && StoragePath(kStorageUsb, "") == "/fs/usb1/" ? 0 : 1;
    }), 0) << "the family is the one read first";
}

// Each case in a fresh process (nothing cached): count and tag, an increment and its flush, the
// file's bytes, then the count after the file changed behind its back (cached unless 0).
TEST_F(StorageTest, BootCountIsCachedLittleEndianAndWrapsAndTheStorageCheckWritesAndRemoves) {
    useBase();
    // name, file before ("-": none), whether the write fails, what the process saw
    const std::tuple<const char*, std::string, bool, std::string> cases[] = {
        {"no file", "-", false, "0 00000000 \x01\0\0\0 1"s},
        {"wrap to 0 and read again", "\xff\xff\xff\xff", false, "4294967295 FFFFFFFF \0\0\0\0 298"s},
        {"failed write keeps the file", "\x07\0\0\0\xee"s, true, "7 00000007 \x07\0\0\0\xee 7"s},
        {"short file", "\x34\x12", false, "4660 00001234 \x35\x12\0\0 4661"s},
        {"long file cut to 4 bytes", "\x34\x12\0\0\x99"s, false, "4660 00001234 \x35\x12\0\0 4661"s},
    };
    for (const auto& [name, before, writeFails, seen] : cases) {
        SCOPED_TRACE(name);
        fs::remove(base + "bootCount.bin");
        if (before != "-") store(before);
        CoreSystemTest::Child child = CoreSystemTest::Spawn(
            [&, fails = writeFails] {
                std::string log = std::to_string(BootCount()) + " " + BootTag().substr(0, 8) + " ";
                if (fails) Platform::FailNext(Platform::Call::Write, EIO);
                // Armed behind one fsync: it fires below only if the increment flushed the file.
                else Platform::FailNext(Platform::Call::Fsync, EIO, 1);
                IncrementBootCount();
                if (!fails && !Platform::InjectedFault(Platform::Call::Fsync)) log += "(not flushed) ";
                std::ifstream file(base + "bootCount.bin", std::ios::binary);
                log += std::string(std::istreambuf_iterator<char>(file), {}) + " ";
                store("\x2a\x01\0\0"s);
                log += std::to_string(BootCount());
                return std::fwrite(log.data(), 1, log.size(), stdout) == log.size() ? 0 : 1;
            },
            true);
        EXPECT_EQ(CoreSystemTest::ReadOutput(child), seen);
        EXPECT_EQ(CoreSystemTest::Wait(child), 0);
    }
    EXPECT_EQ(FormatBootTag(26, 0x1F), "0000001A000000000000001F");

    // The storage check's test file: a leftover (here a link) does not fail it, a refused write does.
    const std::string testFile = base + "formatted";
    std::ofstream(host.root() + "/elsewhere") << "kept";
    fs::create_symlink(host.root() + "/elsewhere", testFile);
    EXPECT_TRUE(IsStorageFormatted());
    EXPECT_FALSE(fs::exists(fs::symlink_status(testFile))) << "the test file is removed";
    EXPECT_EQ(fs::file_size(host.root() + "/elsewhere"), 4u) << "nothing written through a link";

    Platform::FailNext(Platform::Call::Write, ENOSPC);  // takes the name, refuses the data
    EXPECT_FALSE(IsStorageFormatted());
    EXPECT_FALSE(fs::exists(testFile));

    std::ofstream(base + "app/start.sh").put('\n');
    fs::create_directory(testFile);  // a write test would fail now
    EXPECT_TRUE(IsStorageFormatted()) << "the start script alone decides";
}

}  // namespace
