// File-system utilities: hostile names given to the tree removal, directory trees, listing with
// and without case, command lines waiting or detached, captured output, and readiness waits on
// any descriptor with any time-out.
#include "CoreSystem/Storage/FileSystemUtilities.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

using namespace CoreSystem;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

Names Sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
}

class FileSystemUtilitiesTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return host.root() + "/" + name; }
    CoreSystemTest::IsolatedHost host;
};

TEST_F(FileSystemUtilitiesTest, QuotedRemovalTakesThePathAsOneWord) {
    // Run in the test's root, so that a name the shell did interpret can only do harm there.
    CoreSystemTest::Child child = CoreSystemTest::Spawn([&] {
        if (chdir(host.root().c_str()) != 0) return 1;
        for (const char* keep : {"one", "two", "keep"}) fs::create_directory(keep);
        for (const char* name : {"one two", "it's", "say \"hi\"", "$(touch pwned)", "`touch pwned`",
                                 "a;touch pwned", "${UNSET_WORD:-keep}", "-rf", "*"}) {
            fs::create_directories(std::string(name) + "/inner");
            RemoveTreeQuoted(name);
        }
        return 0;
    });
    ASSERT_EQ(CoreSystemTest::Wait(child), 0);
    EXPECT_EQ(Sorted(ListDirectory(host.root(), "")), (Names{"keep", "one", "two"}));

    fs::create_directory(path("one two"));
    RemoveTree(path("one") + " " + path("two") + " " + path("k*"));  // words and patterns
    EXPECT_EQ(ListDirectory(host.root(), ""), Names{"one two"});
}

TEST_F(FileSystemUtilitiesTest, DirectoryTreesAreAbsoluteAndStopAtFiles) {
    std::ofstream(path("file")).put('x');
    const std::pair<std::string, bool> cases[] = {
        {path("a//b/c/"), true}, {path("a/b/c"), true}, {path("rel/d").substr(1), true},  // taken as absolute
        {"///", false},          {"", false},           {path("file/sub"), false}};
    for (const auto& [tree, made] : cases) EXPECT_EQ(MakeDirectoryTree(tree), made) << tree;
    EXPECT_TRUE(fs::is_directory(path("a/b/c")) && fs::is_directory(path("rel/d")));
}

TEST_F(FileSystemUtilitiesTest, ListingMatchesSubstringsWithOrWithoutCase) {
    for (const char* name : {"1.png", "2.PNG", "x.txt"}) std::ofstream(path(name)).put('x');
    EXPECT_EQ(ListDirectory(host.root(), ".png"), Names{"1.png"});
    Names names{"0.kept"};
    ListDirectory(host.root(), names, ".png", false);
    EXPECT_EQ(Sorted(names), (Names{"0.kept", "1.png", "2.PNG"}));
    EXPECT_EQ(ListDirectory(path("missing"), ""), Names{});
}

TEST_F(FileSystemUtilitiesTest, CommandLinesWaitUnlessTheLastWordIsALoneAmpersandAndOutputIsCaptured) {
    std::ofstream(path("args.sh")) << "printf '%s|' \"$@\" > \"$0.out\"\nexit 3\n";
    std::string line = "sh  " + path("args.sh") + " a& b&";  // "&" only ends a word here
    EXPECT_EQ(RunCommandLine(line, 0), 3);
    std::string args;
    std::getline(std::ifstream(path("args.sh.out")), args);
    EXPECT_EQ(args, "a&|b&|");
    for (std::string nothing : {"", "   ", "&", " & ", "coresystem-no-such-program"})
        EXPECT_EQ(RunCommandLine(nothing, 0), -1) << '"' << nothing << '"';
    std::string detached = "sleep 30 &";
    const int pid = RunCommandLine(detached, 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, SIGKILL), 0) << "the detached program is running";
    // Captured output keeps long lines and every byte.
    EXPECT_EQ(CaptureCommandOutput("printf '%0600d\\n' 0; printf 'a\\000b'"),
              std::string(600, '0') + "\n" + std::string("a\0b", 3));
}

TEST_F(FileSystemUtilitiesTest, WaitReadableTakesAnyDescriptorAndAnyTimeOut) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int high = fcntl(ends[0], F_DUPFD, 1500);  // beyond any fixed-size descriptor set
    ASSERT_GE(high, 1500);
    close(ends[0]);
    EXPECT_EQ(WaitReadable(high, 20), 0);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_EQ(WaitReadable(high, 1000000), 1) << "a time-out of many seconds";
    close(ends[1]);
    char byte;
    ASSERT_EQ(read(high, &byte, 1), 1);
    EXPECT_EQ(WaitReadable(high, 1000), 1) << "end of file is readable";
    close(high);
    EXPECT_EQ(WaitReadable(high, 0), -1);
    EXPECT_EQ(WaitReadable(-1, 0), -1);
}

}  // namespace
