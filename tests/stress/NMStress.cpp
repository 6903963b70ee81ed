// NM under restarts: sender processes and receivers are killed and restarted for a while, and
// receivers are replaced while they hang. Checks that no receiver gets a frame twice or out of
// order, that every frame sent once the killing stops reaches the live receiver, that the
// registry names the live receivers, and that nothing is left in /dev/shm afterwards.
//   NMStress [seconds]    (default 10; exit status 0 when every check held)
#include <sys/wait.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <random>

#include "CoreSystem/Platform/Neutrino.h"
#include "CoreSystem/Platform/Posix.h"
#include "NM/NMTestSupport.h"

namespace {

using namespace NMTest;
using Clock = std::chrono::steady_clock;

constexpr int kLanes = 3;           // sender processes
constexpr int kEndpoints = kLanes;  // receiver processes (a kill picks either kind by one number)
constexpr std::uint32_t kSeqLimit = 1u << 20;
constexpr int kFinalFrames = 100;  // per lane and endpoint once the killing has stopped
const char* const kNames[kEndpoints] = {"StressA", "StressB", "StressC"};

/// Everything the processes share.
struct Shared {
    std::atomic<std::uint32_t> nextSeq[kLanes][kEndpoints];
    std::atomic<std::uint32_t> finalFrom[kLanes][kEndpoints];  // 0: not in the final phase yet
    std::atomic<int> lanesDone;                                // lanes that sent their final frames
    std::atomic<int> receiverPid[kEndpoints];
    std::atomic<int> finalPhase;
    std::atomic<int> stop;
    std::atomic<long> received;
    std::atomic<int> errors;
    char firstError[256];
    std::atomic<std::uint64_t> seen[kLanes][kEndpoints][kSeqLimit / 64];  // frames received
};

Shared* gShared;

/// Counts a failed check; the first one's text (printf-style) is kept for the report.
__attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
    if (gShared->errors.fetch_add(1) != 0) return;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(gShared->firstError, sizeof gShared->firstError, format, arguments);
    va_end(arguments);
}

/// Frame: lane, sequence number, then a pattern of both, 8 to 200 bytes in all.
int MakeFrame(char* out, int lane, std::uint32_t seq) {
    const int size = 8 + static_cast<int>(seq * 7 % 193);
    std::memcpy(out, &lane, 4);
    std::memcpy(out + 4, &seq, 4);
    for (int i = 8; i < size; ++i) out[i] = static_cast<char>(seq * 31 + i + lane);
    return size;
}

int Receiver(int endpoint) {
    NM::NMClient client(true);
    const int index = client.getChannelIndex(kNames[endpoint]);
    if (client.openReceiveChannel(index) != index) return 2;
    gShared->receiverPid[endpoint] = getpid();
    long long last[kLanes] = {-1, -1, -1};
    char buffer[NM::kMaxPayload] = {};
    char expected[NM::kMaxPayload];
    while (!gShared->stop) {
        int channel = -1;
        const int size = client.recvMsg(&channel, buffer, sizeof buffer);
        if (size < 0) {
            usleep(200);
            continue;
        }
        int lane;
        std::uint32_t seq;
        std::memcpy(&lane, buffer, 4);
        std::memcpy(&seq, buffer + 4, 4);
        if (size < 8 || channel != index || lane < 0 || lane >= kLanes || seq >= kSeqLimit ||
            MakeFrame(expected, lane, seq) != size ||
            std::memcmp(expected, buffer, static_cast<std::size_t>(size)) != 0) {
            Fail("corrupt frame at %s", kNames[endpoint]);
            continue;
        }
        if (static_cast<long long>(seq) <= last[lane])
            Fail("frame %u of lane %d after %lld at %s", seq, lane, last[lane], kNames[endpoint]);
        last[lane] = seq;
        const std::uint64_t bit = 1ull << (seq % 64);
        if (gShared->seen[lane][endpoint][seq / 64].fetch_or(bit) & bit)
            Fail("frame %u of lane %d twice at %s", seq, lane, kNames[endpoint]);
        ++gShared->received;
    }
    if (NM::SlotPid(index) != getpid() || NM::SlotChid(index) == -1)  // checked by the live ones
        Fail("the registry does not name the live receiver of %s", kNames[endpoint]);
    return 0;
}

