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

const char* SendAndReceive() {
    NM::NMClient receiver(true);
    const int index = receiver.getChannelIndex("InstallCheck");
    if (index < 0 || receiver.openReceiveChannel(index) != index) return "cannot publish InstallCheck";
    const char message[] = "installed";
    if (NM::NMClient(false).send(index, message, sizeof message) != sizeof message) return "the send failed";
    char buffer[64] = {};
    int from = -1, size = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((size = receiver.recvMsg(&from, buffer, sizeof buffer)) < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (size != sizeof message || from != index || std::memcmp(buffer, message, sizeof message) != 0)
        return "the message did not arrive within 5 s";
    std::printf("consumer: sent and received one message on InstallCheck (channel index %d)\n", index);
    return nullptr;
}

}  // namespace

int main() {
    if (!NM::createRegistry(4)) {
        std::fprintf(stderr, "consumer: cannot create the registry\n");
        return 1;
    }
    const char* failure = SendAndReceive();
    if (failure) std::fprintf(stderr, "consumer: %s\n", failure);
    CoreSystem::Platform::shm_unlink(NM::kRegistryName);
    return failure ? 1 : 0;
}
