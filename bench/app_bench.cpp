// Receive-path benchmark of the application manager: a queued NM frame taken and turned into an
// ApplicationMessage with its action id translated (scratch-buffer lock, copy, allocation, table
// lookup, release), next to the baseline measured in the same run on the same client and the same
// frames: NMClient::recvMsg into a caller's buffer. Also the uncontended cost of a lock of the
// scratch lock's kind.
// Build it optimised (-DCMAKE_BUILD_TYPE=Release) for figures worth comparing.
//   app_bench [BATCHES]   batches of 2000 queued frames per case (default 200), the cases taking
//                         turns batch by batch so that a busy moment of the machine hits both;
//                         medians of the per-batch figures
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CoreSystem/Application/ApplicationManager.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/DatabaseOwner.h"
#include "CoreSystem/SharedData/ImageBuilder.h"
#include "CoreSystem/SharedData/ImageLoader.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 2000;  // below the receive queue's 2504 frames

volatile std::uint32_t gSink;

/// The device's shared data: a configuration with the application "Bench" and 64 actions.
bool LoadDevice() {
    conf::ImageDescription description;
    description.cultures = {"en"};
    description.strings = {{8, {"x"}}};
    description.variables = {{"Level", "i32", 1, std::nullopt, {}}};
    conf::ImageDescription::Application bench{"Bench", {}, {}, {}, {}, false};
    for (std::uint32_t local = 0; local < 64; ++local) bench.actions.push_back({local, 7000 + local});
    description.applications = {bench};
    std::vector<std::uint8_t> image;
    std::string error;
    if (!conf::BuildImage(description, image, error) ||
        !CoreSystem::LoadConfiguration(image.data(), image.size(), true, error) ||
        !CoreSystem::CreateDatabase(description, true, error)) {
        std::fprintf(stderr, "app_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

/// Queues one batch of frames of `payload` bytes (ids 7000 + n % 64) for the manager's endpoint.
void Fill(NM::NMClient& sender, int index, int payload) {
    std::vector<char> frame(static_cast<std::size_t>(payload), 0x2A);
    for (int n = 0; n < kBatch; ++n) {
        const std::uint32_t id = 7000u + static_cast<std::uint32_t>(n % 64);
        std::memcpy(frame.data(), &id, sizeof id);
        sender.send(index, frame.data(), payload);
    }
}

/// ns per frame of one batch taken with `take` (which returns false while the last frames of
/// the batch are still being queued by the receive thread).
template <typename Take>
double Time(NM::NMClient& sender, int index, int payload, Take take) {
    Fill(sender, index, payload);
    const auto start = Clock::now();
    for (int n = 0; n < kBatch;)
        if (take()) ++n;
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kBatch;
}

double Median(std::vector<double> runs) {
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // A simulated device of its own: re-run with a private namespace and root, so that the
    // process-wide objects built before main never see another device's objects.
    const std::string word = "app-bench-" + std::to_string(getpid());  // exec keeps the pid
    if (CoreSystem::Platform::NamespaceWord() != word) {
        char root[] = "/tmp/app-bench-XXXXXX";
        if (!mkdtemp(root)) return 1;
        setenv(CoreSystem::Platform::kNamespaceVariable, word.c_str(), 1);
        setenv(CoreSystem::Platform::kRootVariable, root, 1);
        execv("/proc/self/exe", argv);
        std::perror("app_bench: execv");
        return 1;
    }
    const int batches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    if (!NM::createRegistry(16) || !LoadDevice()) return 1;

    int status = 0;
    {
        CoreSystem::ApplicationManager manager("Bench", true, false);
        NM::NMClient sender(true);
        const int index = manager.ownKey();
        std::vector<char> buffer(CoreSystem::kReceiveScratchBytes);
        std::atomic<bool> held{false};  // the scratch lock's kind: one exchange to take, a store to give

        std::printf("%-58s %9s %7s\n", "case (median over batches, ns per frame)", "ns", "ratio");
        for (const int payload : {8, 256}) {
            std::vector<double> raw, ours, locks;
            std::uint32_t translated = 0;
            for (int b = 0; b < batches; ++b) {
                raw.push_back(Time(sender, index, payload, [&] {
                    int channel = -1;
                    const int size = manager.client().recvMsg(&channel, buffer.data(), int(buffer.size()));
                    gSink = static_cast<std::uint32_t>(size + channel);
                    return size > 0;
                }));
                ours.push_back(Time(sender, index, payload, [&] {
                    std::unique_ptr<CoreSystem::ApplicationMessage> message(manager.receive());
                    if (!message) return false;
                    gSink = message->id();
                    translated += message->id() < 64;
                    return true;
                }));
                const auto start = Clock::now();
                for (int n = 0; n < kBatch; ++n) {
                    const bool owned = !held.exchange(true, std::memory_order_acquire);
                    gSink = owned;
                    if (owned) held.store(false, std::memory_order_release);
                }
                locks.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kBatch);
            }
            if (translated != static_cast<std::uint32_t>(batches * kBatch)) {
                std::fprintf(stderr, "app_bench: %u of the frames were not translated\n", translated);
                status = 1;
            }
            const double base = Median(raw), path = Median(ours), held = Median(locks);
            char name[80];
            std::snprintf(name, sizeof name, "baseline: NMClient::recvMsg, %d-byte frames", payload);
            std::printf("%-58s %9.1f %7.2f\n", name, base, 1.0);
            std::snprintf(name, sizeof name, "ApplicationManager::receive + delete, %d-byte frames", payload);
            std::printf("%-58s %9.1f %7.2f\n", name, path, path / base);
            std::printf("%-58s %9.1f %7.2f\n", "  of which the scratch lock (uncontended take and give)", held,
                        held / base);
            std::printf("{\"payload\":%d,\"recvMsg_ns\":%.1f,\"receive_ns\":%.1f,\"lock_ns\":%.1f,\"ratio\":%.3f}\n",
                        payload, base, path, held, path / base);
        }
    }

    CoreSystem::Platform::shm_unlink(CoreSystem::kConfigurationObject);
    CoreSystem::Platform::shm_unlink(CoreSystem::kDatabaseObject);
    CoreSystem::Platform::shm_unlink(NM::kRegistryName);
    const char* root = std::getenv(CoreSystem::Platform::kRootVariable);
    std::error_code ignored;
    if (root && std::strncmp(root, "/tmp/app-bench-", 15) == 0) std::filesystem::remove_all(root, ignored);
    return status;
}
