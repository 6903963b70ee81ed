// The application manager, its configuration scan and the process-wide reserved-string map.
#include "CoreSystem/Application/ApplicationManager.h"

#include <algorithm>
#include <mutex>

#include "CoreSystem/SharedData/BinaryClient.h"
#include "CoreSystem/SharedData/DBSHM.h"
#include "CoreSystem/SharedData/ListManager.h"

namespace CoreSystem {

namespace {

/// Binds the programming configuration of the image at `imageBase` (none for null).
void BindProgramming(void* imageBase, conf::ConfigurationRoot& root, conf::ProgrammingConfiguration& programming) {
    root.attachImage(imageBase);
    programming.setBase(imageBase);
    programming.setRecord(root.resolve(root.word(conf::ConfigurationRoot::kProgrammingConfiguration)));
}

/// Calls `visit` with a handle of class `Record` on each element of the list at `list`, in order.
template <typename Record, typename Visit>
void ForEach(const conf::Conf& owner, conf::Offset list, Visit visit) {
    if (!owner.record()) return;
    Record element;
    element.setBase(owner.base());
    const std::uint32_t count = owner.listCount(list);
    for (std::uint32_t k = 0; k < count; ++k) {
        element.setRecord(owner.listElementAt(list, k));
        visit(element);
    }
}

/// Adds word `keyWord` -> word `valueWord` of each element (first wins on repeated keys).
template <typename Record, typename Map>
void Fill(const conf::Conf& entry, unsigned listWord, unsigned keyWord, unsigned valueWord, Map& map) {
    ForEach<Record>(entry, entry.word(listWord), [&](const Record& element) {
        map.emplace(static_cast<typename Map::key_type>(element.word(keyWord)),
                    static_cast<typename Map::mapped_type>(element.word(valueWord)));
    });
}

}  // namespace

void ActionIndex::build(const std::map<std::uint32_t, std::uint32_t>& actions) {
    dense_.clear();
    sparse_.clear();
    first_ = 0;
    size_ = actions.size();
    if (actions.empty()) return;
    // A table for ids spread over at most twice their number (plus a little) costs no more than
    // the pairs; wider spreads keep the pairs and search them.
    const std::uint64_t span = std::uint64_t{actions.rbegin()->first} - actions.begin()->first + 1;
    if (span <= 2 * std::uint64_t{actions.size()} + 64) {
        first_ = actions.begin()->first;
        dense_.assign(static_cast<std::size_t>(span), Slot{0, false});
        for (const auto& [id, local] : actions) dense_[id - first_] = Slot{local, true};
    } else {
        sparse_.assign(actions.begin(), actions.end());
    }
}

std::uint32_t ActionIndex::translateSparse(std::uint32_t id) const {
    const auto found = std::lower_bound(sparse_.begin(), sparse_.end(), id,
                                        [](const auto& pair, std::uint32_t key) { return pair.first < key; });
    return found != sparse_.end() && found->first == id ? found->second : id;
}

const ApplicationRecord* ApplicationTables::find(int key) const {
    const auto found = applications.find(key < 0 ? ownKey : key);
    return found == applications.end() ? nullptr : found->second.get();
}

std::uint32_t ApplicationTables::translateAction(int channelIndex, std::uint32_t id) const {
    const auto found = applications.find(channelIndex);
    if (found == applications.end()) return id;
    const ApplicationRecord& record = *found->second;
    if (record.actionIndex.size() == record.actions.size()) return record.actionIndex.translate(id);
    const auto action = record.actions.find(id);  // a record filled by hand, not by a scan
    return action == record.actions.end() ? id : action->second;
}

ApplicationTables ScanConfiguration(void* imageBase, const std::string& name, bool withoutEndpoint,
                                    const std::function<int(const std::string&)>& openEndpoint) {
    using conf::ApplicationInformation;
    ApplicationTables tables;
    conf::ConfigurationRoot root;
    conf::ProgrammingConfiguration programming;
    BindProgramming(imageBase, root, programming);
    ForEach<ApplicationInformation>(
        programming, programming.word(conf::ProgrammingConfiguration::kApplications),
        [&](const ApplicationInformation& entry) {
            const std::string entryName = conf::Conf::textAt(entry, entry.word(ApplicationInformation::kName));
            if (entryName == name) {
                int key = -1;
                if (!withoutEndpoint) {
                    key = openEndpoint(name + kActionSuffix);
                    if (tables.applications.empty()) tables.ownKey = key;
                }
                auto record = std::make_unique<ApplicationRecord>();
                if (entry.word(ApplicationInformation::kReference) != 0)
                    record->applicationReference = entry.resolve(entry.word(ApplicationInformation::kReference));
                Fill<conf::ApplicationEvent>(entry, ApplicationInformation::kEvents, conf::ApplicationEvent::kLocalNumber,
                                             conf::ApplicationEvent::kEventId, record->events);
                Fill<conf::ApplicationVariable>(entry, ApplicationInformation::kVariables,
                                                conf::ApplicationVariable::kLocalNumber,
                                                conf::ApplicationVariable::kVariableId, record->variables);
                Fill<conf::ApplicationReservedString>(entry, ApplicationInformation::kReservedStrings,
                                                      conf::ApplicationReservedString::kLocalNumber,
                                                      conf::ApplicationReservedString::kStringId,
                                                      record->reservedStrings);
                Fill<conf::ApplicationAction>(entry, ApplicationInformation::kActions, conf::ApplicationAction::kActionId,
                                              conf::ApplicationAction::kLocalNumber, record->actions);
                record->actionIndex.build(record->actions);
                tables.applications[key] = std::move(record);  // frees a record replaced under the same key
            }
            if (entryName == kNVMgrName) {
                ForEach<conf::ApplicationAction>(entry, entry.word(ApplicationInformation::kActions),
                                                 [&](const conf::ApplicationAction& action) {
                                                     const std::uint32_t id = action.word(conf::ApplicationAction::kActionId);
                                                     switch (action.word(conf::ApplicationAction::kLocalNumber)) {
                                                         case 0: tables.nvmgrAction0 = id; break;
                                                         case 2: tables.nvmgrAction2 = id; break;
                                                         case 6: tables.nvmgrAction6 = id; break;
                                                         default: break;
                                                     }
                                                 });
            }
        });
    return tables;
}

std::map<int, int> ReservedStringsOf(void* imageBase) {
    std::map<int, int> strings;
    conf::ConfigurationRoot root;
    conf::ProgrammingConfiguration programming;
    BindProgramming(imageBase, root, programming);
    constexpr unsigned kRecordId = 1;  // word 1 of every record: its record id
    Fill<conf::ReservedString>(programming, conf::ProgrammingConfiguration::kReservedStrings, kRecordId,
                               conf::ReservedString::kStringId, strings);
    return strings;
}

const std::map<int, int>& reservedStringMap() {
    static const std::map<int, int> empty;
    static std::mutex fillLock;
    static std::unique_ptr<const std::map<int, int>> filled;
    static std::atomic<const std::map<int, int>*> published{nullptr};
    if (const auto* map = published.load(std::memory_order_acquire)) return *map;
    std::lock_guard<std::mutex> hold(fillLock);
    if (!filled) {
        std::map<int, int> strings = ReservedStringsOf(BinaryClient::imageBase());
        if (strings.empty()) return empty;
        filled = std::make_unique<const std::map<int, int>>(std::move(strings));
        published.store(filled.get(), std::memory_order_release);
    }
    return *filled;
}

ApplicationManager::ApplicationManager(const std::string& name, bool pollingMode, bool withoutEndpoint)
    : ApplicationChannel(pollingMode) {
    DBSHM::openDatabase();
    BinaryClient::open();
    imageBase_ = BinaryClient::imageBase();
    BindProgramming(imageBase_, root_, programming_);
    ListManager::attachAll();
    tables_ = ScanConfiguration(imageBase_, name, withoutEndpoint,
                                [this](const std::string& endpoint) { return openEndpoint(endpoint); });
}

ApplicationManager::~ApplicationManager() = default;

ApplicationMessage* ApplicationManager::receive() {
    ApplicationMessage* message = takeMessage();
    if (message) message->setId(tables_.translateAction(message->channelIndex, message->id()));
    return message;
}

void ApplicationManager::sendToSelf(ApplicationMessage& message) {
    if (message.data()) client().send(tables_.ownKey, message.data(), static_cast<int>(message.size()));
}

void ApplicationManager::postApplicationEvent(int localEvent, ApplicationMessage& message, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return;
    const auto event = record->events.find(localEvent);
    if (event != record->events.end()) postEventId(static_cast<int>(event->second), message);
}

void ApplicationManager::postApplicationEvent(int localEvent, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return;
    const auto event = record->events.find(localEvent);
    if (event != record->events.end()) postEventId(static_cast<int>(event->second));
}

unsigned ApplicationManager::setLocalVariables(unsigned count, int* localIds, double* values, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record || count == 0) return 0;
    unsigned written = 0;
    for (unsigned i = 0; i < count; ++i) {
        const auto variable = record->variables.find(localIds[i]);
        if (variable == record->variables.end()) continue;
        localIds[written] = variable->second;
        values[written] = values[i];
        ++written;
    }
    if (written > 0) DBSHM::setVariables(static_cast<int>(written), localIds, values);
    return written;
}

