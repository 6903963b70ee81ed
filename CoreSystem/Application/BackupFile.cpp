// Backup files: the copy headers, the choice of the current copy and the write order that keeps
// the previous version current until the new one is flushed.
#include "CoreSystem/Application/BackupFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "CoreSystem/Platform/File.h"
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

/// Writes all `bytes` bytes, continuing after short writes; false when a write fails or stalls.
bool WriteFully(int fd, const void* buffer, std::size_t bytes) {
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = Platform::write(fd, static_cast<const char*>(buffer) + done, bytes - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path[0] == '/';
}

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
    const int fd = Platform::open(copyPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        header.status = errno == ENOENT ? Header::Status::Missing : Header::Status::Unreadable;
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
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) Platform::unlink(path_.c_str());
    Platform::symlink(linkTarget(index).c_str(), path_.c_str());
}

std::string BackupFile::currentPath() {
    const Choice choice = choose();
    if (choice.reason != Reason::Link && choice.index >= 0) renewLink(choice.index);
    return choice.path;
}

bool BackupFile::openCurrent(std::uint32_t& size, int& descriptor) {
    const std::string current = currentPath();
    descriptor = current.empty() ? -1 : Platform::open(current.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor == -1) return false;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || info.st_size < static_cast<off_t>(kHeaderSize)) return false;
    unsigned char bytes[kHeaderSize];
    if (ReadFully(descriptor, bytes, kHeaderSize) < kHeaderSize) return false;
    sequence_ = GetWord(bytes);
    const std::uint32_t length = GetWord(bytes + 4);
    if (static_cast<std::uint64_t>(info.st_size) - kHeaderSize != length) return false;
    size = length;
    return true;
}

bool BackupFile::copyCurrentTo(const std::string& destination) {
    std::uint32_t size = 0;
    int source = -1;
    bool copied = false;
    if (openCurrent(size, source)) {
        std::vector<char> payload(size);
        if (ReadFully(source, payload.data(), size) == size) {
            const int fd =
                Platform::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCopyMode);
            if (fd != -1) {
                copied = WriteFully(fd, payload.data(), size) && Platform::fsync(fd) == 0;
                copied = Platform::close(fd) == 0 && copied;
            }
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
    const int target = current.index == 0 ? 1 : 0;
    const int kept = 1 - target;
    const std::string targetPath = CopyPath(path_, target);

    // The new version must count as newer than the copy kept, also for an object that has not
    // read the file (it starts at 1000) or that another object has written to since.
    const Header keptHeader = ReadHeader(CopyPath(path_, kept));
    if (keptHeader.status == Header::Status::Unreadable) return false;  // its order is unknown
    std::uint32_t sequence = sequence_ + 1;
    if (keptHeader.valid() && !Newer(sequence, keptHeader.sequence)) sequence = keptHeader.sequence + 1;
    const bool keptIsCurrent = current.index == kept;

    // From here until the link is made again, a crash leaves the choice to the headers.
    Platform::unlink(path_.c_str());
    const int fd = Platform::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCopyMode);
    if (fd == -1) {
        restoreAfterFailedWrite(-1, kept, keptIsCurrent);  // the target was not touched
        return false;
    }
    unsigned char header[kHeaderSize];
    PutWord(header, sequence);
    PutWord(header + 4, buffer.length);
    bool flushed = WriteFully(fd, header, kHeaderSize) && WriteFully(fd, buffer.data, buffer.length) &&
                   Platform::fsync(fd) == 0;
    flushed = Platform::close(fd) == 0 && flushed;
    if (!flushed || Platform::symlink(linkTarget(target).c_str(), path_.c_str()) != 0 ||
        Platform::SyncDirectory(Utilities::DirName(path_).c_str()) != 0) {
        restoreAfterFailedWrite(target, kept, keptIsCurrent);
        return false;
    }
    sequence_ = sequence;
    return true;
}

void BackupFile::restoreAfterFailedWrite(int target, int kept, bool keptWasCurrent) const {
    // The new copy goes first: until the link is back the headers must not find it.
    if (target >= 0) Platform::unlink(CopyPath(path_, target).c_str());
    Platform::unlink(path_.c_str());
    if (keptWasCurrent) Platform::symlink(linkTarget(kept).c_str(), path_.c_str());
    Platform::SyncDirectory(Utilities::DirName(path_).c_str());
}

void BackupFile::removeAll() {
    Platform::unlink(path_.c_str());
    Platform::unlink(CopyPath(path_, 0).c_str());
    Platform::unlink(CopyPath(path_, 1).c_str());
    ::sync();
}

}  // namespace CoreSystem
