// The configuration loader of the simulated device: what the device's own loader does before any
// process opens the shared configuration image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace CoreSystem {

/// Puts the culture mutex of `image` (which passed conf::CheckImage) into its unlocked state.
void InitialiseCultureMutex(void* image);

/// Places the `size` bytes of `image` in the shared-memory object "/BINARY_CONFIGURATION",
/// initialises its culture mutex in place and then creates the marker "/tmp/configurationloaded".
/// An image that fails the check is refused with the check's message and nothing is placed; an
/// existing object is refused unless `replace` (which removes it first: processes that opened the
/// old image keep it). Returns false with a message in `error`.
bool LoadConfiguration(const void* image, std::size_t size, bool replace, std::string& error);

}  // namespace CoreSystem
