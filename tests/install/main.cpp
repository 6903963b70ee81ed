// A user's program built against an installed CoreSystem (see .ci/run): creates the registry of
// its namespace, sends one message to an endpoint of its own and receives it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Posix.h"

namespace {

int Check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "consumer: %s\n", what);
    return ok ? 0 : 1;
}

int SendAndReceive() {
    NM::NMClient receiver(true);
    const int index = receiver.getChannelIndex("InstallCheck");
    if (Check(index >= 0 && receiver.openReceiveChannel(index) == index, "cannot publish InstallCheck")) return 1;
    const char message[] = "installed";
    NM::NMClient sender(false);
    if (Check(sender.send(index, message, sizeof message) == sizeof message, "the send failed")) return 1;
    char buffer[64] = {};
    int from = -1;
    int size = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((size = receiver.recvMsg(&from, buffer, sizeof buffer)) < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (Check(size == sizeof message && from == index && std::memcmp(buffer, message, sizeof message) == 0,
              "the message did not arrive within 5 s"))
        return 1;
    std::printf("consumer: sent and received one message on InstallCheck (channel index %d)\n", index);
    return 0;
}

}  // namespace

int main() {
    if (Check(NM::createRegistry(4) != nullptr, "cannot create the registry")) return 1;
    const int status = SendAndReceive();
    CoreSystem::Platform::shm_unlink(NM::kRegistryName);
    return status;
}
