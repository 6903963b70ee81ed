// slogf on the host: records reach the observer and the CORESYSTEM_SLOG destination whole.
#include "CoreSystem/Platform/Slog.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using CoreSystem::Platform::kSlogVariable;
using CoreSystem::Platform::slogf;
using CoreSystem::Platform::SlogRecord;

constexpr int kCode = _SLOG_SETCODE(_SLOGC_TEST, 7);

TEST(SlogTest, ObserverSeesEveryRecordAndBadSeverityIsRefused) {
    std::vector<SlogRecord> seen;  // the observer runs under slogf's own lock
    CoreSystem::Platform::SetSlogObserver([&seen](const SlogRecord& record) { seen.push_back(record); });
    const std::string text = "disk " + std::string(600, 'x') + " full";
    const int size = slogf(kCode, _SLOG_ERROR, "%s after %d tries\n", text.c_str(), 3);
    errno = 0;
    const int refused = slogf(kCode, 16, "no");
    const int refusedErrno = errno;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) slogf(kCode, _SLOG_DEBUG2, "record %d", i);
        });
    }
    for (auto& thread : threads) thread.join();
    CoreSystem::Platform::SetSlogObserver({});

    EXPECT_EQ(size, static_cast<int>((std::to_string(kCode) + " 2 " + text + " after 3 tries\n").size()));
    EXPECT_EQ(refused, -1);
    EXPECT_EQ(refusedErrno, EINVAL);
    EXPECT_EQ(slogf(kCode, -1, "no"), -1);
    ASSERT_EQ(seen.size(), 401u);
    EXPECT_EQ(seen[0].opcode, kCode);
    EXPECT_EQ(seen[0].severity, _SLOG_ERROR);
    EXPECT_EQ(seen[0].text, text + " after 3 tries");
}

TEST(SlogTest, DestinationsGetOneWholeLinePerRecord) {
    CoreSystemTest::IsolatedHost host;
    const std::string path = host.root() + "/slog.txt";
    setenv(kSlogVariable, path.c_str(), 1);
    constexpr int kRecords = 300;
    auto writer = [](char fill) {
        return [fill] {
            for (int i = 0; i < kRecords; ++i) slogf(kCode, _SLOG_INFO, "%s", std::string(300, fill).c_str());
            return 0;
        };
    };
    CoreSystemTest::Child a = CoreSystemTest::Spawn(writer('a'));
    CoreSystemTest::Child b = CoreSystemTest::Spawn(writer('b'));
    EXPECT_EQ(CoreSystemTest::Wait(a), 0);
    EXPECT_EQ(CoreSystemTest::Wait(b), 0);
    setenv(kSlogVariable, "", 1);

    const std::string prefix = std::to_string(kCode) + " 5 ";
    std::ifstream file(path);
    std::string line;
    int count[2] = {0, 0};
    while (std::getline(file, line)) {
        ASSERT_TRUE(line == prefix + std::string(300, 'a') || line == prefix + std::string(300, 'b')) << line;
        ++count[line.back() - 'a'];
    }
    EXPECT_EQ(count[0], kRecords);
    EXPECT_EQ(count[1], kRecords);

    CoreSystemTest::Child child = CoreSystemTest::Spawn(
        [] {
            dup2(STDOUT_FILENO, STDERR_FILENO);
            setenv(kSlogVariable, "stderr", 1);
            return slogf(kCode, _SLOG_WARNING, "first\nsecond\n") > 0 ? 0 : 1;
        },
        true);
    EXPECT_EQ(CoreSystemTest::ReadOutput(child), std::to_string(kCode) + " 3 first second\n");
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

}  // namespace
