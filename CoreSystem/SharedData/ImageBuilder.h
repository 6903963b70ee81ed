// The image builder: makes a shared configuration image from a description, on the host, for the
// simulated device's loader, for tools and for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CoreSystem/SharedData/Conf.h"

namespace conf {

/// Word 0 of an image this builder writes ("CFG1"); word 1 holds the image's total size.
inline constexpr std::uint32_t kImageMagic = 0x31474643u;

/// What a configuration image holds, in the terms of its description file (docs/configuration.md).
struct ImageDescription {
    struct String {                      ///< string id = position
        std::uint32_t capacity = 0;      ///< bytes per text slot, NUL included
        std::vector<std::string> texts;  ///< one per culture; missing ones are empty
    };
    struct ReservedString {
        std::uint32_t stringId = 0;
        std::uint32_t eventCode = 0;
    };
    struct Value {
        std::uint32_t value = 0;
        std::optional<std::uint32_t> stringId;
    };
    struct Variable {  ///< variable id = position + 1
        std::string name;
        std::string type = "f64";  ///< f64 f32 i32 i16 i8
        std::uint32_t eventCode = 0;
        std::optional<std::uint32_t> timeoutMs;  ///< none: the value never expires
        std::vector<Value> values;
    };
    struct List {
        std::uint32_t id = 0, capacity = 0, elementSize = 0, storage = 0;
        std::vector<std::uint8_t> definition;
    };
    struct Pair {  ///< an application's local number and the system-wide id it stands for
        std::uint32_t local = 0, id = 0;
    };
    struct Application {
        std::string name;
        std::vector<Pair> actions, events, variables, reservedStrings;
        bool reference = false;  ///< word 7 refers to the application's own record
    };

    std::vector<std::string> cultures;
    std::uint32_t currentCulture = 0;
    std::vector<String> strings;
    std::vector<ReservedString> reservedStrings;
    std::vector<Variable> variables;
    std::vector<List> lists;
    std::vector<Application> applications;
};

/// The storage type code of the variables database for a description's type name (f64 gives 0,
/// which the database stores as a double), or none for an unknown name.
std::optional<std::uint32_t> VariableTypeCode(const std::string& type);

/// Builds the image of `description` into `image`: 16 header bytes (magic, total size), the root
/// record at 16, byte-offset references, every change counter 1, the culture mutex bytes zero.
/// Returns false, with a message naming the entry in `error`, for a description it cannot
/// represent (a text longer than its slot, a culture index out of range, an unknown type, an id
/// naming no string or variable, an image beyond 256 MiB).
bool BuildImage(const ImageDescription& description, std::vector<std::uint8_t>& image, std::string& error);

}  // namespace conf
