// The screen request client on its own, in a forked child with its own registry: the bytes each
// request reaches a receiver with, the text limit, the clamp of code 105 and lastResult().
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "ScreenActionClient.h"
#include "TestSupport.h"

namespace {

/// Little-endian 32-bit words, then `text` with its NUL when there is one.
std::string Request(const std::vector<int>& words, const char* text = nullptr) {
    std::string bytes;
    for (int word : words)
        for (int b = 0; b < 4; ++b) bytes += static_cast<char>(static_cast<unsigned>(word) >> (8 * b));
    return text ? bytes + text + '\0' : bytes;
}

/// Every case against a receiver of both endpoints; one line per mismatch in `problems`.
void RunCases(std::ostream& problems) {
    const std::string longest(kMaxRequestText, 'p');
    struct Case {
        const char* what;
        std::function<void(ScreenActionClient&)> call;
        bool screenshot;
        std::string bytes;  ///< empty: nothing may be sent
    } cases[] = {
        {"code 2", [](auto& c) { c.sendAction2(); }, false, Request({2, 0})},
        {"longest path", [&](auto& c) { c.requestScreenshot(longest, 1); }, true, Request({100, 0, 1}, longest.c_str())},
        {"path too long", [&](auto& c) { c.requestScreenshot(longest + "p", 1); }, true, ""},
        {"shorter path after it", [](auto& c) { c.requestScreenshot("ab", 7); }, true, Request({100, 0, 7}, "ab")},
        {"text and word", [](auto& c) { c.sendAction101(3, "hi", 4); }, false, Request({101, 3, 4}, "hi")},
        {"105 below 0", [](auto& c) { c.sendAction105(5, -1); }, false, Request({105, 5, 0})},
        {"105 at 100", [](auto& c) { c.sendAction105(5, 100); }, false, Request({105, 5, 100})},
        {"105 above 100", [](auto& c) { c.sendAction105(5, 101); }, false, Request({105, 5, 100})},
        {"107", [](auto& c) { c.sendAction107(9, -2); }, false, Request({107, 0, -2})},
    };
    {
        ScreenActionClient unresolved;  // no registry yet: the request cannot go out
        unresolved.requestScreenshot("/x.png", 1);
        if (unresolved.lastResult() != -1) problems << "without a registry: " << unresolved.lastResult() << "\n";
    }
    NM::createRegistry(8);
    NM::NMClient service(true);
    const int indexes[] = {service.getChannelIndex(kScreenActionEndpoint),
                           service.getChannelIndex(kScreenshotActionEndpoint)};
    for (int index : indexes) service.openReceiveChannel(index);
    ScreenActionClient client;
    std::vector<char> buffer(NM::kMaxPayload);
    for (const Case& c : cases) {
        c.call(client);
        if (client.lastResult() != static_cast<int>(c.bytes.size()))
            problems << c.what << ": lastResult " << client.lastResult() << "\n";
        // Requests go out synchronously. After a refused one, a marker must be the next frame.
        if (c.bytes.empty()) client.sendAction0(-7);
        int index = -1, size = -1;
        CoreSystemTest::Eventually([&] { return (size = service.recvMsg(&index, buffer.data(), NM::kMaxPayload)) >= 0; },
                                   std::chrono::seconds(3));
        const std::string got(buffer.data(), static_cast<std::size_t>(std::max(size, 0)));
        const bool wanted = c.bytes.empty() ? index == indexes[0] && got == Request({0, -7})
                                            : index == indexes[c.screenshot] && got == c.bytes;
        if (!wanted) problems << c.what << ": received " << size << " bytes on index " << index << "\n";
    }
}

TEST(ScreenActionClient, SendsEachRequestAsItsExactRecordAndReportsTheResult) {
    CoreSystemTest::IsolatedHost host;
    CoreSystemTest::Child child = CoreSystemTest::Spawn(
        [] {
            std::ostringstream problems;
            RunCases(problems);
            std::cout << problems.str() << std::flush;
            return 0;
        },
        true);
    EXPECT_EQ(CoreSystemTest::ReadOutput(child), "");
    EXPECT_EQ(CoreSystemTest::Wait(child), 0);
}

}  // namespace
