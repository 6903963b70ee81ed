// Boot counter and storage check: the bytes of "bootCount.bin", the cache, wrap-around and the
// re-read of a stored 0, the boot tag, and the storage check's write test and its leftovers.
#include "CoreSystem/Storage/BootCounter.h"

#include "CoreSystem/Platform/Faults.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

using namespace CoreSystem;
namespace fs = std::filesystem;

class BootCounterTest : public ::testing::Test {
protected:
    BootCounterTest() : base(host.root() + "/etfs/") {
        fs::create_directories(base + "app");
        setenv("AUTOLOADPATH", base.c_str(), 1);
    }
    ~BootCounterTest() override {
        Platform::ClearFaults();
        unsetenv("AUTOLOADPATH");
    }

    void store(const std::string& bytes) { std::ofstream(base + "bootCount.bin") << bytes; }
    std::string stored() {
        std::ifstream file(base + "bootCount.bin", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    /// Runs `body` in a fresh process (its cached count starts at 0) and returns what it returned.
    static std::string inFreshProcess(const std::function<std::string()>& body) {
        CoreSystemTest::Child child = CoreSystemTest::Spawn(
            [&] {
                const std::string text = body();
                return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
            },
            true);
        std::string text = CoreSystemTest::ReadOutput(child);
        EXPECT_EQ(CoreSystemTest::Wait(child), 0);
        return text;
    }

    CoreSystemTest::IsolatedHost host;
    std::string base;
};

TEST_F(BootCounterTest, CountIsCachedLittleEndianAndWraps) {
    EXPECT_EQ(inFreshProcess([&] {
                  std::string log = std::to_string(BootCount()) + " ";
                  IncrementBootCount();
                  log += stored() + " ";
                  fs::remove(base + "bootCount.bin");
                  return log + std::to_string(BootCount());  // from the cache
              }),
              std::string("0 \x01\0\0\0 1", 8));

    store("\xff\xff\xff\xff");
    EXPECT_EQ(inFreshProcess([&] {
                  std::string log = std::to_string(BootCount()) + " ";
                  IncrementBootCount();
                  log += stored() + " ";
                  store(std::string("\x2a\x01\0\0", 4));  // a cached 0 is read again
                  return log + std::to_string(BootCount());
              }),
              std::string("4294967295 \0\0\0\0 298", 19));

    store(std::string("\x07\0\0\0\xee", 5));  // a failed write keeps the stored count
    EXPECT_EQ(inFreshProcess([&] {
                  Platform::FailNext(Platform::Call::Write, EIO);
                  IncrementBootCount();
                  return std::to_string(BootCount()) + " " + stored();
              }),
              std::string("7 \x07\0\0\0\xee", 7));
    store("\x34\x12");  // a short file gives the bytes that are there
    EXPECT_EQ(inFreshProcess([&] {
                  std::string log = std::to_string(BootCount()) + " " + BootTag().substr(0, 8) + " ";
                  IncrementBootCount();
                  return log + stored();
              }),
              std::string("4660 00001234 \x35\x12\0\0", 18));
    EXPECT_EQ(FormatBootTag(26, 0x1F), "0000001A000000000000001F");
    EXPECT_EQ(FormatBootTag(0xABCDEF01u, 0x0123456789ABCDEFull), "ABCDEF010123456789ABCDEF");
}

TEST_F(BootCounterTest, StorageCheckWritesRemovesAndReportsFailedWrites) {
    EXPECT_TRUE(IsStorageFormatted());
    EXPECT_FALSE(fs::exists(base + "formatted"));

    std::ofstream(base + "formatted") << "left by an interrupted check\n";
    EXPECT_TRUE(IsStorageFormatted()) << "a leftover test file must not make the check fail";
    EXPECT_FALSE(fs::exists(base + "formatted"));

    std::ofstream(host.root() + "/elsewhere") << "kept";
    fs::create_symlink(host.root() + "/elsewhere", base + "formatted");
    EXPECT_TRUE(IsStorageFormatted());
    EXPECT_FALSE(fs::is_symlink(base + "formatted"));
    EXPECT_EQ(fs::file_size(host.root() + "/elsewhere"), 4u) << "nothing written through a link";

    Platform::FailNext(Platform::Call::Write, ENOSPC);  // takes the name, refuses the data
    EXPECT_FALSE(IsStorageFormatted());
    EXPECT_FALSE(fs::exists(base + "formatted"));

    std::ofstream(base + "app/start.sh").put('\n');
    fs::create_directory(base + "formatted");  // a write test would fail now
    EXPECT_TRUE(IsStorageFormatted()) << "the start script alone decides";
}

}  // namespace
