// File-system utilities (hostile names, trees, listings, command lines, readiness waits) and text
// utilities (splitting, Base64).
#include "CoreSystem/Storage/FileSystemUtilities.h"
#include "CoreSystem/Storage/TextUtilities.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <tuple>

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

TEST_F(FileSystemUtilitiesTest, QuotedRemovalTakesThePathAsOneWordTreesAreAbsoluteAndListingMatchesAnyCase) {
    // Run in the test's root, so that a name the shell did interpret can only do harm there.
    ASSERT_EQ(CoreSystemTest::RunInChild([&] {
        if (chdir(host.root().c_str()) != 0) return 1;
        for (const char* keep : {"one", "two", "keep"}) fs::create_directory(keep);
        for (const char* name : {"one two", "it's", "say \"hi\"", "$(touch pwned)", "`touch pwned`",
                                 "a;touch pwned", "${UNSET_WORD:-keep}", "-rf", "*"}) {
            fs::create_directories(std::string(name) + "/inner");
            RemoveTreeQuoted(name);
        }
        return 0;
    }), 0);
    EXPECT_EQ(Sorted(ListDirectory(host.root(), "")), (Names{"keep", "one", "two"}));

    fs::create_directory(path("one two"));
    RemoveTree(path("one") + " " + path("two") + " " + path("k*"));  // words and patterns
    EXPECT_EQ(ListDirectory(host.root(), ""), Names{"one two"});

    // Directory trees are absolute and stop at files.
    std::ofstream(path("file")).put('x');
    const std::pair<std::string, bool> cases[] = {
        {path("a//b/c/"), true}, {path("a/b/c"), true}, {path("rel/d").substr(1), true},  // taken as absolute
        {"///", false},          {"", false},           {path("file/sub"), false}};
    for (const auto& [tree, made] : cases) EXPECT_EQ(MakeDirectoryTree(tree), made) << tree;
    EXPECT_TRUE(fs::is_directory(path("a/b/c")) && fs::is_directory(path("rel/d")));

    // Listing: the tree above has no name with ".png" in it.
    for (const char* name : {"1.png", "2.PNG", "x.txt"}) std::ofstream(path(name)).put('x');
    EXPECT_EQ(ListDirectory(host.root(), ".png"), Names{"1.png"});
    Names names{"0.kept"};
    ListDirectory(host.root(), names, ".png", false);
    EXPECT_EQ(Sorted(names), (Names{"0.kept", "1.png", "2.PNG"}));
    EXPECT_EQ(ListDirectory(path("missing"), ""), Names{});
}

TEST_F(FileSystemUtilitiesTest, CommandLinesWaitUnlessTheLastWordIsALoneAmpersandOutputIsCapturedWaitsAreBounded) {
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

    // Readiness waits take any descriptor and any time-out.
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

std::string Encode(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
}

TEST(TextUtilitiesTest, SplitReadsPiecesLikeLinesAndBase64RoundTripsAndStopsOutsideTheAlphabet) {
    const std::tuple<std::string, Names, Names> cases[] = {  // text, pieces without and with empty ones
        {"a,,b", {"a", "b"}, {"a", "", "b"}},
        {"a,b,", {"a", "b"}, {"a", "b"}},  // a final delimiter adds no piece
        {"", {}, {}},
        {",", {}, {""}},
        {",,a", {"a"}, {"", "", "a"}},
        {"a,b,,", {"a", "b"}, {"a", "b", ""}},
        {"no delimiter", {"no delimiter"}, {"no delimiter"}},
        {std::string("x\0y,z", 5), {std::string("x\0y", 3), "z"}, {std::string("x\0y", 3), "z"}},
    };
    for (const auto& [text, withoutEmpty, withEmpty] : cases) {
        EXPECT_EQ(Split(text, ',', false), withoutEmpty) << '"' << text << '"';
        EXPECT_EQ(Split(text, ',', true), withEmpty) << '"' << text << '"';
    }
    Names reused = {"left", "over"};  // replaced, not appended to
    Split("p q", ' ', reused, false);
    EXPECT_EQ(reused, (Names{"p", "q"}));

    // Base64: the RFC 4648 vectors, where decoding stops, round trips.
    const std::string rfc4648[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t length = 0; length < 7; ++length) {
        EXPECT_EQ(Encode(std::string("foobar", length)), rfc4648[length]);
        EXPECT_EQ(Base64Decode(rfc4648[length]), std::string("foobar", length));
    }
    EXPECT_EQ(Encode(std::string("\xff\xfe\xfd\x00\x80", 5)), "//79AIA=");  // the end of the alphabet
    EXPECT_EQ(Base64Encode(nullptr, 5), "");

    EXPECT_EQ(Base64Decode("YWJj!!!!"), "abc");
    EXPECT_EQ(Base64Decode("Zm9vYg==Zm9v"), "foob");          // padding ends the input
    EXPECT_EQ(Base64Decode("Zm9vYmE\xc3\xa9Zm9v"), "fooba");  // bytes above 0x7F are not letters
    EXPECT_EQ(Base64Decode(std::string("Zm9\0vYmFy", 9)), "fo");
    EXPECT_EQ(Base64Decode("Zm9vY"), "foo");  // a single leftover character gives nothing
    EXPECT_EQ(Base64Decode("Zm9vYm"), "foob");
    EXPECT_EQ(Base64Decode("=Zm9v"), "");

    // Every byte value at every tail length round-trips.
    std::string bytes;
    for (unsigned length = 0; length <= 256; ++length) {
        const std::string text = Encode(bytes);
        ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of(std::string(kBase64Alphabet) + "="), std::string::npos);
        ASSERT_EQ(Base64Decode(text), bytes) << "length " << length;
        bytes.push_back(static_cast<char>(length * 167));  // 167 is odd: all 256 values in turn
    }
}

}  // namespace
