// Power-safe storage of one blob: two copies "<path>_0" and "<path>_1", each with an 8-byte header,
// behind the symbolic link "<path>", so that a power loss during a write never destroys the last good copy.
#pragma once

#include <cstdint>
#include <string>

namespace CoreSystem {

/// One blob stored as alternating copies. Copy file format (little-endian): sequence number
/// (4 bytes), payload length L (4 bytes), L payload bytes; a copy is complete when its size is
/// exactly 8 + L. The link names the copy written last; when it is missing (a write was cut
/// short) the complete copy with the newer sequence number is current. No lock: callers serialise
/// the use of one path across objects and processes.
class BackupFile {
public:
    /// The payload of one version: `length` bytes at `data` (which may be null when `length` is 0).
    struct Buffer {
        std::uint32_t length;
        const void* data;
    };

    static constexpr std::uint32_t kHeaderSize = 8;
    /// Sequence number of an object that has read or written nothing yet.
    static constexpr std::uint32_t kInitialSequence = 1000;

    /// What one copy's header says.
    struct Header {
        enum class Status {
            Missing,       ///< the copy does not exist
            Unreadable,    ///< it exists but cannot be opened
            NotAFile,      ///< something other than a regular file (a FIFO, a device) is in its place
            Short,         ///< fewer than 8 bytes: no header
            SizeMismatch,  ///< its size is not 8 + length (a torn or foreign copy)
            Valid,
        };
        Status status = Status::Missing;
        std::uint32_t sequence = 0;  ///< as stored (0 without a header)
        std::uint32_t length = 0;    ///< as stored (0 without a header)
        std::uint64_t size = 0;      ///< the file's size when it could be opened
        bool valid() const { return status == Status::Valid; }
    };

    /// How the current copy is found (see choose()).
    enum class Reason {
        Link,         ///< the path resolves (a link to an existing file, or a file itself)
        Newer,        ///< no link; both copies are complete and this one is newer
        OnlyValid,    ///< no link; both copies exist and only this one is complete
        OnlyCopy,     ///< no link; only this copy exists and it is complete
        Equal,        ///< no link; both copies are complete with the same sequence number
        NoValidCopy,  ///< no link; no copy is complete
        Unreadable,   ///< no link; a copy exists that cannot be opened, so the newest is unknown
        NoCopy,       ///< no link and no copy
    };

    struct Choice {
        std::string path;  ///< the current copy, empty when there is none
        int index = -1;    ///< 0 or 1 when `path` is one of the two copies, else -1
        Reason reason = Reason::NoCopy;
    };

    /// Stores the path; touches no file. The sequence number starts at kInitialSequence.
    explicit BackupFile(const std::string& path);
    virtual ~BackupFile();

    /// Path of the copy holding the newest valid version, empty when there is none. When the
    /// link is missing or dangling it is made again to the copy chosen by the headers.
    std::string currentPath();

    /// Opens the current copy for reading with the descriptor standing at the payload: true with
    /// `size` = payload length. Takes over the copy's sequence number. `descriptor` receives the
    /// open result (-1 when nothing could be opened); after a false result a descriptor that is
    /// not -1 is still open and the caller closes it.
    bool openCurrent(std::uint32_t& size, int& descriptor);

    /// Writes the current payload, without header, to `destination` (created or truncated, mode
    /// 0777 before the umask) and flushes it. False when there is no complete current copy or
    /// reading, writing or flushing fails (a partial destination is left in place).
    bool copyCurrentTo(const std::string& destination);

    /// The copy the next write will use: the one that is not current ("<path>_0" when none is).
    std::string nextPath();

    /// Writes a new version into the copy that is not current, flushes it, renews the link and
    /// flushes the directory. True when the new version is durable and current. False when any
    /// step failed: the new copy is removed again and the previous version stays current; also
    /// false, with nothing changed, when the link is missing and a copy cannot be read. The new
    /// sequence number is newer than that of the copy kept, whatever this object read before.
    bool write(const Buffer& buffer);

    /// Removes the link and both copies (failures ignored), then flushes the file systems.
    void removeAll();

    /// What currentPath() would choose, and why, without changing anything on disk.
    Choice choose() const;

    const std::string& path() const { return path_; }
    /// Sequence number of the last version read (openCurrent) or written by this object.
    std::uint32_t sequence() const { return sequence_; }

    /// "<path>_0" (index 0) or "<path>_1" (index 1).
    static std::string CopyPath(const std::string& path, int index);
    /// Reads the header of the copy at `copyPath` and checks it against the file's size.
    static Header ReadHeader(const std::string& copyPath);
    /// True when sequence `a` is newer than `b`: unsigned order, except that 0 follows 0xFFFFFFFF.
    static bool Newer(std::uint32_t a, std::uint32_t b);

private:
    std::string linkTarget(int index) const;
    /// After a choice by headers: makes the link to copy `index` where none (or a dangling one) is.
    void renewLink(int index) const;
    /// Points the link at copy `index` by renaming a new link over it. 0, or -1.
    int replaceLink(int index) const;
    /// Names the copy `kept` by the link again (removes the link when that copy is not complete)
    /// and removes the copy `target`.
    void restoreAfterFailedWrite(int target, int kept, bool keptValid) const;

    std::string path_;
    std::uint32_t sequence_;
};

}  // namespace CoreSystem
