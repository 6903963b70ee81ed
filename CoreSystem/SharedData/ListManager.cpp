// The list manager: the owner's creation and restore of every list, the clients' attach, the
// definition files, and the per-list operations by id on the process's attached lists.
#include "CoreSystem/SharedData/ListManager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "CoreSystem/Application/BackupFile.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Slog.h"
#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/Conf.h"
#include "CoreSystem/SharedDataObject.h"

namespace CoreSystem {

namespace {

constexpr int kLogCode = 10000;
constexpr const char* kDefinitionFile = "ListDefinition";

std::size_t ReadFully(int fd, void* buffer, std::size_t bytes) {
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = Platform::read(fd, static_cast<char*>(buffer) + done, bytes - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

/// Restores `list` from its data file when that holds a sound saved object of its definition;
/// otherwise returns why it starts fresh.
std::optional<std::string> Restore(const ListRef& list, const ListDefinitionEntry& definition,
                                   const std::string& dataPath, const std::string& definitionPath) {
    BackupFile file(dataPath);
    std::uint32_t size = 0;
    int fd = -1;
    const bool saved = file.openCurrent(size, fd);
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) Platform::close(fd);
        }
    } closer{fd};
    if (!saved) return "no complete saved copy";
    if (size != list.geometry.objectSize) {
        return "saved size " + std::to_string(size) + ", the definition needs " +
               std::to_string(list.geometry.objectSize);
    }
    const int definitionFd = Platform::open(definitionPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (definitionFd >= 0) {
        // One byte more than the blob tells a longer file from an equal one.
        std::vector<std::uint8_t> stored(std::size_t{definition.blobLength} + 1);
        stored.resize(ReadFully(definitionFd, stored.data(), stored.size()));
        Platform::close(definitionFd);
        if (stored.size() != definition.blobLength ||
            (definition.blobLength != 0 &&
             std::memcmp(stored.data(), definition.blob, definition.blobLength) != 0)) {
            return "the definition changed";
        }
    }
    if (ReadFully(fd, list.bytes(), size) != size) return "the saved copy cannot be read whole";
    if (auto fault = CheckSavedObject(list.bytes(), size, list.geometry)) return fault;
    list.object->mutex.init();  // the saved mutex bytes mean nothing now
    return std::nullopt;
}

ListManagerState& State() {
    return SharedData().lists;
}

/// Runs `operation` on the attached list `id`, or returns `missing`.
template <typename Result, typename Operation>
Result WithList(std::uint32_t id, Result missing, Operation&& operation) {
    const ListRef list = ListManager::find(id);
    return list.object ? operation(list) : missing;
}

/// Runs `operation` under the list mutex of list `id`, or returns `missing`.
template <typename Result, typename Operation>
Result Locked(std::uint32_t id, Result missing, Operation&& operation) {
    return WithList(id, missing, [&](const ListRef& list) {
        Platform::ProcessLock hold(list.object->mutex);
        return operation(list);
    });
}

}  // namespace

std::vector<ListDefinitionEntry> ListDefinitions(void* image) {
    std::vector<ListDefinitionEntry> definitions;
    conf::ConfigurationRoot root;
    if (!image || !root.attachImage(image)) return definitions;
    const conf::ProgrammingConfiguration p(
        image, root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
    const conf::Offset list = p.word(conf::ProgrammingConfiguration::kListDefinitions);
    const std::uint32_t n = p.record() ? p.listCount(list) : 0;
    for (std::uint32_t k = 0; k < n; ++k) {
        using D = conf::ListDefinition;
        const D d(image, p.listElementAt(list, k));
        const std::uint8_t* blob = d.resolve(d.word(D::kBlob));
        definitions.push_back({d.word(D::kListId), d.word(D::kStorage),
                               ListGeometry::Of(d.word(D::kCapacity), d.word(D::kElementSize)),
                               blob ? blob + conf::kListHeaderBytes : nullptr,
                               blob ? conf::ReadWord(blob + 4) : 0});
    }
    return definitions;
}

std::string ListObjectName(std::uint32_t id) {
    char name[kListNameBuffer];
    std::snprintf(name, sizeof name, "%s%lu", kListManagerLock, static_cast<unsigned long>(id));
    return name;
}

ListView& ListView::operator=(const ListView& other) {
    if (this == &other) return *this;
    address = other.address;
    ownPosition = other.ownPosition;
    ownSequence = other.ownSequence;
    position = other.position == &other.ownPosition ? &ownPosition : other.position;
    sequence = other.sequence == &other.ownSequence ? &ownSequence : other.sequence;
    return *this;
}

void ListManager::CreateIn(ListManagerState& state, void* image, int& descriptor, ListRecordMap& first,
                           const std::string& firstDirectory, ListRecordMap& second,
                           const std::string& secondDirectory, std::vector<ListStart>* report) {
    descriptor = -1;
    const std::vector<ListDefinitionEntry> definitions = ListDefinitions(image);
    if (definitions.empty()) return;
    std::unique_lock<std::shared_mutex> mapHold(state.mapMutex);
    void* lock = NM::createSharedMemory(kListManagerLock, sizeof(Platform::ProcessMutex), descriptor);
    if (!lock) return;  // it exists: the lists were created by an earlier start
    state.managerLock = static_cast<Platform::ProcessMutex*>(lock);
    state.managerLock->init();
    Platform::ProcessLock hold(*state.managerLock);

    for (const ListDefinitionEntry& definition : definitions) {
        ListStart start{definition.id, definition.geometry.objectSize, ListStart::Outcome::Skipped, ""};
        const std::string name = ListObjectName(definition.id);
        void* address = nullptr;
        if (!definition.geometry.reasonable()) {
            start.reason = "its object of " + std::to_string(start.size) + " bytes is larger than " +
                           std::to_string(kMaxListObjectBytes);
        } else {
            int fd = -1;
            address = NM::createSharedMemory(name.c_str(), definition.geometry.objectSize, fd);
            const int error = errno;
            if (address) {
                Platform::close(fd);  // the mapping stays
            } else {
                start.reason =
                    name + (error == EEXIST ? " exists already"
                                            : std::string(" cannot be created: ") + std::strerror(error));
            }
        }
        if (!address) {
            Platform::slogf(kLogCode, _SLOG_WARNING, "ListManager: list %u skipped: %s", definition.id,
                            start.reason.c_str());
            if (report) report->push_back(start);
            continue;
        }

        const ListRef list{static_cast<ListHeader*>(address), definition.geometry};
        const std::string& directory = definition.storage == 0 ? firstDirectory : secondDirectory;
        const std::string definitionPath = directory + kDefinitionFile + std::to_string(definition.id);
        if (auto fresh = Restore(list, definition, directory + name, definitionPath)) {
            InitialiseFresh(list);
            start.outcome = ListStart::Outcome::Fresh;
            start.reason = *fresh;
        } else {
            start.outcome = ListStart::Outcome::Restored;
        }
        state.lists.emplace(definition.id, list);
        (definition.storage == 0 ? first : second)
            .emplace(definition.id, ListRecord{definition.geometry.objectSize, address, name});
        if (report) report->push_back(start);
    }
}

void ListManager::AttachIn(ListManagerState& state, void* image) {
    std::unique_lock<std::shared_mutex> mapHold(state.mapMutex);
    if (!state.lists.empty()) return;
    const std::vector<ListDefinitionEntry> definitions = ListDefinitions(image);
    if (definitions.empty()) return;
    if (!state.managerLock) {
        int fd = -1;
        void* lock = NM::openSharedMemory(kListManagerLock, sizeof(Platform::ProcessMutex), fd);
        if (fd >= 0) Platform::close(fd);
        if (!lock) return;
        state.managerLock = static_cast<Platform::ProcessMutex*>(lock);
    }
    Platform::ProcessLock hold(*state.managerLock);
    for (const ListDefinitionEntry& definition : definitions) {
        if (definition.id > kMaxAttachedListId || !definition.geometry.reasonable() ||
            state.lists.count(definition.id) != 0) {
            continue;
        }
        int fd = -1;
        void* address =
            NM::openSharedMemory(ListObjectName(definition.id).c_str(), definition.geometry.objectSize, fd);
        if (fd >= 0) Platform::close(fd);
        if (address)
            state.lists.emplace(definition.id,
                                ListRef{static_cast<ListHeader*>(address), definition.geometry});
    }
}

bool ListManager::SaveDefinitionIn(void* image, std::uint32_t id, const std::string& directory) {
    for (const ListDefinitionEntry& definition : ListDefinitions(image)) {
        if (definition.id != id) continue;
        struct stat info;
        if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
        const std::string target = directory + kDefinitionFile + std::to_string(id);
        const std::string temporary = target + ".new" + std::to_string(getpid());
        const int fd = Platform::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd == -1) return false;
        bool written =
            Platform::WriteFully(fd, definition.blob, definition.blobLength) && Platform::fsync(fd) == 0;
        written = Platform::close(fd) == 0 && written;
        if (!written || Platform::rename(temporary.c_str(), target.c_str()) != 0) {
            Platform::unlink(temporary.c_str());
            return false;
        }
        const std::string parent = std::filesystem::path(target).parent_path().string();
        return Platform::SyncDirectory(parent.empty() ? "." : parent.c_str()) == 0;
    }
    return false;
}

void ListManager::createAll(int& descriptor, ListRecordMap& first, const std::string& firstDirectory,
                            ListRecordMap& second, const std::string& secondDirectory,
                            std::vector<ListStart>* report) {
    BinaryClient::open();
    CreateIn(State(), BinaryClient::imageBase(), descriptor, first, firstDirectory, second, secondDirectory,
             report);
}

void ListManager::attachAll() {
    {
        std::shared_lock<std::shared_mutex> hold(State().mapMutex);
        if (!State().lists.empty()) return;
    }
    BinaryClient::open();
    AttachIn(State(), BinaryClient::imageBase());
}

bool ListManager::saveListDefinition(std::uint32_t id, const std::string& directory) {
    return SaveDefinitionIn(BinaryClient::imageBase(), id, directory);
}

ListRef ListManager::find(std::uint32_t id) {
    ListManagerState& state = State();
    std::shared_lock<std::shared_mutex> hold(state.mapMutex);
    const auto found = state.lists.find(id);
    return found == state.lists.end() ? ListRef{} : found->second;
}

void* ListManager::listAddress(std::uint32_t id) {
    return find(id).object;
}

int ListManager::lockList(std::uint32_t id) {
    return WithList(id, -1, [](const ListRef& list) { return list.object->mutex.lock(); });
}

int ListManager::unlockList(std::uint32_t id) {
    return WithList(id, -1, [](const ListRef& list) { return list.object->mutex.unlock(); });
}

void* ListManager::elementAt(std::uint32_t id, int mode, int index, int pageSize) {
    return WithList(id, static_cast<void*>(nullptr),
                    [&](const ListRef& list) -> void* { return ElementAt(list, mode, index, pageSize); });
}

int ListManager::removeAt(std::uint32_t id, int index) {
    return Locked(id, 0, [&](const ListRef& list) { return RemoveAt(list, index); });
}

int ListManager::clearList(std::uint32_t id) {
    return Locked(id, 0, [](const ListRef& list) {
        ClearList(list);
        return 1;
    });
}

int ListManager::isListEmpty(std::uint32_t id) {
    return Locked(id, 1, [](const ListRef& list) { return list.count() == 0 ? 1 : 0; });
}

int ListManager::isListFull(std::uint32_t id) {
    return Locked(id, 0, [](const ListRef& list) { return list.count() >= list.geometry.capacity ? 1 : 0; });
}

std::uint32_t ListManager::listLength(std::uint32_t id) {
    return WithList(id, std::uint32_t{0}, [](const ListRef& list) { return list.count(); });
}

std::uint16_t ListManager::nextSequence(std::uint32_t id) {
    return WithList(id, std::uint16_t{0}, [](const ListRef& list) { return NextSequence(list); });
}

int ListManager::findElement(std::uint32_t id, int start, int end, int textOffset, int maxLength,
                             const std::string& pattern) {
    return Locked(id, kNoList, [&](const ListRef& list) {
        return FindElement(list, start, end, textOffset, maxLength, pattern);
    });
}

void ListManager::openListView(ListView& view, std::uint32_t id, bool sharePosition) {
    bool found = false;
    openListView(view, id, sharePosition, found);
}

void ListManager::openListView(ListView& view, std::uint32_t id, bool sharePosition, bool& found) {
    const ListRef list = find(id);
    found = list.object != nullptr;
    view.address = list.object;
    view.ownPosition = found ? 0 : 0xFFFFFFFFu;
    view.ownSequence = found ? LoadSequence(&list.object->sequence) : 0;
    const bool shared = found && sharePosition;
    view.position = shared ? &list.object->position : &view.ownPosition;
    view.sequence = shared ? &list.object->sequence : &view.ownSequence;
}

double ListManager::readField(std::uint32_t id, const void* element, int offset, int type) {
    return WithList(id, 0.0, [&](const ListRef& list) {
        return ReadField(element, list.geometry.elementSize, offset, type);
    });
}

}  // namespace CoreSystem
