// The image client: one attach of the shared configuration image per process, checked before use,
// and the process-wide culture string operations on it.
#include "CoreSystem/SharedData/BinaryClient.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/SharedData/ImageCheck.h"
#include "CoreSystem/SharedDataObject.h"

namespace CoreSystem {

namespace {

/// How the module names itself in its messages on standard output.
constexpr const char* kModule = "./../../../CoreSystem/SharedData/BinaryClient";
/// The stat path as the device spells it; on a host it is reached through SharedObjectPath.
constexpr const char* kStatPath = "/dev/shmem/BINARY_CONFIGURATION";
constexpr int kLogCode = 10000;
constexpr int kMarkerDelayMs = 0x7FFFFFFF;
constexpr int kMarkerPollMs = 1;

BinaryClientState& State() {
    return SharedData().binaryClient;
}

/// The culture table when the image is opened, else null.
CultureStrings* Opened() {
    BinaryClientState& state = State();
    return state.opened.load(std::memory_order_acquire) ? &state.strings : nullptr;
}

void SendEvent(std::uint32_t code) {
    char message[sizeof code];
    std::memcpy(message, &code, sizeof code);
    SharedData().client.send(State().channelIndex, message, sizeof message);
}

void Report(const char* problem, const char* name) {
    std::printf("%s open() error, could not %s %s.\n", kModule, problem, name);
    std::fflush(stdout);
}

}  // namespace

void BinaryClient::open() {
    BinaryClientState& state = State();
    if (state.opened.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(state.openMutex);
    if (state.opened.load(std::memory_order_acquire)) return;

    Platform::waitfor(Platform::DevicePath(kConfigurationMarker).c_str(), kMarkerDelayMs, kMarkerPollMs);
    struct stat info;
    if (::stat(Platform::SharedObjectPath(kConfigurationObject).c_str(), &info) != 0) {
        Report("stat", kStatPath);
        return;
    }
    const int fd = Platform::shm_open(kConfigurationObject, O_RDWR, 0);
    if (fd == -1) {
        Report("open", kConfigurationObject);
        return;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* base = size == 0 || info.st_size > 0xFFFFFFFF
                     ? MAP_FAILED
                     : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        ::close(fd);  // a later open tries again with a descriptor of its own
        Report("mmap", kConfigurationObject);
        return;
    }
    if (const auto fault = conf::CheckImage(base, size)) {
        munmap(base, size);  // never used: a later open maps the image again
        ::close(fd);
        std::printf("%s open() error, %s is not a usable configuration image: %s.\n", kModule,
                    kConfigurationObject, fault->message.c_str());
        std::fflush(stdout);
        return;
    }

    state.imageSize = static_cast<std::uint32_t>(size);
    state.descriptor = fd;
    state.strings.attach(base, size, SendEvent);
    state.channelIndex = SharedData().client.getChannelIndex(kEventEndpoint);
    state.opened.store(true, std::memory_order_release);
    Platform::slogf(kLogCode, _SLOG_DEBUG1, "BinaryClient: Opened by %d pid", static_cast<int>(getpid()));
}

void* BinaryClient::imageBase() {
    CultureStrings* strings = Opened();
    return strings ? strings->base() : nullptr;
}

CultureStrings* BinaryClient::strings() {
    return Opened();
}

std::int32_t BinaryClient::stringCapacity(std::int32_t id) {
    CultureStrings* strings = Opened();
    return strings ? strings->stringCapacity(id) : 0;
}

std::uint32_t BinaryClient::getString(std::int32_t id, std::string& out, std::uint32_t last) {
    CultureStrings* strings = Opened();
    return strings ? strings->getString(id, out, last) : 0;
}

std::uint32_t BinaryClient::getStringForCulture(std::int32_t id, std::uint32_t culture, std::string& out,
                                                std::uint32_t last) {
    CultureStrings* strings = Opened();
    return strings ? strings->getStringForCulture(id, culture, out, last) : 0;
}

void BinaryClient::setString(std::int32_t id, const std::string& text, bool allCultures) {
    if (CultureStrings* strings = Opened()) strings->setString(id, text, allCultures);
}

void BinaryClient::setStringForCulture(std::int32_t id, std::uint32_t culture, const std::string& text,
                                       bool noNotify) {
    if (CultureStrings* strings = Opened()) strings->setStringForCulture(id, culture, text, noNotify);
}

void BinaryClient::copyString(std::int32_t source, std::int32_t destination) {
    if (CultureStrings* strings = Opened()) strings->copyString(source, destination);
}

void BinaryClient::composeString(std::int32_t first, const std::string& text, std::int32_t second,
                                 std::int32_t destination) {
    if (CultureStrings* strings = Opened()) strings->composeString(first, text, second, destination);
}

}  // namespace CoreSystem
