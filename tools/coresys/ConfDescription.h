// Reading a configuration description (JSON, docs/configuration.md) into the builder's terms.
#pragma once

#include <optional>
#include <string>

#include "CoreSystem/SharedData/ImageBuilder.h"

namespace Coresys {

/// Parses the description `text`. Returns the reason it is refused, naming the entry
/// ("variables[1].type: ..."), or nothing.
std::optional<std::string> ParseDescription(const std::string& text, conf::ImageDescription& description);

/// Reads and parses the description file at `path`; fails the command (exit 1) with
/// "coresys: PATH: <reason>" when it cannot be read or is refused.
conf::ImageDescription LoadDescription(const std::string& path);

/// The whole file at `path`; fails the command (exit 1) when it cannot be read or holds more
/// than `limit` bytes.
std::string ReadWholeFile(const std::string& path, std::size_t limit = std::size_t{1} << 30);

}  // namespace Coresys
