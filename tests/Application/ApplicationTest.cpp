// The application layer: the channel, the configuration scan on built images, a manager on a
// simulated device, the timer listener, and BackupFile (the copies and the link, the choice of the
// current copy by headers, failures at the file seam, a writer killed at random moments). Scenarios
// with a registry run in forked children (its attach is process-wide).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CoreSystem/Application/ApplicationChannel.h"
#include "CoreSystem/Application/ApplicationManager.h"
#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/Application/TimerListener.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Faults.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace CoreSystem;
using CoreSystemTest::Eventually;
using namespace std::chrono_literals;
using Message = std::unique_ptr<ApplicationMessage>;

std::string Bytes(const ApplicationMessage& message) { return std::string(message.data(), message.size()); }

/// The next message of a channel; in polling mode waits (bounded) until one is there.
Message Next(ApplicationChannel& channel, bool polling) {
    Message message;
    if (!polling) return Message(channel.receive());
    Eventually([&] { return (message = Message(channel.receive())) != nullptr; }, 5s);
    return message;
}

/// The next frame of a plain receiver (bounded wait): its payload, or "" when none came.
std::string NextFrame(NM::NMClient& receiver, int* channelIndex = nullptr) {
    std::vector<char> buffer(NM::kMaxPayload);
    int size = -1;
    Eventually([&] { return (size = receiver.recvMsg(channelIndex, buffer.data(), NM::kMaxPayload)) > 0; }, 5s);
    return size > 0 ? std::string(buffer.data(), static_cast<std::size_t>(size)) : std::string();
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(NMTest::createRegistryInChild(32), 0); }
    CoreSystemTest::IsolatedHost host;
};

// A short run or payload touches nothing outside; messages made and released on different threads
// never share bytes.
TEST(ApplicationMessage, ShortRunsAndMessagesOfOtherThreadsTouchNothingOutside) {
    const char run[] = {1, 2, 3};
    ApplicationMessage shortRun(run, 3);
    shortRun.setArgument(0xDEADBEEF);  // no payload word: nothing written (ASan watches the array)
    EXPECT_EQ(Bytes(shortRun), std::string(4, '\0'));
    ApplicationMessage message(4);
    message.setId(0x01020304);
    message.setArgument(42);
    EXPECT_EQ(Bytes(message), std::string("\x04\x03\x02\x01\x2A\0\0\0", 8));

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
    EXPECT_EQ(CoreSystemTest::Wait(child, 60s), 0);
}

using Description = conf::ImageDescription;

/// The example configuration with `applications` in place of its own.
Description With(std::vector<Description::Application> applications) {
    Description description = CoreSystemTest::ExampleConfiguration();
    description.applications = std::move(applications);
    return description;
}

using Ids = std::vector<std::optional<std::uint32_t>>;

Ids NVMgrIds(const ApplicationTables& t) { return {t.nvmgrAction0, t.nvmgrAction2, t.nvmgrAction6}; }

struct Scan {
    ApplicationTables tables;
    std::vector<std::string> opened;  ///< endpoints the scan opened, in order
};

/// Scans a built image of `description`; endpoint "<x>" gets key 10 + its position in `opened`.
Scan ScanOf(const Description& description, const std::string& name, bool withoutEndpoint = false) {
    std::vector<std::uint8_t> image = CoreSystemTest::BuildConfiguration(description);
    Scan scan;
    scan.tables = ScanConfiguration(image.data(), name, withoutEndpoint, [&scan](const std::string& endpoint) {
        for (std::size_t i = 0; i < scan.opened.size(); ++i)
            if (scan.opened[i] == endpoint) return static_cast<int>(10 + i);
        scan.opened.push_back(endpoint);
        return static_cast<int>(9 + scan.opened.size());
    });
    return scan;
}

