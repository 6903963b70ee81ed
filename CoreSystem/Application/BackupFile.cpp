// Backup files: the copy headers, the choice of the current copy and the write order that keeps
// the previous version current until the new one is flushed.
#include "CoreSystem/Application/BackupFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "CoreSystem/Platform/File.h"
#include "CoreSystem/Platform/Posix.h"
#include "CoreSystem/Utilities/Utilities.h"

namespace CoreSystem {

namespace {

constexpr std::uint32_t kLastSequence = 0xFFFFFFFFu;
constexpr unsigned kExistence = 3;  // IsAccessible: any mode other than 0-2 tests existence only
constexpr mode_t kCopyMode = 0777;

void PutWord(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t GetWord(const unsigned char* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return value;
}

/// Reads exactly `bytes` bytes unless the file ends or fails first; returns the count read.
std::size_t ReadFully(int fd, void* buffer, std::size_t bytes) {
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = Platform::read(fd, static_cast<char*>(buffer) + done, bytes - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path[0] == '/';
}

/// Opens `path` read-only, only when it is a regular file, and never waits on a FIFO or a
/// device in its place. -1 with errno (EINVAL for another kind of file).
int OpenRegular(const char* path) {
    const int fd = Platform::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) return -1;
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags == -1 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        Platform::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

/// How often openCurrent chooses again when a writer overtook it.
constexpr int kReadAttempts = 3;
/// Largest piece copyCurrentTo holds in memory at once.
constexpr std::size_t kCopyChunk = 64 * 1024;

bool SameFile(const struct stat& a, const std::string& path) {
    struct stat b {};
    return ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

BackupFile::BackupFile(const std::string& path) : path_(path), sequence_(kInitialSequence) {}

BackupFile::~BackupFile() = default;

std::string BackupFile::CopyPath(const std::string& path, int index) {
    return path + (index == 0 ? "_0" : "_1");
}

bool BackupFile::Newer(std::uint32_t a, std::uint32_t b) {
    if (a == 0 && b == kLastSequence) return true;
    if (a == kLastSequence && b == 0) return false;
    return a > b;
}

BackupFile::Header BackupFile::ReadHeader(const std::string& copyPath) {
    Header header;
    const int fd = OpenRegular(copyPath.c_str());
    if (fd == -1) {
        header.status = errno == ENOENT   ? Header::Status::Missing
                        : errno == EINVAL ? Header::Status::NotAFile
                                          : Header::Status::Unreadable;
        return header;
    }
    unsigned char bytes[kHeaderSize];
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        header.status = Header::Status::Unreadable;
    } else {
        header.size = static_cast<std::uint64_t>(info.st_size);
        if (ReadFully(fd, bytes, kHeaderSize) < kHeaderSize) {
            header.status = Header::Status::Short;
        } else {
            header.sequence = GetWord(bytes);
            header.length = GetWord(bytes + 4);
            header.status = header.size == std::uint64_t{kHeaderSize} + header.length
                                ? Header::Status::Valid
                                : Header::Status::SizeMismatch;
        }
    }
    Platform::close(fd);
    return header;
}

BackupFile::Choice BackupFile::choose() const {
    Choice choice;
    const std::string copies[2] = {CopyPath(path_, 0), CopyPath(path_, 1)};

    if (char* resolved = ::realpath(path_.c_str(), nullptr)) {
        choice.path = resolved;
        std::free(resolved);
        choice.reason = Reason::Link;
        struct stat current {};
        if (::stat(choice.path.c_str(), &current) == 0) {
            for (int i = 0; i < 2 && choice.index < 0; ++i) {
                if (SameFile(current, copies[i])) choice.index = i;
            }
        }
        return choice;
    }

    const bool exists[2] = {Utilities::IsAccessible(copies[0], kExistence),
                            Utilities::IsAccessible(copies[1], kExistence)};
    const auto unreadable = [](const Header& h) { return h.status == Header::Status::Unreadable; };
    if (exists[0] && exists[1]) {
        const Header h[2] = {ReadHeader(copies[0]), ReadHeader(copies[1])};
        if (unreadable(h[0]) || unreadable(h[1])) {
            choice.reason = Reason::Unreadable;
            return choice;
        }
        if (h[0].valid() && h[1].valid()) {
            if (Newer(h[0].sequence, h[1].sequence)) {
                choice.index = 0;
            } else if (Newer(h[1].sequence, h[0].sequence)) {
                choice.index = 1;
            } else {
                choice.reason = Reason::Equal;
                return choice;
            }
            choice.reason = Reason::Newer;
        } else if (h[0].valid() || h[1].valid()) {
            choice.index = h[0].valid() ? 0 : 1;
            choice.reason = Reason::OnlyValid;
        } else {
            choice.reason = Reason::NoValidCopy;
            return choice;
        }
    } else if (exists[0] || exists[1]) {
        const int only = exists[0] ? 0 : 1;
        const Header h = ReadHeader(copies[only]);
        if (!h.valid()) {
            choice.reason = unreadable(h) ? Reason::Unreadable : Reason::NoValidCopy;
            return choice;
        }
        choice.index = only;
        choice.reason = Reason::OnlyCopy;
    } else {
        choice.reason = Reason::NoCopy;
        return choice;
    }
    choice.path = copies[choice.index];
    return choice;
}

std::string BackupFile::linkTarget(int index) const {
    // A relative link is read relative to its own directory, so it holds the copy's name alone.
    const std::string copy = CopyPath(path_, index);
    return IsAbsolute(path_) ? copy : Utilities::BaseName(copy);
}

void BackupFile::renewLink(int index) const {
    // A reader only makes a link that is missing, or replaces one that names no file. A valid
    // link is a writer's: leave it, even when it appeared after the choice was made.
    if (Platform::symlink(linkTarget(index).c_str(), path_.c_str()) == 0 || errno != EEXIST) return;
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && ::stat(path_.c_str(), &info) != 0)
        replaceLink(index);
}

int BackupFile::replaceLink(int index) const {
    // A new link under a name of this process and thread, renamed over the old one: the link
    // never disappears, so a reader never has to choose while a write is under way.
    const std::string temporary = path_ + ".link" + std::to_string(::getpid()) + "-" +
                                  std::to_string(static_cast<long>(Platform::gettid()));
    Platform::unlink(temporary.c_str());
    if (Platform::symlink(linkTarget(index).c_str(), temporary.c_str()) != 0) return -1;
    if (Platform::rename(temporary.c_str(), path_.c_str()) != 0) {
        Platform::unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

std::string BackupFile::currentPath() {
    const Choice choice = choose();
    if (choice.reason != Reason::Link && choice.index >= 0) renewLink(choice.index);
    return choice.path;
}

bool BackupFile::openCurrent(std::uint32_t& size, int& descriptor) {
    // A writer may start on the copy just chosen (it alternates between the two): when the copy
    // opened turns out incomplete and the link has moved on meanwhile, choose again.
    for (int attempt = 0;; ++attempt) {
        const std::string current = currentPath();
        descriptor = current.empty() ? -1 : OpenRegular(current.c_str());
        if (descriptor == -1) return false;
        struct stat info {};
        unsigned char bytes[kHeaderSize];
        if (::fstat(descriptor, &info) == 0 && info.st_size >= static_cast<off_t>(kHeaderSize) &&
            ReadFully(descriptor, bytes, kHeaderSize) == kHeaderSize) {
            sequence_ = GetWord(bytes);
            const std::uint32_t length = GetWord(bytes + 4);
            if (static_cast<std::uint64_t>(info.st_size) - kHeaderSize == length) {
                size = length;
                return true;
            }
        }
        if (attempt == kReadAttempts - 1 || SameFile(info, currentPath())) return false;
        Platform::close(descriptor);
    }
}

bool BackupFile::copyCurrentTo(const std::string& destination) {
    std::uint32_t size = 0;
    int source = -1;
    bool copied = false;
    struct stat from {};
    // Copying onto the file itself (its link or a copy) would truncate what is being read.
    const bool itself =
        destination == path_ || destination == CopyPath(path_, 0) || destination == CopyPath(path_, 1);
    if (!itself && openCurrent(size, source) && ::fstat(source, &from) == 0 && !SameFile(from, destination)) {
        const int fd = Platform::open(destination.c_str(),
                                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, kCopyMode);
        if (fd != -1) {
            try {
                std::vector<char> chunk(std::min<std::size_t>(size, kCopyChunk));
                std::size_t left = size;
                copied = true;
                while (copied && left > 0) {
                    const std::size_t piece = std::min(left, chunk.size());
                    copied = ReadFully(source, chunk.data(), piece) == piece &&
                             Platform::WriteFully(fd, chunk.data(), piece);
                    left -= piece;
                }
            } catch (const std::bad_alloc&) {
                copied = false;
            }
            copied = copied && Platform::fsync(fd) == 0;
            copied = Platform::close(fd) == 0 && copied;
        }
    }
    if (source >= 0) Platform::close(source);
    return copied;
}

std::string BackupFile::nextPath() {
    const int current = choose().index;
    return CopyPath(path_, current == 0 ? 1 : 0);
}

bool BackupFile::write(const Buffer& buffer) {
    if (buffer.length > 0 && !buffer.data) return false;
    const Choice current = choose();
    if (current.reason == Reason::Unreadable) return false;  // the newest copy may be the one unread
    // Keep the current copy; but when the link names a copy that is not complete, keep the one
    // the headers show complete, so that a failure here never leaves no good copy at all.
    int kept = current.index == 0 ? 0 : 1;
    Header keptHeader = ReadHeader(CopyPath(path_, kept));
    if (keptHeader.status == Header::Status::Unreadable) return false;  // its order is unknown
    if (!keptHeader.valid() && current.index >= 0) {
        const Header other = ReadHeader(CopyPath(path_, 1 - kept));
        if (other.valid()) {
            kept = 1 - kept;
            keptHeader = other;
        }
    }
    const int target = 1 - kept;
    const std::string targetPath = CopyPath(path_, target);

    // The new version must count as newer than the copy kept, also for an object that has not
    // read the file (it starts at 1000) or that another object has written to since.
    std::uint32_t sequence = sequence_ + 1;
    if (keptHeader.valid() && !Newer(sequence, keptHeader.sequence)) sequence = keptHeader.sequence + 1;

    // The link keeps naming the copy kept until the new copy is flushed; then a new link replaces
    // it in one step. A crash at any point leaves a link to a complete version, or no link only
    // where there was none before.
    const int fd =
        Platform::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, kCopyMode);
    if (fd == -1) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {  // not a copy: leave it alone
        Platform::close(fd);
        return false;
    }
    unsigned char header[kHeaderSize];
    PutWord(header, sequence);
    PutWord(header + 4, buffer.length);
    bool flushed = Platform::WriteFully(fd, header, kHeaderSize) &&
                   Platform::WriteFully(fd, buffer.data, buffer.length) && Platform::fsync(fd) == 0;
    flushed = Platform::close(fd) == 0 && flushed;
    if (!flushed || replaceLink(target) != 0) {
        Platform::unlink(targetPath.c_str());
        return false;
    }
    if (Platform::SyncDirectory(Utilities::DirName(path_).c_str()) != 0 || choose().index != target) {
        restoreAfterFailedWrite(target, kept, keptHeader.valid());
        return false;
    }
    sequence_ = sequence;
    return true;
}

void BackupFile::restoreAfterFailedWrite(int target, int kept, bool keptValid) const {
    // The link goes back first: until the new copy is removed it must not be found.
    if (keptValid) {
        replaceLink(kept);
    } else {
        Platform::unlink(path_.c_str());
    }
    Platform::unlink(CopyPath(path_, target).c_str());
    Platform::SyncDirectory(Utilities::DirName(path_).c_str());
}

void BackupFile::removeAll() {
    Platform::unlink(path_.c_str());
    Platform::unlink(CopyPath(path_, 0).c_str());
    Platform::unlink(CopyPath(path_, 1).c_str());
    ::sync();
}

}  // namespace CoreSystem
