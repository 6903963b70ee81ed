// The processor family of the board, taken once per process from the environment variable
// "DEVICEFAMILY". Everything that touches hardware or family-specific media asks here first.
#pragma once

#include <cstdint>

namespace CoreSystem {

/// Processor family code (32 bits). Any value of "DEVICEFAMILY" other than the exact texts
/// "iMX35", "M2" and "E2" (or no value at all) is the unknown family.
enum DeviceFamily : std::int32_t {
    kFamilyUnknown = 0,
    kFamilyIMX35 = 1,
    kFamilyM2 = 2,
    kFamilyE2 = 3,
};

/// Family named by `text` (a value of "DEVICEFAMILY"; null counts as empty): exact,
/// case-sensitive comparison; anything else is kFamilyUnknown.
DeviceFamily DeviceFamilyFromText(const char* text);

/// The family of this board. "DEVICEFAMILY" is read on the first call only; every later call
/// returns the same code, whatever the environment says by then. Any thread; never fails.
DeviceFamily GetDeviceFamily();

/// True for the families M2 and E2.
bool IsM2OrE2(DeviceFamily family);
/// The same tests on this board's family.
bool IsM2OrE2();
bool IsE2();
bool IsM2();

}  // namespace CoreSystem