TEST(ConfigurationScan, BuildsTheTablesOfTheNamedApplicationOnlyWithItsLastRecordAndFirstMappings) {
    const Scan radio = ScanOf(CoreSystemTest::ExampleConfiguration(), "Radio");
    EXPECT_EQ(radio.opened, std::vector<std::string>{"RadioAction"});
    ASSERT_EQ(radio.tables.ownKey, 10);
    ASSERT_EQ(radio.tables.applications.size(), 1u);
    const ApplicationRecord* record = radio.tables.find(-1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, radio.tables.find(10));
    EXPECT_EQ(record->actions, (std::map<std::uint32_t, std::uint32_t>{{9100, 0}, {9101, 1}}));
    EXPECT_EQ(record->events, (std::map<int, std::uint32_t>{{0, 801}}));
    EXPECT_EQ(record->variables, (std::map<int, int>{{5, 1}, {7, 2}}));
    EXPECT_EQ(record->reservedStrings, (std::map<int, int>{{0, 1}}));
    EXPECT_NE(record->applicationReference, nullptr);
    EXPECT_EQ(NVMgrIds(radio.tables), (Ids{9200u, 9202u, 9206u}));  // whatever the manager's own name
    EXPECT_EQ(radio.tables.translateAction(10, 9101), 1u);
    EXPECT_EQ(radio.tables.translateAction(10, 4242), 4242u);  // not an action of Radio
    EXPECT_EQ(radio.tables.translateAction(11, 9101), 9101u);  // another endpoint

    const Scan nobody = ScanOf(CoreSystemTest::ExampleConfiguration(), "Radi");
    EXPECT_TRUE(nobody.opened.empty());
    EXPECT_EQ(nobody.tables.ownKey, -1);
    EXPECT_EQ(nobody.tables.find(-1), nullptr);

    EXPECT_TRUE(ReservedStringsOf(nullptr).empty());
    EXPECT_TRUE(ScanConfiguration(nullptr, "Radio", false, [](const std::string&) { return 1; }).applications.empty());

    // Of an application named twice the last record counts; within a record a repeated number keeps
    // its first mapping. Only an entry named exactly "NVMgr" gives the NVMgr ids, whatever is scanned.
    const Scan scan = ScanOf(With({{"Tuner", {{0, 9400}}, {}, {}, {}, false},
                                   {"Tuner", {{3, 9300}, {4, 9300}, {5, 9301}}, {{1, 901}, {1, 902}}, {}, {}, false},
                                   {"NVMgrX", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"NVMg", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"nvmgr", {{0, 1}, {2, 2}, {6, 3}}, {}, {}, {}, false},
                                   {"NVMgr", {{2, 7}, {2, 8}, {1, 9}}, {}, {}, {}, false}}),
                             "Tuner");
    EXPECT_EQ(scan.opened, std::vector<std::string>{"TunerAction"});
    ASSERT_EQ(scan.tables.applications.size(), 1u);  // the first record is replaced (and freed)
    EXPECT_EQ(scan.tables.translateAction(10, 9400), 9400u);
    EXPECT_EQ(scan.tables.translateAction(10, 9300), 3u);
    EXPECT_EQ(scan.tables.find(-1)->events, (std::map<int, std::uint32_t>{{1, 901}}));
    EXPECT_EQ(NVMgrIds(scan.tables), (Ids{std::nullopt, 8u, std::nullopt}));  // the later action 2 wins
}

TEST(ConfigurationScan, TheActionIndexTranslatesAsItsMap) {
    using Actions = std::map<std::uint32_t, std::uint32_t>;
    for (const Actions& actions : {Actions{}, Actions{{9100, 0}, {9101, 1}, {9105, 7}},
                                   Actions{{0, 9}, {5, 1}, {100000, 2}, {0xFFFFFFFE, 1}, {0xFFFFFFFF, 3}}}) {
        ActionIndex index;
        index.build(actions);
        std::vector<std::uint32_t> probes = {1, 4, 6, 99999, 0x7FFFFFFF};
        for (const auto& [id, local] : actions) probes.insert(probes.end(), {id - 1, id, id + 1});
        for (const std::uint32_t id : probes)
            EXPECT_EQ(index.translate(id), actions.count(id) ? actions.at(id) : id) << id;
    }
}

using Manager = Channel;  // with a simulated device loaded beside the registry

