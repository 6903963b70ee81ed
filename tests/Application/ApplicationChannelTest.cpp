// The application channel: messages from frames, events, application endpoints and overlapping
// receives, each scenario in a forked child (the registry attach is process-wide).
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/Application/ApplicationChannel.h"
#include "NM/NMTestSupport.h"

namespace {

using CoreSystem::ApplicationChannel;
using CoreSystem::ApplicationMessage;
using Message = std::unique_ptr<ApplicationMessage>;

std::string Bytes(const ApplicationMessage& message) { return std::string(message.data(), message.size()); }

/// The next message of a channel; in polling mode waits (bounded) until one is there.
Message Next(ApplicationChannel& channel, bool polling) {
    Message message;
    if (!polling) return Message(channel.receive());
    CoreSystemTest::Eventually([&] { return (message = Message(channel.receive())) != nullptr; }, std::chrono::seconds(5));
    return message;
}

/// The next frame of a plain receiver (bounded wait): its payload, or "" when none came.
std::string NextFrame(NM::NMClient& receiver, int* channelIndex = nullptr) {
    std::vector<char> buffer(NM::kMaxPayload);
    int size = -1;
    CoreSystemTest::Eventually([&] { return (size = receiver.recvMsg(channelIndex, buffer.data(), NM::kMaxPayload)) > 0; },
                               std::chrono::seconds(5));
    return size > 0 ? std::string(buffer.data(), static_cast<std::size_t>(size)) : std::string();
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NMTest::createRegistryInChild(32), 0); }
    CoreSystemTest::IsolatedHost host;
};

