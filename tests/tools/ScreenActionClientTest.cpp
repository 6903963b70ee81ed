// The screen request client on its own: the bytes of each request as a receiver gets them, the
// text limit, the clamp of code 105 and what lastResult() says. Runs in a forked child, which
// creates its own registry (registry state belongs to the process).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "ScreenActionClient.h"
#include "TestSupport.h"

namespace {

/// Little-endian bytes of 32-bit words followed by `text` and its NUL (when `withText`).
std::string Request(std::vector<std::int32_t> words, bool withText = false, const std::string& text = "") {
    std::string bytes;
    for (std::int32_t word : words) {
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>((static_cast<std::uint32_t>(word) >> (8 * b)) & 0xFF));
    }
    return withText ? bytes + text + '\0' : bytes;
}

struct Case {
    const char* what;
    std::function<void(ScreenActionClient&)> call;
    const char* endpoint;  ///< null: nothing may be sent
    std::string bytes;
};

/// Runs every case against a receiver of both endpoints; prints a line per mismatch.
int RunCases(std::ostream& problems) {
    const std::string longText(kMaxRequestText, 'p');
    const std::vector<Case> cases = {
        {"code 2", [](ScreenActionClient& c) { c.sendAction2(); }, kScreenActionEndpoint, Request({2, 0})},
        {"longest screenshot path",
         [&](ScreenActionClient& c) { c.requestScreenshot(longText, 1); }, kScreenshotActionEndpoint,
         Request({100, 0, 1}, true, longText)},
        {"path one character too long", [&](ScreenActionClient& c) { c.requestScreenshot(longText + "p", 1); },
         nullptr, ""},
        {"short path after a long one keeps its NUL", [](ScreenActionClient& c) { c.requestScreenshot("ab", 7); },
         kScreenshotActionEndpoint, Request({100, 0, 7}, true, "ab")},
        {"empty path", [](ScreenActionClient& c) { c.requestScreenshot("", 1); }, kScreenshotActionEndpoint,
         Request({100, 0, 1}, true, "")},
        {"text with a second word", [](ScreenActionClient& c) { c.sendAction101(3, "hi", 4); }, kScreenActionEndpoint,
         Request({101, 3, 4}, true, "hi")},
        {"text too long", [&](ScreenActionClient& c) { c.sendAction101(3, longText + "p"); }, nullptr, ""},
        {"105 below 0", [](ScreenActionClient& c) { c.sendAction105(5, -1); }, kScreenActionEndpoint,
         Request({105, 5, 0})},
        {"105 at 0", [](ScreenActionClient& c) { c.sendAction105(5, 0); }, kScreenActionEndpoint, Request({105, 5, 0})},
        {"105 at 100", [](ScreenActionClient& c) { c.sendAction105(5, 100); }, kScreenActionEndpoint,
         Request({105, 5, 100})},
        {"105 above 100", [](ScreenActionClient& c) { c.sendAction105(5, 101); }, kScreenActionEndpoint,
         Request({105, 5, 100})},
        {"107 drops its first argument", [](ScreenActionClient& c) { c.sendAction107(9, -2); }, kScreenActionEndpoint,
         Request({107, 0, -2})},
        {"four words", [](ScreenActionClient& c) { c.sendAction103(1, 2, 3, 4); }, kScreenActionEndpoint,
         Request({103, 1, 2, 3, 4})},
    };

    {
        // No registry: both endpoints stay unresolved and every request is refused.
        ScreenActionClient unresolved;
        unresolved.requestScreenshot("/x.png", 1);
        if (unresolved.screenshotActionIndex() != -1 || unresolved.lastResult() != -1) {
            problems << "without a registry: index " << unresolved.screenshotActionIndex() << ", result "
                     << unresolved.lastResult() << "\n";
        }
    }
    if (!NM::createRegistry(8)) {
        problems << "cannot create the registry\n";
        return 1;
    }
    NM::NMClient service(true);
    const int screenAction = service.getChannelIndex(kScreenActionEndpoint);
    const int screenshotAction = service.getChannelIndex(kScreenshotActionEndpoint);
    service.openReceiveChannel(screenAction);
    service.openReceiveChannel(screenshotAction);
    ScreenActionClient client;
    if (client.screenActionIndex() != screenAction || client.screenshotActionIndex() != screenshotAction) {
        problems << "the client resolved other indexes than the service\n";
    }
    std::vector<char> buffer(NM::kMaxPayload);
    for (const Case& c : cases) {
        c.call(client);
        const int expectedResult = c.endpoint ? static_cast<int>(c.bytes.size()) : 0;
        if (client.lastResult() != expectedResult) {
            problems << c.what << ": lastResult " << client.lastResult() << ", not " << expectedResult << "\n";
        }
        // Requests go out synchronously: what the service has now is all this case sent. A marker
        // on ScreenAction shows that nothing of a refused request is ahead of it.
        if (!c.endpoint) client.sendAction0(-7);
        int index = -1;
        int size = -1;
        CoreSystemTest::Eventually([&] { return (size = service.recvMsg(&index, buffer.data(), NM::kMaxPayload)) >= 0; },
                                   std::chrono::seconds(3));
        const std::string got(buffer.data(), static_cast<std::size_t>(std::max(size, 0)));
        const bool wanted = c.endpoint ? index == (c.endpoint == kScreenActionEndpoint ? screenAction : screenshotAction) &&
                                             got == c.bytes
                                       : index == screenAction && got == Request({0, -7});
        if (!wanted) problems << c.what << ": received " << size << " bytes on index " << index << "\n";
    }
    return 0;
}

TEST(ScreenActionClient, SendsEachRequestAsItsExactRecordAndReportsTheResult) {
    CoreSystemTest::IsolatedHost host;
    CoreSystemTest::Child child = CoreSystemTest::Spawn(
        [] {
            std::ostringstream problems;
            const int status = RunCases(problems);
            std::cout << problems.str() << std::flush;
            return status;
        },
        true);
    const std::string problems = CoreSystemTest::ReadOutput(child);
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
    EXPECT_EQ(problems, "");
}

}  // namespace