// Translation, events, variable batches and NVMgr requests end to end: tests/tools/CoresysDeviceTest.cpp.
TEST_F(Manager, ReadsAndWritesTheSharedDataByLocalNumberWithOrWithoutEndpointAndNVMgrEntry) {
    ASSERT_TRUE(CoreSystemTest::LoadDevice());
    EXPECT_EQ(CoreSystemTest::RunInChild([] {
        CHILD_CHECK(reservedStringMap().empty());  // the image is not open yet: scanned again later
        ApplicationManager radio("Radio", true, false);
        NM::NMClient sender(true);
        CHILD_CHECK(radio.ownKey() == sender.getChannelIndex("RadioAction") && NM::SlotPid(radio.ownKey()) == getpid());

        radio.setLocalVariable(7, 1);
        CHILD_CHECK(radio.variableText(7) == "An" && radio.variableText(5).empty() && radio.variableText(8).empty());

        CHILD_CHECK(radio.reservedStringId(0) == 1 && radio.reservedStringId(1) == -1);
        radio.setReservedString(0, "Lauter", 0);
        CHILD_CHECK(radio.reservedStringText(0, 0) == "Lauter");
        std::string english;
        BinaryClient::getStringForCulture(1, 0, english, 0);
        CHILD_CHECK(english == "Volume");                     // current culture only
        CHILD_CHECK(radio.reservedStringText(0, 2).empty());  // the counter is 2 now: unchanged

        conf::ApplicationInformation reference;
        radio.bindApplicationRecord(reference);
        CHILD_CHECK(reference.record() && conf::Conf::textAt(reference, reference.word(2)) == "Radio");

        // Two first callers of the reserved-string map at the same moment.
        const std::map<int, int>* seen[2] = {nullptr, nullptr};
        std::thread first([&] { seen[0] = &reservedStringMap(); }), second([&] { seen[1] = &reservedStringMap(); });
        first.join();
        second.join();
        CHILD_CHECK(seen[0] == seen[1] && seen[0]->size() == 2);
        return 0;
    }, 30s), 0);

    ASSERT_TRUE(CoreSystemTest::LoadDevice(With({{"Radio", {{0, 9100}}, {}, {}, {{0, 1}}, false}})));
    EXPECT_EQ(CoreSystemTest::RunInChild([] {
        NM::NMClient nvmgr(true);
        nvmgr.openReceiveChannel(nvmgr.getChannelIndex("NVMgrAction"));
        ApplicationManager radio("Radio", true, true);
        CHILD_CHECK(radio.ownKey() == -1 && radio.tables().find(-1) != nullptr);
        CHILD_CHECK(NM::SlotPid(radio.client().getChannelIndex("RadioAction")) == -1);
        CHILD_CHECK(radio.reservedStringId(0, -5) == 1 && radio.reservedStringId(1) == -1);
        CHILD_CHECK(!radio.postNVMgrAction0(1) && !radio.postNVMgrAction2() && !radio.postNVMgrAction6(1));
        std::vector<char> buffer(16);
        CHILD_CHECK(nvmgr.recvMsg(nullptr, buffer.data(), 16) == -1);  // sends are synchronous
        return 0;
    }, 30s), 0);
}

void Count(void* counter) { ++*static_cast<std::atomic<int>*>(counter); }

class TimerListenerTest : public ::testing::Test {
protected:
    void TearDown() override {
        Platform::ClearFaults();
        Platform::SetSlogObserver({});
    }
    /// Sets `logged` once a log line contains `text`.
    void watchLog(std::string text) {
        Platform::SetSlogObserver([this, text](const Platform::SlogRecord& record) {
            if (record.text.find(text) != std::string::npos) logged = true;
        });
    }
    CoreSystemTest::IsolatedHost host;
    std::atomic<bool> logged{false};
};

TEST_F(TimerListenerTest, CallsBackPeriodicallyOnceOrNotAtAllUntilAReceiveFails) {
    // Interrupted receives are retried.
    Platform::FailNext(Platform::Call::MsgReceivePulse, EINTR, 0, 3);
    std::atomic<int> calls{0};
    auto listener = std::make_unique<TimerListener>();
    EXPECT_EQ(listener->setCallback(Count, &calls, 0, 20), 0);  // a single shot
    ASSERT_TRUE(Eventually([&] { return calls == 1; }, 5s)) << "the single shot did not fire";
    EXPECT_EQ(listener->start(1000, 0), 0);  // a first time of 0 arms nothing
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, 1) << "a single shot fired again, or a first time of 0 armed the timer";

    EXPECT_EQ(listener->start(5, 5), 0);
    ASSERT_TRUE(Eventually([&] { return calls >= 6; }, 5s)) << "periodic calls: " << calls;
    EXPECT_EQ(listener->stop(), 0);
    std::this_thread::sleep_for(20ms);  // a pulse sent just before stop may still be handled
    const int stopped = calls;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls, stopped) << "called while stopped";
    EXPECT_EQ(listener->start(5, 5), 0);
    EXPECT_TRUE(Eventually([&] { return calls >= stopped + 3; }, 5s)) << "stop then start did not resume";
    // A forked child runs a listener of its own and the parent's goes on (not under TSan: there a
    // forked child of a threaded process cannot start threads).
    if (!CoreSystemTest::kThreadSanitizer) {
        CoreSystemTest::Child child = CoreSystemTest::Spawn([] {
            std::atomic<int> own{0};
            TimerListener listener;
            listener.setCallback(Count, &own, 5, 5);
            return Eventually([&] { return own >= 3; }, 5s) ? 0 : 1;
        });
        EXPECT_EQ(CoreSystemTest::Wait(child, 10s), 0) << "no calls in a forked child";
        const int forked = calls;
        EXPECT_TRUE(Eventually([&] { return calls >= forked + 3; }, 5s)) << "the parent's listener stopped";
    }

    // Any other failed receive ends the thread; the destructor still returns.
    listener.reset();
    const int before = calls;
    watchLog("MsgReceivePulse failed");
    Platform::FailNext(Platform::Call::MsgReceivePulse, EIO);
    listener = std::make_unique<TimerListener>();
    ASSERT_TRUE(Eventually([&] { return logged.load(); }, 5s)) << "the failed receive was not reported";
    listener->setCallback(Count, &calls, 2, 2);
    std::this_thread::sleep_for(30ms);
    listener.reset();
    EXPECT_EQ(calls, before) << "called after the thread ended";
}