void ApplicationManager::setLocalVariable(int localId, double value, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return;
    const auto variable = record->variables.find(localId);
    if (variable != record->variables.end()) DBSHM::setVariable(variable->second, value);
}

std::string ApplicationManager::variableText(int localId, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return {};
    const auto variable = record->variables.find(localId);
    double value = 0;
    std::uint32_t textId = 0;
    std::string text;
    if (variable == record->variables.end() || DBSHM::getVariable(variable->second, value) != 1 ||
        DBSHM::textIdForValue(variable->second, value, textId) != 1)
        return {};
    BinaryClient::getString(static_cast<std::int32_t>(textId), text, 0);
    return text;
}

void ApplicationManager::setReservedString(int localId, const std::string& text, int allCultures, int key) {
    const int id = reservedStringId(localId, key);
    if (id > 0) BinaryClient::setString(id, text, allCultures != 0);
}

int ApplicationManager::reservedStringId(int localId, int key) const {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return -1;
    const auto string = record->reservedStrings.find(localId);
    return string == record->reservedStrings.end() ? -1 : string->second;
}

std::string ApplicationManager::reservedStringText(int localId, int knownCounter, int key) {
    const int id = reservedStringId(localId, key);
    std::string text;
    if (id >= 0) BinaryClient::getString(id, text, static_cast<std::uint32_t>(knownCounter));
    return text;
}

