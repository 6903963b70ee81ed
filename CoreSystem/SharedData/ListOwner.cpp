// The simulated device's list owner: start (and restart) of the lists, and their saving.
#include "CoreSystem/SharedData/ListOwner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstring>

#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/SharedData/BinaryClient.h"

namespace CoreSystem {

namespace {

/// Longest directory the owner's record keeps.
constexpr std::size_t kMaxDirectory = 4095;

/// Keeps the directories as "first\0second\0" in kListOwnerRecord.
bool RecordDirectories(const std::string& first, const std::string& second) {
    const std::string record = first + '\0' + second + '\0';
    int fd = -1;
    void* address = NM::createSharedMemory(kListOwnerRecord, record.size(), fd);
    if (!address) return false;
    std::memcpy(address, record.data(), record.size());
    Platform::close(fd);
    return true;
}

}  // namespace

bool ConfigurationLoaded() {
    struct stat info;
    return ::stat(Platform::DevicePath(kConfigurationMarker).c_str(), &info) == 0 &&
           ::stat(Platform::SharedObjectPath(kConfigurationObject).c_str(), &info) == 0;
}

bool StartListOwner(const std::string& first, const std::string& second, bool replace,
                    std::vector<ListStart>& report, std::string& error) {
    if (!ConfigurationLoaded()) {
        error = "no configuration image is loaded (coresys conf load IMAGE)";
        return false;
    }
    if (first.size() > kMaxDirectory || second.size() > kMaxDirectory) {
        error = "a directory is longer than " + std::to_string(kMaxDirectory) + " bytes";
        return false;
    }
    BinaryClient::open();
    void* image = BinaryClient::imageBase();
    if (!image) {
        error = std::string(kConfigurationObject) + " cannot be opened";
        return false;
    }
    if (replace) {
        for (const ListDefinitionEntry& definition : ListDefinitions(image)) {
            Platform::shm_unlink(ListObjectName(definition.id).c_str());
        }
        Platform::shm_unlink(kListManagerLock);
        Platform::shm_unlink(kListOwnerRecord);
    }
    ListRecordMap firstRecords, secondRecords;
    int descriptor = -1;
    ListManager::createAll(descriptor, firstRecords, first, secondRecords, second, &report);
    if (descriptor == -1) {
        error = ListDefinitions(image).empty()
                    ? "the configuration image defines no lists"
                    : std::string(kListManagerLock) +
                          " exists: the lists were started already (--replace restarts them)";
        return false;
    }
    Platform::close(descriptor);  // the lock stays mapped
    if (!RecordDirectories(first, second)) {
        error =
            std::string("cannot record the directories in ") + kListOwnerRecord + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ListOwnerDirectories(std::string& first, std::string& second) {
    const int fd = Platform::shm_open(kListOwnerRecord, O_RDONLY, 0);
    if (fd == -1) return false;
    char buffer[2 * (kMaxDirectory + 1)];
    std::size_t length = 0;
    for (ssize_t n;
         length < sizeof buffer && (n = Platform::read(fd, buffer + length, sizeof buffer - length)) > 0;) {
        length += static_cast<std::size_t>(n);
    }
    Platform::close(fd);
    const std::string record(buffer, length);
    const std::size_t split = record.find('\0');
    if (split == std::string::npos || record.empty() || record.back() != '\0') return false;
    first = record.substr(0, split);
    second = record.substr(split + 1, record.size() - split - 2);
    return true;
}

bool SaveList(std::uint32_t id, const std::string& first, const std::string& second, std::string& error) {
    const ListRef list = ListManager::find(id);
    if (!list.object) {
        error = "list " + std::to_string(id) + " is not on the device";
        return false;
    }
    std::uint32_t storage = 0;
    for (const ListDefinitionEntry& definition : ListDefinitions(BinaryClient::imageBase())) {
        if (definition.id == id) storage = definition.storage;
    }
    std::vector<std::uint8_t> copy(list.geometry.objectSize);
    {
        Platform::ProcessLock hold(list.object->mutex);
        std::memcpy(copy.data(), list.bytes(), copy.size());
    }
    std::memset(copy.data(), 0, sizeof(Platform::ProcessMutex));  // the mutex is not part of the contents
    const std::string& directory = storage == 0 ? first : second;
    if (directory.empty()) {
        error = "no directory for list " + std::to_string(id) + " (storage " +
                (storage == 0 ? "first" : "second") + ")";
        return false;
    }
    const std::string path = directory + ListObjectName(id);
    BackupFile file(path);
    if (!file.write({static_cast<std::uint32_t>(copy.size()), copy.data()})) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace CoreSystem