/// A callback's argument that counts the calls made once `over` is set (late calls).
struct Watch {
    std::atomic<bool> over{false};
    std::atomic<int> calls{0}, *late = nullptr;
};

void Watched(void* argument) {
    auto* watch = static_cast<Watch*>(argument);
    if (watch->over) ++*watch->late;
    ++watch->calls;
    std::this_thread::sleep_for(200us);  // widens the window in which setCallback or ~TimerListener must wait
    if (watch->over) ++*watch->late;
}

struct SelfUse {
    TimerListener* listener = nullptr;
    std::atomic<int> first{0}, second{0};
};

TEST_F(TimerListenerTest, NoCallAfterReplacementOrDestructionHasReturnedAndACallbackMayReplaceItself) {
    // Replaced from another thread, round after round: the old callback stops when setCallback returns.
    std::atomic<int> late{0};
    std::vector<std::unique_ptr<Watch>> watches;
    TimerListener listener;
    for (int round = 0; round < 200; ++round) {
        watches.push_back(std::make_unique<Watch>());
        watches.back()->late = &late;
        ASSERT_EQ(listener.setCallback(Watched, watches.back().get(), 1, 1), 0);
        if (round > 0) watches[watches.size() - 2]->over = true;
        ASSERT_TRUE(Eventually([&] { return watches.back()->calls > 0; }, 5s)) << "round " << round;
    }
    // Destroyed while its callback runs: the destructor waits for it, and no call follows.
    for (int round = 0; round < 50; ++round) {
        Watch watch{{false}, {0}, &late};
        auto doomed = std::make_unique<TimerListener>();
        ASSERT_EQ(doomed->setCallback(Watched, &watch, 1, 1), 0);
        ASSERT_TRUE(Eventually([&] { return watch.calls > 0; }, 5s)) << "round " << round;
        doomed.reset();
        watch.over = true;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(late, 0);

    // setCallback from inside the callback: no deadlock, and the old callback is not called again.
    SelfUse use{&listener};
    auto replaceSelf = [](void* argument) {
        auto* self = static_cast<SelfUse*>(argument);
        ++self->first;
        self->listener->setCallback(Count, &self->second, 2, 2);
    };
    ASSERT_EQ(listener.setCallback(replaceSelf, &use, 2, 2), 0);
    ASSERT_TRUE(Eventually([&] { return use.second >= 3; }, 5s)) << "the replacement was not called";
    EXPECT_EQ(use.first, 1);

    // Destroying from inside its own callback is logged and neither deadlocks nor touches freed memory.
    watchLog("destroyed from its own callback");
    SelfUse doomed{new TimerListener};
    auto destroySelf = [](void* argument) {
        auto* self = static_cast<SelfUse*>(argument);
        ++self->first;
        delete self->listener;
    };
    ASSERT_EQ(doomed.listener->setCallback(destroySelf, &doomed, 1, 1), 0);
    ASSERT_TRUE(Eventually([&] { return logged.load(); }, 5s)) << "no log line for the self-destruction";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(doomed.first, 1);
}

namespace fs = std::filesystem;
using Call = Platform::Call;
using CoreSystemTest::ReadFile;

std::string LinkText(const std::string& path) {
    std::error_code error;
    return fs::read_symlink(path, error).string();
}

/// A copy file: header {sequence, length} followed by `stored` bytes 'p' (default: length).
std::string CopyBytes(std::uint32_t sequence, std::uint32_t length, long stored = -1) {
    std::string bytes;
    for (std::uint32_t word : {sequence, length})
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(word >> (8 * i));
    return bytes + std::string(stored < 0 ? length : stored, 'p');
}

bool Write(BackupFile& file, const std::string& data) { return file.write({std::uint32_t(data.size()), data.data()}); }

/// The current payload as a fresh object copies it out (none when there is none); that object
/// takes over the sequence number of the copy read.
std::optional<std::string> CurrentPayload(const std::string& path, std::uint32_t* sequence = nullptr) {
    BackupFile file(path);
    const bool copied = file.copyCurrentTo(path + ".out");
    if (sequence) *sequence = file.sequence();
    return copied ? std::optional<std::string>(ReadFile(path + ".out")) : std::nullopt;
}

/// The first int of the current payload as a fresh object opens it; -1 when there is none.
int CurrentNumber(const std::string& path) {
    std::uint32_t size = 0;
    int fd = -1, number = -1;
    if (!BackupFile(path).openCurrent(size, fd) || ::read(fd, &number, sizeof number) != sizeof number) number = -1;
    if (fd >= 0) close(fd);
    return number;
}

class BackupFileTest : public ::testing::Test {
protected:
    void TearDown() override { Platform::ClearFaults(); }
    void store(const std::string& file, const std::string& bytes) { std::ofstream(file) << bytes; }
    void clear() { for (const std::string& file : {path, copy0, copy1}) unlink(file.c_str()); }
    bool linkExists() const { return fs::exists(fs::symlink_status(path)); }
    CoreSystemTest::IsolatedHost host;
    const std::string path = host.root() + "/state.bin", copy0 = path + "_0", copy1 = path + "_1";
};

TEST_F(BackupFileTest, FreshPathFirstCopyCopyOutAndRemoval) {
    BackupFile file(path);
    EXPECT_EQ(file.currentPath(), "");
    EXPECT_EQ(file.nextPath(), copy0);
    ASSERT_TRUE(Write(file, "first"));
    EXPECT_EQ(ReadFile(copy0), CopyBytes(1001, 5, 0) + "first");
    EXPECT_EQ(LinkText(path), copy0);
    EXPECT_EQ(CurrentPayload(path), "first");
    Platform::FailNext(Call::Fsync, EIO);
    EXPECT_FALSE(file.copyCurrentTo(path + ".out")) << "a failed flush is reported";

    store(copy0, CopyBytes(4, 100, 60));  // the linked copy is not header plus length
    std::uint32_t size = 0;
    int fd = -1;
    EXPECT_FALSE(file.openCurrent(size, fd));
    EXPECT_GE(fd, 0) << "the descriptor stays open for the caller";
    if (fd >= 0) close(fd);

    file.removeAll();
    EXPECT_FALSE(linkExists() || fs::exists(copy0) || fs::exists(copy1));

    // A relative path links within its own directory.
    fs::create_directory(host.root() + "/sub");
    const fs::path previous = fs::current_path();
    fs::current_path(host.root());
    BackupFile relative("sub/state");
    EXPECT_TRUE(Write(relative, "one") && Write(relative, "two") && Write(relative, "three"));
    EXPECT_EQ(LinkText("sub/state"), "state_0");
    EXPECT_EQ(CurrentPayload("sub/state"), "three");
    fs::current_path(previous);
}

// The second write goes to the other copy. A failure anywhere in it leaves the previous version
// current, with the link back on it and the failed copy removed; the next write succeeds.
TEST_F(BackupFileTest, SecondWriteIsCurrentOnlyWhenDurable) {
    using Fault = std::tuple<Call, int, int, int>;  // call, errno, calls let through first, times
    // name, faults, whether the write is durable
    const std::tuple<const char*, std::vector<Fault>, bool> cases[] = {
        {"no fault", {}, true},
        {"kept copy unreadable", {{Call::Open, EMFILE, 0, 1}}, false},
        {"open fails", {{Call::Open, EACCES, 1, 1}}, false},
        {"header write fails", {{Call::Write, EIO, 0, 1}}, false},
        {"short write, then disk full", {{Call::ShortWrite, 0, 1, 1}, {Call::Write, ENOSPC, 2, 1}}, false},
        {"short writes continued", {{Call::ShortWrite, 0, 0, 3}}, true},
        {"fsync fails", {{Call::Fsync, EIO, 0, 1}}, false},
        {"directory fsync fails", {{Call::Fsync, EIO, 1, 1}}, false},
        {"symlink fails", {{Call::Symlink, EACCES, 0, 1}}, false},
        {"rename over the link fails", {{Call::Rename, EIO, 0, 1}}, false},
    };
    for (const auto& [name, faults, durable] : cases) {
        SCOPED_TRACE(name);
        clear();
        BackupFile file(path);
        ASSERT_TRUE(Write(file, "previous"));
        for (const auto& [call, error, skip, times] : faults) Platform::FailNext(call, error, skip, times);
        EXPECT_EQ(Write(file, "new version"), durable);
        Platform::ClearFaults();
        EXPECT_EQ(LinkText(path), durable ? copy1 : copy0);
        EXPECT_EQ(fs::exists(copy1), durable);
        std::uint32_t sequence = 0;  // a fresh object reads the payload and takes over its number
        EXPECT_EQ(CurrentPayload(path, &sequence), durable ? "new version" : "previous");
        EXPECT_EQ(sequence, durable ? 1002u : 1001u);
        ASSERT_TRUE(Write(file, "after"));
        EXPECT_EQ(CurrentPayload(path, &sequence), "after");
        EXPECT_EQ(sequence, durable ? 1003u : 1002u);
    }
}

// Without a working link the headers decide, and the link is made again to the copy chosen. A write
// waits until the current copy can be read, goes to the other one and is newer than the copy kept.
TEST_F(BackupFileTest, LostLinkChoosesTheNewestCompleteCopy) {
    // name, contents of the two copies (empty: no such file), the copy chosen (-1: none), the
    // sequence number the next write takes (a fresh object would take 1001)
    const std::tuple<const char*, std::string, std::string, int, std::uint32_t> cases[] = {
        {"higher sequence", CopyBytes(5000, 10), CopyBytes(4999, 10), 0, 5001},
        {"0 follows 0xFFFFFFFF", CopyBytes(0xFFFFFFFF, 10), CopyBytes(0, 10), 1, 1001},
        {"equal sequences", CopyBytes(5, 10), CopyBytes(5, 10), -1, 0},
        {"newer copy torn", CopyBytes(9, 100, 50), CopyBytes(8, 10), 1, 1001},
        {"newer copy without header", std::string("\x09\0\0", 3), CopyBytes(8, 10), 1, 1001},
        {"newer copy longer than its length", CopyBytes(9, 10, 11), CopyBytes(8, 10), 1, 1001},
        {"newer copy with empty payload", CopyBytes(9, 0), CopyBytes(8, 10), 0, 1001},
        {"only copy", "", CopyBytes(3, 10), 1, 1001},
        {"only copy at the last number", CopyBytes(0xFFFFFFFF, 10), "", 0, 0},
        {"only copy torn", CopyBytes(3, 10, 4), "", -1, 0},
    };
    for (const auto& [name, bytes0, bytes1, chosen, next] : cases) {
        SCOPED_TRACE(name);
        clear();
        if (!bytes0.empty()) store(copy0, bytes0);
        if (!bytes1.empty()) store(copy1, bytes1);
        ASSERT_EQ(symlink("gone", path.c_str()), 0);  // dangling
        const std::string expected = chosen < 0 ? "" : (chosen == 0 ? copy0 : copy1);
        BackupFile file(path);
        EXPECT_EQ(file.currentPath(), expected);
        EXPECT_EQ(LinkText(path), chosen < 0 ? "gone" : expected);
        if (chosen < 0) continue;
        unlink(path.c_str());  // the headers decide again, and one cannot be read: nothing is written
        Platform::FailNext(Call::Open, EMFILE);
        EXPECT_FALSE(Write(file, "ppp"));
        ASSERT_TRUE(Write(file, "ppp"));
        EXPECT_EQ(ReadFile(chosen == 0 ? copy1 : copy0), CopyBytes(next, 3));
        EXPECT_EQ(ReadFile(expected), chosen == 0 ? bytes0 : bytes1);
    }
}

/// Payload of version `v`: its bytes first, in 16 bytes or in 64 KiB (many writes to the disk).
std::string PayloadOf(std::uint64_t v) {
    std::string payload(v % 2 ? 16 : 65536, static_cast<char>(v));
    std::memcpy(payload.data(), &v, sizeof v);
    return payload;
}

// A child writes versions in a loop and reports each one that write() called durable; it is killed
// at a random moment (50 us to 20 ms, evenly over the scales). The link is never missing, and a fresh
// object finds the last version reported or the one after it (finished, not yet reported).
TEST_F(BackupFileTest, KilledWriterNeverLosesItsLastVersion) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> logDelayUs(std::log(50.0), std::log(20000.0));
    BackupFile first(path);
    ASSERT_TRUE(Write(first, PayloadOf(0)));
    std::uint64_t established = 0;  // newest version known to be on disk
    int round = 1, midWrite = 0;
    for (; round <= 200; ++round) {
        SCOPED_TRACE(testing::Message() << "kill " << round << " (seed " << seed << ")");
        const auto writer = [&, v = established + 1]() mutable {
            for (BackupFile file(path);; ++v)
                if (!Write(file, PayloadOf(v)) || ::write(1, &v, sizeof v) != sizeof v) return 3;
        };
        CoreSystemTest::Child child = CoreSystemTest::Spawn(writer, true);
        ASSERT_GT(child.pid, 0);
        std::string reports;  // a first durable write: the kill lands in one replacing the writer's own
        CoreSystemTest::Eventually([&] { return !(reports += CoreSystemTest::ReadOutput(child, false)).empty(); });
        usleep(static_cast<useconds_t>(std::exp(logDelayUs(random))));
        kill(child.pid, SIGKILL);
        ASSERT_EQ(CoreSystemTest::Wait(child), 128 + SIGKILL) << "the writer ended on its own";
        reports += CoreSystemTest::ReadOutput(child);
        ASSERT_TRUE(linkExists()) << "the link is replaced in one step, never removed";
        std::uint64_t last = established;
        if (reports.size() >= sizeof last) std::memcpy(&last, &reports[reports.size() / 8 * 8 - 8], sizeof last);
        const std::string other = LinkText(path) == copy0 ? copy1 : copy0;
        midWrite += BackupFile::ReadHeader(other).status != BackupFile::Header::Status::Valid;

        const std::optional<std::string> found = CurrentPayload(path);
        if (found == PayloadOf(last + 1)) ++last;
        ASSERT_TRUE(found == PayloadOf(last)) << "last reported " << last << ", "
                                              << (found ? "another version" : "no complete version") << " found";
        established = last;
    }
    std::cout << "[ crash    ] seed " << seed << ": " << midWrite << " of " << round - 1 << " kills in a write\n";
    EXPECT_GE(midWrite, round / 20) << "too few kills landed in a write to test anything";
}

