// Device family detection: the environment is read once, under the family lock, and the code is
// kept for the life of the process.
#include "CoreSystem/Hardware/DeviceFamily.h"

#include <sched.h>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace CoreSystem {

namespace {

/// The family lock: guards the detection flag and the cached code. Statically initialised.
std::mutex gFamilyLock;
bool gFamilyDetected = false;
DeviceFamily gFamily = kFamilyUnknown;

}  // namespace

DeviceFamily DeviceFamilyFromText(const char* text) {
    if (text == nullptr) return kFamilyUnknown;
    if (std::strcmp(text, "M2") == 0) return kFamilyM2;
    if (std::strcmp(text, "iMX35") == 0) return kFamilyIMX35;
    if (std::strcmp(text, "E2") == 0) return kFamilyE2;
    return kFamilyUnknown;
}

DeviceFamily GetDeviceFamily() {
    DeviceFamily family;
    {
        std::lock_guard<std::mutex> lock(gFamilyLock);
        if (!gFamilyDetected) {
            gFamilyDetected = true;
            gFamily = DeviceFamilyFromText(std::getenv("DEVICEFAMILY"));
        }
        family = gFamily;
    }
    sched_yield();
    return family;
}

bool IsM2OrE2(DeviceFamily family) {
    return family == kFamilyM2 || family == kFamilyE2;
}
bool IsM2OrE2() {
    return IsM2OrE2(GetDeviceFamily());
}
bool IsE2() {
    return GetDeviceFamily() == kFamilyE2;
}
bool IsM2() {
    return GetDeviceFamily() == kFamilyM2;
}

}  // namespace CoreSystem
