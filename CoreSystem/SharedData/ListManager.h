// The shared lists: fixed-capacity lists of fixed-size elements, one shared-memory object
// "/ListManager<id>" per list, created and restored by one owner at start-up and attached by id
// in every other process.
#pragma once

#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/SharedList.h"

namespace CoreSystem {

/// Name of the list manager lock: 8 bytes holding one process-shared mutex, held by the owner
/// while it creates all lists and by a client while it attaches them.
inline constexpr const char* kListManagerLock = "/ListManager";
/// Size of the buffer list object names are formatted into.
inline constexpr std::size_t kListNameBuffer = 67;
/// Clients attach no list with a higher id.
inline constexpr std::uint32_t kMaxAttachedListId = 1106;

/// "/ListManager<id>", the name of a list's shared-memory object.
std::string ListObjectName(std::uint32_t id);

/// One list definition of a configuration image.
struct ListDefinitionEntry {
    std::uint32_t id;
    std::uint32_t storage;  ///< 0: the first directory, else the second
    ListGeometry geometry;
    const std::uint8_t* blob;  ///< the definition blob's bytes (null when it has none)
    std::uint32_t blobLength;
};
/// The list definitions of an image that passed conf::CheckImage, in list order.
std::vector<ListDefinitionEntry> ListDefinitions(void* image);

/// One list as the owner created it.
struct ListRecord {
    std::uint64_t size = 0;  ///< object size
    void* address = nullptr;
    std::string name;  ///< "/ListManager<id>"
};
/// The owner's record maps, by list id.
using ListRecordMap = std::map<std::uint32_t, ListRecord>;

/// What the owner's start made of one definition.
struct ListStart {
    enum class Outcome { Fresh, Restored, Skipped };
    std::uint32_t id = 0;
    std::uint64_t size = 0;
    Outcome outcome = Outcome::Skipped;
    std::string reason;  ///< why the list started fresh or was skipped (empty when restored)
};

/// A process's view of one list: the object, and the position and change sequence it pages
/// with. With a shared position both point into the object (every process sharing it moves
/// together); without, at the view's own copies. A copy of a view points at its own copies.
struct ListView {
    void* address = nullptr;  ///< the list object; null for a missing id
    std::uint32_t* position = nullptr;
    std::uint16_t* sequence = nullptr;
    /// The view's own position (0 when opened; 0xFFFFFFFF, i.e. -1, for a missing id) and
    /// sequence (the object's sequence when opened).
    std::uint32_t ownPosition = 0;
    std::uint16_t ownSequence = 0;

    ListView() = default;
    ListView(const ListView& other) { *this = other; }
    ListView& operator=(const ListView& other);
    bool sharesPosition() const { return position != nullptr && position != &ownPosition; }
};

/// The list manager's process-wide state (the last member of the shared-data object).
struct ListManagerState {
    /// The attached lists by id, each with the geometry of its definition.
    std::map<std::uint32_t, ListRef> lists;
    /// The "/ListManager" lock once created or attached.
    Platform::ProcessMutex* managerLock = nullptr;
    /// Guards `lists` within the process: exclusive while creating or attaching, shared for lookups.
    std::shared_mutex mapMutex;
};

/// The shared lists of the process. Per-list operations take a list id; an id that is not
/// attached gives the documented "missing" result. Elements are reached with elementAt between
/// lockList and unlockList.
class ListManager {
public:
    /// Owner start-up: opens the configuration image, creates "/ListManager" (nothing is created
    /// when it exists already) and one object per list definition, restoring each list from its
    /// data file "<directory>/ListManager<id>" (a BackupFile) when the saved object is complete
    /// and sound, has the definition's size and the file "<directory>ListDefinition<id>" is
    /// missing or holds the definition unchanged; otherwise the list starts empty. A list goes to
    /// the first directory and record map when its definition's storage selector is 0, else to
    /// the second. `descriptor` receives the lock's descriptor (-1 when it was not created).
    /// `report`, when given, receives one entry per definition.
    static void createAll(int& descriptor, ListRecordMap& first, const std::string& firstDirectory,
                          ListRecordMap& second, const std::string& secondDirectory,
                          std::vector<ListStart>* report = nullptr);
    /// Client start-up: attaches every list the owner created (ids up to 1106). Does nothing once
    /// a list is attached; retried by the next call when nothing could be attached.
    static void attachAll();
    /// Writes the definition file "<directory>ListDefinition<id>" of list `id` when `directory`
    /// is a directory: through a temporary file beside it, flushed and renamed over it, so the
    /// file is always either the old or the new one. False when nothing was written.
    static bool saveListDefinition(std::uint32_t id, const std::string& directory);

    /// The list object, or null for a missing id.
    static void* listAddress(std::uint32_t id);
    /// Takes / releases the list mutex: 0 or an error number; -1 for a missing id.
    static int lockList(std::uint32_t id);
    static int unlockList(std::uint32_t id);
    /// The element at `index` (mode 1: relative to the position; mode 2 with `pageSize` > 0:
    /// relative to the start of the position's page), its word 0 set to its index; null when no
    /// element is there. The caller holds the list mutex.
    static void* elementAt(std::uint32_t id, int mode, int index, int pageSize);
    /// Removes an element (its slot moves to the end; element bytes never move). 1 when removed,
    /// 0 for an index not in use (negative ones included) or a missing id.
    static int removeAt(std::uint32_t id, int index);
    /// Empties the list: 1, or 0 for a missing id.
    static int clearList(std::uint32_t id);
    /// 1 when the list is empty or missing, else 0.
    static int isListEmpty(std::uint32_t id);
    /// 1 when the list is full, 0 otherwise or for a missing id.
    static int isListFull(std::uint32_t id);
    /// Elements in use (no lock), 0 for a missing id.
    static std::uint32_t listLength(std::uint32_t id);
    /// The change sequence before incrementing it (no lock; wraps at 0xFFFF); 0 for a missing id.
    static std::uint16_t nextSequence(std::uint32_t id);
    /// Index of the first element in [start, end), below the count, whose text at `textOffset`
    /// (at most `maxLength` bytes, never past the element) matches `pattern` (see MatchPattern).
    /// kNoElement (-4) when none does or the range is empty or negative, kNoList (-3) for a
    /// missing id.
    static int findElement(std::uint32_t id, int start, int end, int textOffset, int maxLength,
                           const std::string& pattern);
    /// Fills `view` for list `id`, sharing the object's position and sequence when
    /// `sharePosition` is set. `found` tells whether the id is attached.
    static void openListView(ListView& view, std::uint32_t id, bool sharePosition);
    static void openListView(ListView& view, std::uint32_t id, bool sharePosition, bool& found);
    /// The field at `offset` of an element of list `id` as a double (see ReadField); 0.0 for a
    /// missing id or a field outside the element.
    static double readField(std::uint32_t id, const void* element, int offset, int type);

    /// The attached list `id` with its geometry; an empty ListRef (null object) when missing.
    static ListRef find(std::uint32_t id);

    /// The cores of createAll, attachAll and saveListDefinition on a given state and image (an
    /// image that passed conf::CheckImage), for callers that keep their own state.
    static void CreateIn(ListManagerState& state, void* image, int& descriptor, ListRecordMap& first,
                         const std::string& firstDirectory, ListRecordMap& second,
                         const std::string& secondDirectory, std::vector<ListStart>* report);
    static void AttachIn(ListManagerState& state, void* image);
    static bool SaveDefinitionIn(void* image, std::uint32_t id, const std::string& directory);
};

}  // namespace CoreSystem