// A reader looping beside the writer never makes a write fail and never sees an update lost,
// in a directory on disk and on tmpfs.
TEST_F(BackupFileTest, ReaderBesideAWriterCostsNothing) {
    const std::string shm = "/dev/shm/" + host.word() + "-backup";
    ASSERT_TRUE(fs::create_directory(shm));
    // On disk each write flushes a file and a directory (1 ms or far more under load): fewer there.
    for (const auto& [where, writes] : {std::pair<std::string, int>{host.root(), 2000}, {shm, 10000}}) {
        SCOPED_TRACE(where);
        const std::string file = where + "/counter";
        BackupFile writer(file);
        const int first = 0;
        ASSERT_TRUE(writer.write({sizeof first, &first}));
        std::atomic<bool> done{false};
        std::atomic<long> reads{0};
        std::thread reader([&] {
            for (; !done; ++reads) CurrentNumber(file);
        });
        long failedWrites = 0, lost = 0;
        for (int version = 1; version <= writes; ++version) {
            failedWrites += !writer.write({sizeof version, &version});
            lost += CurrentNumber(file) != version;
        }
        done = true;
        reader.join();
        EXPECT_EQ(failedWrites, 0);
        EXPECT_EQ(lost, 0);
        EXPECT_GT(reads, writes / 10) << "the reader hardly ran beside the writer";
    }
    fs::remove_all(shm);
}

