// The "Radio" application of docs/examples/radio.json, as small as an application gets:
//  - every second (a TimerListener) it writes its Volume variable (local 5) and its reserved
//    string (local 0) and posts its event (local 0);
//  - action 0 prints the greeting (string 0) in the device's current culture;
//  - action 1 sets the volume to the action's argument and answers with the event, the argument
//    as payload.
// Run it on a simulated device (scripts/device.sh starts one with it); Ctrl-C ends it.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CoreSystem/Application/ApplicationManager.h"
#include "CoreSystem/Application/TimerListener.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

// Local numbers of the "Radio" entry of the configuration.
constexpr int kVolumeVariable = 5;
constexpr int kStatusString = 0;
constexpr int kChangedEvent = 0;
constexpr std::uint32_t kShowVolumeAction = 0, kSetVolumeAction = 1;
constexpr std::int32_t kGreeting = 0;  // system-wide string id of "Hello"

struct Radio {
    CoreSystem::ApplicationManager manager{"Radio", /*pollingMode=*/true, /*withoutEndpoint=*/false};
    std::atomic<int> volume{0};
    unsigned ticks = 0;
};

/// Timer thread: the periodic status.
void Tick(void* argument) {
    Radio& radio = *static_cast<Radio*>(argument);
    ++radio.ticks;
    radio.manager.setLocalVariable(kVolumeVariable, radio.volume.load());
    radio.manager.setReservedString(kStatusString, "tick " + std::to_string(radio.ticks), 0);
    radio.manager.postApplicationEvent(kChangedEvent);
    std::printf("tick %u: Volume %d, event posted\n", radio.ticks, radio.volume.load());
    std::fflush(stdout);
}

void Handle(Radio& radio, CoreSystem::ApplicationMessage& action) {
    std::uint32_t argument = 0;
    if (action.payloadSize() >= 4) std::memcpy(&argument, action.data() + 4, 4);
    if (action.id() == kShowVolumeAction) {
        std::string greeting;
        CoreSystem::BinaryClient::getString(kGreeting, greeting, 0);
        std::printf("action 0: \"%s\" (current culture)\n", greeting.c_str());
    } else if (action.id() == kSetVolumeAction) {
        radio.volume = static_cast<int>(argument);
        radio.manager.setLocalVariable(kVolumeVariable, radio.volume.load());
        radio.manager.postApplicationEvent(kChangedEvent, action);  // the answer carries the argument
        std::printf("action 1: Volume set to %d, answered\n", radio.volume.load());
    } else {
        std::printf("action %u: not one of Radio's\n", action.id());
    }
    std::fflush(stdout);
}

}  // namespace

int main() {
    std::signal(SIGINT, [](int) { gStop = 1; });
    std::signal(SIGTERM, [](int) { gStop = 1; });
    Radio radio;  // waits for the configuration, opens the database and lists, opens "RadioAction"
    CoreSystem::TimerListener timer;
    timer.setCallback(Tick, &radio, 1000, 1000);
    std::printf("Radio is running: send actions to RadioAction (Ctrl-C ends it)\n");
    std::fflush(stdout);
    while (!gStop) {
        std::unique_ptr<CoreSystem::ApplicationMessage> action(radio.manager.receive());
        if (action) {
            Handle(radio, *action);
        } else {
            CoreSystem::Platform::delay(50);
        }
    }
    timer.stop();
    std::printf("Radio stopped\n");
    return 0;
}