TEST(ApplicationMessage, ShortRunsAndShortPayloadsTouchNothingOutside) {
    const char run[] = {1, 2, 3};
    ApplicationMessage shortRun(run, 3);
    EXPECT_EQ(Bytes(shortRun), std::string(4, '\0'));
    EXPECT_EQ(shortRun.payloadSize(), 0u);
    shortRun.setArgument(0xDEADBEEF);  // no payload word: nothing written (ASan watches the array)
    EXPECT_EQ(shortRun.size(), 4u);

    ApplicationMessage message(4);
    message.setId(0x01020304);
    message.setArgument(42);
    EXPECT_EQ(Bytes(message), std::string("\x04\x03\x02\x01\x2A\0\0\0", 8));
    ApplicationMessage moved(std::move(message));
    EXPECT_EQ(moved.id(), 0x01020304u);
    EXPECT_EQ(message.size(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from message is empty
    message = std::move(moved);
    EXPECT_EQ(message.id(), 0x01020304u);
}

TEST(ApplicationMessage, MessagesMadeAndReleasedOnDifferentThreadsNeverShareBytes) {
    // Payload sizes on both sides of each kept block size, and one too large to keep.
    const std::uint32_t sizes[] = {0, 28, 29, 60, 61, 252, 253, 1020, 1021, 5000};
    std::vector<std::unique_ptr<ApplicationMessage>> live;
    int fill = 0;  // each message's own byte, kept in its channel index
    const auto make = [&live, &sizes, &fill] {
        for (const std::uint32_t size : sizes) {
            auto message = std::make_unique<ApplicationMessage>(size);
            message->channelIndex = ++fill % 128;
            std::memset(message->data(), message->channelIndex, message->size());  // all of it (ASan: no further)
            live.push_back(std::move(message));
        }
    };
    const auto intact = [&live] {
        for (const auto& message : live)
            if (Bytes(*message) != std::string(message->size(), static_cast<char>(message->channelIndex))) return false;
        return true;
    };
    // A thread makes messages, the main thread releases every other one and makes more from the
    // blocks it got back; another thread moves the rest into new messages and releases them, then
    // ends (its kept blocks must be given back: LeakSanitizer watches).
    std::thread(make).join();
    for (std::size_t n = 0; n < live.size(); n += 2) live[n].reset();
    make();
    live.erase(std::remove(live.begin(), live.end(), nullptr), live.end());
    EXPECT_TRUE(intact());
    std::thread([&] {
        for (auto& message : live) {
            ApplicationMessage moved(std::move(*message));
            message = std::make_unique<ApplicationMessage>(moved.data(), moved.size());
            message->channelIndex = moved.channelIndex;
        }
        make();
    }).join();
    EXPECT_TRUE(intact());
}

// In a child, in either mode: frames become messages (short frames dropped), events are posted for
// positive ids only (-1 is named on standard output), and messages reach application endpoints.
int FramesAndEvents(bool polling) {
    ApplicationChannel channel(polling);  // claims "CCMEvent": slot 0
    NM::NMClient sender(true);
    for (int i = 1; i < 7; ++i) CHILD_CHECK(sender.getChannelIndex(("slot" + std::to_string(i)).c_str()) == i);
    CHILD_CHECK(channel.openEndpoint("RadioAction") == 7);
    CHILD_CHECK(channel.openEndpoint("RadioAction") == 7);
    const std::string frames[] = {std::string("\x05\0\0\0\x2A\0\0\0", 8), std::string("\x09\0", 2),
                                  std::string("\x06\0\0\0", 4)};
    for (const std::string& frame : frames) CHILD_CHECK(sender.send(7, frame.data(), int(frame.size())) > 0);
    Message first = Next(channel, polling);
    CHILD_CHECK(first && first->id() == 5 && first->payloadSize() == 4 && first->size() == 8);
    CHILD_CHECK(first->channelIndex == 7 && Bytes(*first) == frames[0]);
    Message second = Next(channel, polling);  // the 2-byte frame gave nothing
    CHILD_CHECK(second && second->id() == 6 && second->size() == 4 && second->channelIndex == 7);
    if (polling) CHILD_CHECK(channel.receive() == nullptr);

    NM::NMClient events(true);
    CHILD_CHECK(events.openReceiveChannel(events.getChannelIndex("CCMEvent")) == channel.eventChannelIndex());
    ApplicationMessage message(4);
    message.setId(77);
    channel.postEventId(0, message);
    CHILD_CHECK(message.id() == 0);
    channel.postEventId(0);
    channel.postEventId(-1, message);
    CHILD_CHECK(message.id() == 0xFFFFFFFFu);
    channel.postEventId(-1);
    message.setArgument(42);
    channel.postEventId(9, message);
    channel.postEventId(11);
    NM::NMClient nvmgr(true);
    CHILD_CHECK(nvmgr.openReceiveChannel(nvmgr.getChannelIndex("NVMgrAction")) >= 0);
    channel.sendToApplication("NVMgr", message);
    // Sends are synchronous: anything the earlier posts sent would come first.
    CHILD_CHECK(NextFrame(events) == std::string("\x09\0\0\0\x2A\0\0\0", 8));
    CHILD_CHECK(NextFrame(events) == std::string("\x0B\0\0\0", 4));
    int at = -1;
    CHILD_CHECK(NextFrame(nvmgr, &at) == Bytes(message) && at == nvmgr.getChannelIndex("NVMgrAction"));
    return 0;
}

TEST_F(Channel, FramesBecomeMessagesAndEventsArePostedOnlyForPositiveIds) {
    for (const bool polling : {true, false}) {
        SCOPED_TRACE(polling ? "polling" : "blocking");
        CoreSystemTest::Child child = CoreSystemTest::Spawn([polling] { return FramesAndEvents(polling); }, true);
        const std::string line = "APP " + std::to_string(child.pid) + " SENT AN INVALID EVENT ID -1\n";
        const std::string output = CoreSystemTest::ReadOutput(child);
        ASSERT_EQ(CoreSystemTest::Wait(child), 0) << output;
        EXPECT_EQ(output, line + line);
    }
}

TEST_F(Channel, OverlappingReceivesInOneProcessKeepEveryMessageWhole) {
    CoreSystemTest::Child child = CoreSystemTest::Spawn([] {
        constexpr int kMessages = 300;
        ApplicationChannel channels[2] = {ApplicationChannel(false), ApplicationChannel(false)};
        const int indexes[2] = {channels[0].openEndpoint("FirstAction"), channels[1].openEndpoint("SecondAction")};
        int failures[2] = {0, 0};
        std::vector<std::thread> threads;
        for (int c = 0; c < 2; ++c) {
            threads.emplace_back([&, c] {
                NM::NMClient sender(true);
                for (int n = 0; n < kMessages; ++n) {
                    std::vector<char> frame(4 + static_cast<std::size_t>(n % 64) * 16, static_cast<char>('a' + c));
                    std::memcpy(frame.data(), &n, sizeof n);
                    sender.send(indexes[c], frame.data(), static_cast<int>(frame.size()));
                }
            });
            threads.emplace_back([&, c] {
                for (int n = 0; n < kMessages; ++n) {
                    Message message(channels[c].receive());
                    const std::string payload = message ? Bytes(*message).substr(4) : "lost";
                    if (!message || message->id() != static_cast<std::uint32_t>(n) ||
                        payload != std::string(static_cast<std::size_t>(n % 64) * 16, static_cast<char>('a' + c)))
                        ++failures[c];
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        CHILD_CHECK(failures[0] == 0 && failures[1] == 0);
        return 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child, std::chrono::seconds(60)), 0);
}

}  // namespace
