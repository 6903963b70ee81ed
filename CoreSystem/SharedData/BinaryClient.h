// The image client: attaches the shared configuration image "/BINARY_CONFIGURATION" once per
// process and serves its culture strings to the whole process.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "CoreSystem/SharedData/CultureStrings.h"

namespace CoreSystem {

/// Name of the shared-memory object the configuration loader places the image in.
inline constexpr const char* kConfigurationObject = "/BINARY_CONFIGURATION";
/// File the loader creates once the image is in place.
inline constexpr const char* kConfigurationMarker = "/tmp/configurationloaded";
/// Endpoint that receives the 4-byte event codes of changed strings.
inline constexpr const char* kEventEndpoint = "CCMEvent";

/// The image client's process-wide state (a member of the shared-data object). The handles and
/// the event map live in `strings`, in the order the process constructs them.
struct BinaryClientState {
    CultureStrings strings;
    /// Set (release) once open has completed; the fields below are fixed from then on.
    std::atomic<bool> opened{false};
    std::uint32_t imageSize = 0;
    int descriptor = -1;
    std::int32_t channelIndex = -1;  ///< of "CCMEvent"
    std::mutex openMutex;            ///< one open at a time within the process
};

/// The process's image client. Every operation except open does nothing and returns 0 while the
/// image is not opened; ids, cultures and slots outside the image are ignored likewise.
class BinaryClient {
public:
    /// Waits for the loader's marker, maps the image read-write and shared, checks it and points
    /// the handles at it. Idempotent; a failure prints one line on standard output and leaves the
    /// image not opened (the next open tries again). Safe to call from several threads.
    static void open();
    /// The image base when opened, else null.
    static void* imageBase();
    /// Usable bytes (capacity - 1) of the current culture's slot of `id`.
    static std::int32_t stringCapacity(std::int32_t id);
    /// See CultureStrings: texts are copied out only when the counter differs from `last`.
    static std::uint32_t getString(std::int32_t id, std::string& out, std::uint32_t last);
    static std::uint32_t getStringForCulture(std::int32_t id, std::uint32_t culture, std::string& out,
                                             std::uint32_t last);
    static void setString(std::int32_t id, const std::string& text, bool allCultures);
    static void setStringForCulture(std::int32_t id, std::uint32_t culture, const std::string& text,
                                    bool noNotify);
    static void copyString(std::int32_t source, std::int32_t destination);
    static void composeString(std::int32_t first, const std::string& text, std::int32_t second,
                              std::int32_t destination);
    /// The culture table of the opened image (for inspectors); null when not opened.
    static CultureStrings* strings();
};

}  // namespace CoreSystem
