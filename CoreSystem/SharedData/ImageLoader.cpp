// The simulated device's configuration loader: check, place, initialise the culture mutex, mark.
#include "CoreSystem/SharedData/ImageLoader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/ProcessSync.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/ImageCheck.h"

namespace CoreSystem {

void InitialiseCultureMutex(void* image) {
    conf::ConfigurationRoot root;
    root.attachImage(image);
    conf::ConfCultureRootClass cultureRoot(image, root.resolve(root.word(conf::ConfigurationRoot::kCultureRoot)));
    std::uint8_t* runtime = cultureRoot.resolve(cultureRoot.word(conf::ConfCultureRootClass::kRuntimeData));
    reinterpret_cast<Platform::ProcessMutex*>(runtime + conf::ConfCultureRuntimeData::kMutexOffset)->init();
}

bool LoadConfiguration(const void* image, std::size_t size, bool replace, std::string& error) {
    if (const auto fault = conf::CheckImage(image, size)) {
        error = "not a usable configuration image: " + fault->message;
        return false;
    }
    if (replace) Platform::shm_unlink(kConfigurationObject);
    int fd = -1;
    void* placed = NM::createSharedMemory(kConfigurationObject, size, fd);
    if (!placed) {
        error = errno == EEXIST ? std::string(kConfigurationObject) + " is already loaded (--replace replaces it)"
                                : std::string("cannot create ") + kConfigurationObject + ": " + std::strerror(errno);
        return false;
    }
    std::memcpy(placed, image, size);
    InitialiseCultureMutex(placed);
    munmap(placed, size);
    ::close(fd);

    const std::filesystem::path marker = Platform::DevicePath(kConfigurationMarker);
    std::error_code ignored;
    std::filesystem::create_directories(marker.parent_path(), ignored);
    const int markerFd = ::open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (markerFd == -1) {
        error = "cannot create the marker " + marker.string() + ": " + std::strerror(errno);
        return false;
    }
    ::close(markerFd);
    return true;
}

}  // namespace CoreSystem