int Sender(int lane) {
    NM::NMClient client(false);
    int indexes[kEndpoints];
    for (int e = 0; e < kEndpoints; ++e) indexes[e] = client.getChannelIndex(kNames[e]);
    char frame[256];
    // One frame to every endpoint; `finalFrame` counts them once the killing has stopped (else -1),
    // when every send must succeed.
    const auto sendRound = [&](int finalFrame) {
        for (int e = 0; e < kEndpoints; ++e) {
            const std::uint32_t seq = gShared->nextSeq[lane][e].fetch_add(1);
            if (seq >= kSeqLimit) continue;
            if (finalFrame == 0) gShared->finalFrom[lane][e] = seq;
            const int size = MakeFrame(frame, lane, seq);
            errno = 0;
            const int sent = client.send(indexes[e], frame, size);
            if (sent != size && finalFrame >= 0)
                Fail("a send after the killing stopped returned %d (errno %d, lane %d, %s, held back %zu)",
                     sent, errno, lane, kNames[e], client.heldBack(indexes[e]));
        }
    };
    const auto drain = [&] {  // held-back frames delivered (bounded)
        const auto deadline = Clock::now() + 10s;
        for (int e = 0; e < kEndpoints; ++e) {
            while (client.heldBack(indexes[e]) > 0 && Clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
        }
    };
    while (!gShared->stop && !gShared->finalPhase) {
        sendRound(-1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    // Frames sent faster than they could be delivered may fill a held-back queue during the
    // killing (further sends are then refused, as they must be): empty it first.
    drain();
    for (int n = 0; n < kFinalFrames && !gShared->stop; ++n) sendRound(n);
    drain();
    ++gShared->lanesDone;
    while (!gShared->stop) std::this_thread::sleep_for(5ms);
    return 0;
}

/// Runs a receiver or sender in a child, without the framework's lines on failed sends and queues.
pid_t Start(int (*body)(int), int n) {
    return CoreSystemTest::Spawn([=] { return std::freopen("/dev/null", "w", stdout) ? body(n) : 2; }).pid;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::string word = "nmstress" + std::to_string(getpid());
    if (Platform::NamespaceWord().rfind("nmstress", 0) != 0) {
        // The process-wide client attached at start-up: start again inside a namespace of our own.
        setenv(Platform::kNamespaceVariable, word.c_str(), 1);
        execv("/proc/self/exe", argv);
        return 2;
    }
    if (!(gShared = CoreSystemTest::SharedWithChildren<Shared>())) return 2;
    if (createRegistryInChild(16) != 0) return 2;

    pid_t receivers[kEndpoints], senders[kLanes];
    for (int e = 0; e < kEndpoints; ++e) receivers[e] = Start(Receiver, e);
    for (int l = 0; l < kLanes; ++l) senders[l] = Start(Sender, l);

    std::mt19937 random(static_cast<unsigned>(getpid()));
    long kills[3] = {0, 0, 0};
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
        const int what = static_cast<int>(random() % 3);
        const int e = static_cast<int>(random() % kEndpoints);
        if (what == 1) {  // a receiver hangs; its replacement publishes; then it is killed
            kill(receivers[e], SIGSTOP);
            std::this_thread::sleep_for(20ms);
            const pid_t replacement = Start(Receiver, e);
            std::this_thread::sleep_for(20ms);
            kill(receivers[e], SIGKILL);
            waitpid(receivers[e], nullptr, 0);
            receivers[e] = replacement;
        } else {  // a receiver (0) or a sender (2) killed, then restarted
            pid_t* group = what == 0 ? receivers : senders;
            kill(group[e], SIGKILL);
            waitpid(group[e], nullptr, 0);
            group[e] = Start(what == 0 ? Receiver : Sender, e);
        }
        ++kills[what];
    }

    // The killing stops: every receiver is up, then every lane sends its final frames.
    const auto allUp = [&] { return std::equal(receivers, receivers + kEndpoints, gShared->receiverPid); };
    if (!CoreSystemTest::Eventually(allUp, 10s)) Fail("a receiver did not start");
    gShared->finalPhase = 1;
    if (!CoreSystemTest::Eventually([&] { return gShared->lanesDone == kLanes; }, 20s))
        Fail("a sender did not finish its final frames");
    const auto allSeen = [&] {
        for (int l = 0; l < kLanes; ++l) {
            for (int e = 0; e < kEndpoints; ++e) {
                const std::uint32_t to = std::min(gShared->nextSeq[l][e].load(), kSeqLimit);
                for (std::uint32_t seq = gShared->finalFrom[l][e]; seq < to; ++seq)
                    if (!(gShared->seen[l][e][seq / 64].load() & (1ull << (seq % 64)))) return false;
            }
        }
        return true;
    };
    if (!CoreSystemTest::Eventually(allSeen, 10s)) Fail("a frame sent after the killing stopped was lost");
    gShared->stop = 1;
    for (pid_t pid : receivers) waitpid(pid, nullptr, 0);
    for (pid_t pid : senders) waitpid(pid, nullptr, 0);

    // Objects of killed receivers are swept by the next process that makes a channel.
    Platform::ChannelDestroy(Platform::ChannelCreate(0));
    Platform::shm_unlink(NM::kRegistryName);
    const int left = sharedObjects(word + ".");
    if (left != 0) Fail("%d objects left in /dev/shm", left);

    std::printf(
        "NMStress: %d s, %ld receivers killed, %ld hung and replaced, %ld senders killed, %ld frames "
        "received, %d errors%s%s\n",
        seconds, kills[0], kills[1], kills[2], gShared->received.load(), gShared->errors.load(),
        gShared->errors ? ": " : "", gShared->errors ? gShared->firstError : "");
    return gShared->errors == 0 ? 0 : 1;
}