// Copying out never truncates the file itself and holds a bounded piece of a large payload. A FIFO
// in place of a copy or behind the link is no copy, and nobody waits on it.
TEST_F(BackupFileTest, CopyOutRefusesItselfStaysSmallAndSkipsAFifo) {
    BackupFile file(path);
    ASSERT_TRUE(Write(file, "keep"));
    ASSERT_EQ(symlink(copy0.c_str(), (path + ".alias").c_str()), 0);
    for (const std::string& destination : {path, copy0, path + ".alias"}) {
        EXPECT_FALSE(file.copyCurrentTo(destination)) << destination;
        EXPECT_EQ(CurrentPayload(path), "keep") << destination;
    }
    ASSERT_EQ(mkfifo(copy1.c_str(), 0600), 0);
    const std::string big = "/dev/shm/" + host.word() + "-big";
    CoreSystemTest::Child child = CoreSystemTest::Spawn([&] {
        if (unlink(path.c_str()) != 0) return 1;  // the headers decide
        BackupFile other(path);
        using Status = BackupFile::Header::Status;
        if (other.currentPath() != copy0 || BackupFile::ReadHeader(copy1).status != Status::NotAFile) return 2;
        if (Write(other, "new")) return 3;  // its copy to write is taken by the FIFO
        std::uint32_t size = 0;
        int fd = -1;
        if (unlink(path.c_str()) != 0 || symlink(copy1.c_str(), path.c_str()) != 0) return 4;
        if (other.openCurrent(size, fd) || fd != -1) return 5;

        constexpr std::uint32_t kLength = 128u << 20;
        store(copy1 + ".big", CopyBytes(2000, kLength, 0));
        if (truncate((copy1 + ".big").c_str(), off_t{BackupFile::kHeaderSize} + kLength) != 0 ||
            rename((copy1 + ".big").c_str(), copy1.c_str()) != 0 || unlink(path.c_str()) != 0)
            return 6;
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const bool copied = BackupFile(path).copyCurrentTo(big);
        getrusage(RUSAGE_SELF, &after);
        const long grownKiB = after.ru_maxrss - before.ru_maxrss;
        if (!copied || fs::file_size(big) != kLength) return 7;
        if (grownKiB > 16 * 1024) std::fprintf(stderr, "copying out grew the process by %ld KiB\n", grownKiB);
        return grownKiB > 16 * 1024 ? 8 : 0;
    });
    EXPECT_EQ(CoreSystemTest::Wait(child), 0) << "-1: a call waited on the FIFO";
    EXPECT_EQ(ReadFile(copy0), CopyBytes(1001, 4, 0) + "keep");
    unlink(big.c_str());
}

