// The boot counter in "bootCount.bin" of the autoload base (4 bytes, unsigned little-endian, no
// header), a boot tag unique per boot and moment, and the check that the flash file system is
// formatted and writable.
#pragma once

#include <cstdint>
#include <string>

namespace CoreSystem {

/// The boot count. Read from "bootCount.bin" while the process-wide cached count is 0 (a stored
/// 0 is therefore read again on every call), then served from the cache. A missing file gives 0,
/// a short one the bytes that are there. Meant for one thread, typically at start-up.
std::uint32_t BootCount();

/// Adds 1 to the count (wrapping from 0xFFFFFFFF to 0), rewrites "bootCount.bin" and flushes it
/// to its device. When the file cannot be written, the cached count and the stored bytes stay as
/// they were. Meant for one thread; two processes incrementing at once can lose a step.
void IncrementBootCount();

/// 24 upper-case hexadecimal digits: BootCount() in 8, then the processor's cycle counter in 16.
std::string BootTag();
/// The boot tag of `count` and `cycles`.
std::string FormatBootTag(std::uint32_t count, std::uint64_t cycles);

/// True when the autoload tree is in use ("start.sh" is in the application directory) or a test
/// file "formatted" can be written to the base, flushed and removed again; false on any failure.
/// A test file (or link) left behind by an interrupted check is removed and replaced, never
/// written through. Never formats anything.
/// Waits up to 3 s for the base to appear. Calls are serialised.
bool IsStorageFormatted();

}  // namespace CoreSystem
