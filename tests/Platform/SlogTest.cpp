// slogf on the host: records reach the observer and the CORESYSTEM_SLOG destination whole.
#include "CoreSystem/Platform/Slog.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using CoreSystem::Platform::kSlogVariable;
using CoreSystem::Platform::slogf;
using CoreSystem::Platform::SlogRecord;
using namespace CoreSystemTest;

constexpr int kCode = _SLOG_SETCODE(_SLOGC_TEST, 7);

TEST(SlogTest, ObserverSeesEachRecordAndBadSeverityIsRefused) {
    std::vector<SlogRecord> seen;
    CoreSystem::Platform::SetSlogObserver([&seen](const SlogRecord& record) { seen.push_back(record); });
    const std::string text = "disk " + std::string(600, 'x') + " full";
    const int size = slogf(kCode, _SLOG_ERROR, "%s after %d tries\n", text.c_str(), 3);
    errno = 0;
    EXPECT_EQ(ErrnoOf(slogf(kCode, 16, "no")), EINVAL);
    EXPECT_EQ(slogf(kCode, -1, "no"), -1);
    CoreSystem::Platform::SetSlogObserver({});

    EXPECT_EQ(size, static_cast<int>((std::to_string(kCode) + " 2 " + text + " after 3 tries\n").size()));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].opcode, kCode);
    EXPECT_EQ(seen[0].severity, _SLOG_ERROR);
    EXPECT_EQ(seen[0].text, text + " after 3 tries");
}

TEST(SlogTest, FileGetsOneWholeLinePerRecordFromConcurrentProcesses) {
    IsolatedHost host;
    const std::string path = host.root() + "/slog.txt";
    setenv(kSlogVariable, path.c_str(), 1);
    constexpr int kRecords = 300;
    auto write = [](char fill) {
        const std::string half(150, fill);
        for (int i = 0; i < kRecords; ++i) slogf(kCode, _SLOG_INFO, "%s\n%s\n", half.c_str(), half.c_str());
        return 0;
    };
    Child a = Spawn([&] { return write('a'); }), b = Spawn([&] { return write('b'); });
    EXPECT_EQ(Wait(a), 0);
    EXPECT_EQ(Wait(b), 0);
    setenv(kSlogVariable, "", 1);

    // Each record is one line; its inner line break became a space.
    const std::string prefix = std::to_string(kCode) + " 5 ";
    auto line = [&](char fill) { return prefix + std::string(150, fill) + " " + std::string(150, fill); };
    std::ifstream file(path);
    int count[2] = {0, 0};
    for (std::string text; std::getline(file, text);) {
        ASSERT_TRUE(text == line('a') || text == line('b')) << text;
        ++count[text.back() - 'a'];
    }
    EXPECT_EQ(count[0], kRecords);
    EXPECT_EQ(count[1], kRecords);
}

}  // namespace