void ApplicationManager::bindApplicationRecord(conf::Conf& accessor, int key) {
    const ApplicationRecord* record = tables_.find(key);
    if (!record) return;
    accessor.setRecord(record->applicationReference);
    accessor.setBase(imageBase_);
}

bool ApplicationManager::postNVMgrAction(const std::optional<std::uint32_t>& id, std::uint32_t argument) {
    if (!id) return false;  // never a made-up id
    int channelIndex = nvmgrChannelIndex_.load();
    if (channelIndex == -1) {
        const std::string endpoint = std::string(kNVMgrName) + kActionSuffix;
        channelIndex = client().getChannelIndex(endpoint.c_str());
        nvmgrChannelIndex_.store(channelIndex);
    }
    ApplicationMessage message(4);
    message.setId(*id);
    message.setArgument(argument);
    return client().send(channelIndex, message.data(), static_cast<int>(message.size())) >= 0;
}

bool ApplicationManager::postNVMgrAction0(std::uint32_t argument) {
    return postNVMgrAction(tables_.nvmgrAction0, argument);
}

bool ApplicationManager::postNVMgrAction2() {
    return postNVMgrAction(tables_.nvmgrAction2, 0);
}

bool ApplicationManager::postNVMgrAction6(std::uint32_t argument) {
    return postNVMgrAction(tables_.nvmgrAction6, argument);
}

}  // namespace CoreSystem