// A failed write never touches the only complete copy, even when the link names a torn one; the
// tool shows why a copy is current.
TEST_F(BackupFileTest, LinkToATornCopyKeepsTheCompleteOne) {
    store(copy0, CopyBytes(7, 10));
    store(copy1, CopyBytes(8, 10, 4));
    const bool tool = access(CoreSystemTest::CoresysPath().c_str(), X_OK) == 0;  // not in every build
    if (tool) {
        const auto outcome = CoreSystemTest::RunCoresys({"backup", "show", path});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "path: " + path + "\nlink: missing\ncopy " + copy0 +
                                   ": sequence 7, length 10, size 18: complete\ncopy " + copy1 +
                                   ": sequence 8, length 10, size 12: incomplete (size is not 8 + length)\n" +
                                   "current: " + copy0 + " (no link; the other copy is incomplete)\n");
        EXPECT_FALSE(linkExists()) << "show changes nothing";
    }
    ASSERT_EQ(symlink(copy1.c_str(), path.c_str()), 0);
    BackupFile file(path);
    Platform::FailNext(Call::Fsync, EIO);
    EXPECT_FALSE(Write(file, "lost"));
    EXPECT_EQ(ReadFile(copy0), CopyBytes(7, 10));
    ASSERT_TRUE(Write(file, "new"));
    EXPECT_EQ(LinkText(path), copy1);
    EXPECT_EQ(ReadFile(copy0), CopyBytes(7, 10));
    EXPECT_EQ(CurrentPayload(path), "new");
    if (!tool) return;

    // No copy is current: a failure; unprintable bytes of the link are shown escaped.
    clear();
    store(copy1, CopyBytes(8, 10, 4));
    ASSERT_EQ(symlink("bad\x01name\\", path.c_str()), 0);
    const auto none = CoreSystemTest::RunCoresys({"backup", "show", path});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("link: -> bad\\x01name\\\\ (dangling)\n"), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("current: none (no link and no complete copy)\n"), std::string::npos) << none.out;
    EXPECT_EQ(none.err, "coresys: no copy of " + path + " is current\n");
}

}  // namespace
