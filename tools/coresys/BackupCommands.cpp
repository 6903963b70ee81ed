// "coresys backup show PATH": the link of a backup file, the headers of both copies and the copy
// that BackupFile::currentPath would choose, with the reason. Shows without changing anything.
#include "BackupCommands.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Command.h"
#include "CoreSystem/Application/BackupFile.h"

namespace Coresys {
namespace {

using CoreSystem::BackupFile;

/// `text` with backslashes and bytes outside printable ASCII written as escapes ("\\", "\xNN").
std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte > 0x7e) {
            out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        } else {
            out += c;
        }
    }
    return out;
}

std::string LinkLine(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return "missing";
    if (!S_ISLNK(info.st_mode)) {
        return S_ISREG(info.st_mode) ? "none: the path is a regular file" : "none: the path is not a link";
    }
    std::vector<char> text(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    const ssize_t n = ::readlink(path.c_str(), text.data(), text.size() - 1);
    const std::string target =
        n >= 0 ? Printable(std::string(text.data(), static_cast<std::size_t>(n))) : "?";
    struct stat resolved {};
    return "-> " + target + (::stat(path.c_str(), &resolved) == 0 ? "" : " (dangling)");
}

std::string HeaderLine(const BackupFile::Header& h) {
    using Status = BackupFile::Header::Status;
    std::ostringstream line;
    switch (h.status) {
        case Status::Missing:
            return "missing";
        case Status::Unreadable:
            return "cannot be opened";
        case Status::NotAFile:
            return "not a regular file";
        case Status::Short:
            line << "size " << h.size << ": no header (fewer than " << BackupFile::kHeaderSize << " bytes)";
            return line.str();
        case Status::SizeMismatch:
        case Status::Valid:
            break;
    }
    line << "sequence " << h.sequence << ", length " << h.length << ", size " << h.size << ": ";
    if (h.status == Status::Valid) {
        line << "complete";
    } else {
        line << "incomplete (size is not " << BackupFile::kHeaderSize << " + length)";
    }
    return line.str();
}

std::string ReasonText(const BackupFile::Choice& choice, const BackupFile::Header (&h)[2]) {
    using Reason = BackupFile::Reason;
    const int other = 1 - choice.index;
    switch (choice.reason) {
        case Reason::Link:
            return "the link resolves to it";
        case Reason::Newer:
            return "no link; both copies are complete and sequence " +
                   std::to_string(h[choice.index].sequence) + " is newer than " +
                   std::to_string(h[other].sequence);
        case Reason::OnlyValid:
            return "no link; the other copy is incomplete";
        case Reason::OnlyCopy:
            return "no link; it is the only copy";
        case Reason::Equal:
            return "no link; both copies are complete with the same sequence " +
                   std::to_string(h[0].sequence);
        case Reason::NoValidCopy:
            return "no link and no complete copy";
        case Reason::Unreadable:
            return "no link and a copy cannot be opened";
        case Reason::NoCopy:
            return "no link and no copy";
    }
    return "";
}

void Show(const std::string& path) {
    const BackupFile file(path);
    const BackupFile::Header headers[2] = {BackupFile::ReadHeader(BackupFile::CopyPath(path, 0)),
                                           BackupFile::ReadHeader(BackupFile::CopyPath(path, 1))};
    const BackupFile::Choice choice = file.choose();
    std::ostringstream out;
    out << "path: " << Printable(path) << '\n' << "link: " << LinkLine(path) << '\n';
    for (int i = 0; i < 2; ++i) {
        out << "copy " << Printable(BackupFile::CopyPath(path, i)) << ": " << HeaderLine(headers[i]) << '\n';
    }
    out << "current: " << (choice.path.empty() ? std::string("none") : Printable(choice.path)) << " ("
        << ReasonText(choice, headers) << ")\n";
    std::cout << out.str() << std::flush;
    if (choice.path.empty()) Fail(kExitFailure, "no copy of " + Printable(path) + " is current");
}

}  // namespace

void AddBackupCommands(CLI::App& app) {
    CLI::App* backup = app.add_subcommand("backup", "Backup files: the link and the two copies behind it");
    backup->require_subcommand(1);

    auto path = std::make_shared<std::string>();
    CLI::App* show = backup->add_subcommand(
        "show", "Print the link, both copies' headers and the copy that would be chosen as current, and why");
    show->add_option("path", *path, "The backup file's path (the link)")->required();
    show->callback([path] { Show(*path); });
}

}  // namespace Coresys
