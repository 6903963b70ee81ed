// The one translation unit that owns the process-wide objects.
#include "CoreSystem/SharedDataObject.h"

namespace CoreSystem {

namespace {
SharedDataObject gSharedData;
}  // namespace

SharedDataObject& SharedData() {
    return gSharedData;
}

}  // namespace CoreSystem

NM::RegistryState& NM::Registry() {
    return CoreSystem::gSharedData.registry;
}
