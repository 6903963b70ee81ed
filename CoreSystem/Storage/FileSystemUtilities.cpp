// File-system and command utilities: tree removal and creation, directory listing, command lines
// started as child processes, command output capture and readiness waits.
#include "CoreSystem/Storage/FileSystemUtilities.h"

#include "CoreSystem/Platform/Process.h"
#include "CoreSystem/Storage/TextUtilities.h"
#include "CoreSystem/Utilities/Utilities.h"

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace CoreSystem {

namespace {

/// Bound on retries of a read interrupted by a signal.
constexpr int kEintrRetries = 16;

/// `text` (up to its first NUL) as one single-quoted shell word: inside single quotes nothing
/// is special, and a quote in the text is written as '\'' (end quote, escaped quote, reopen).
std::string ShellWord(const std::string& text) {
    const std::string plain(text.c_str());
    std::string word("'");
    for (char c : plain) {
        if (c == '\'') {
            word += "'\\''";
        } else {
            word += c;
        }
    }
    word += '\'';
    return word;
}

std::string Lowered(const char* text) {
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

}  // namespace

void RemoveTreeQuoted(const std::string& path) {
    // "--" ends rm's options, so a path beginning with "-" is still a path.
    (void)Utilities::System("rm -rf -- " + ShellWord(path));
}

void RemoveTree(const std::string& text) {
    (void)Utilities::System("rm -rf " + text);
}

bool MakeDirectoryTree(const std::string& path) {
    const std::vector<std::string> components = Split(path, '/', false);
    if (components.empty()) return false;
    std::string prefix;
    for (const std::string& component : components) {
        prefix += '/';
        prefix += component;
        struct stat info;
        if (::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            if (!Utilities::IsAccessible(prefix, 1)) (void)Utilities::ChangeMode(prefix, "777");
            continue;
        }
        if (::mkdir(prefix.c_str(), 0777) != 0) {
            // Made by someone else in the meantime: as good as made here.
            if (errno != EEXIST || !Utilities::IsDirectory(prefix)) return false;
        }
    }
    return true;
}

void ListDirectory(const std::string& directory, std::vector<std::string>& names, const std::string& pattern,
                   bool caseSensitive) {
    std::string dir(directory);  // some platforms declare the directory argument non-const
    dirent** entries = nullptr;
    const int count = ::scandir(&dir[0], &entries, nullptr, nullptr);
    if (count < 0) return;
    const std::string wanted = caseSensitive ? pattern : Lowered(pattern.c_str());
    for (int i = 0; i < count; ++i) {
        const char* name = entries[i]->d_name;
        const bool special = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
        const bool matches = caseSensitive ? std::strstr(name, wanted.c_str()) != nullptr
                                           : std::strstr(Lowered(name).c_str(), wanted.c_str()) != nullptr;
        if (!special && matches) names.emplace_back(name);
        std::free(entries[i]);
    }
    std::free(entries);
}

std::vector<std::string> ListDirectory(const std::string& directory, const std::string& pattern) {
    std::vector<std::string> names;
    ListDirectory(directory, names, pattern, true);
    return names;
}

int RunCommandLine(std::string& commandLine, int priority) {
    std::vector<std::string> words;
    char* position = nullptr;
    for (char* word = ::strtok_r(commandLine.data(), " ", &position); word != nullptr;
         word = ::strtok_r(nullptr, " ", &position)) {
        words.emplace_back(word);
    }
    int mode = P_WAIT;
    if (!words.empty() && words.back() == "&") {
        words.pop_back();
        mode = P_NOWAITO;
    }
    if (words.empty()) return -1;  // nothing to start

    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    if (priority == 0) return Platform::spawnvp(mode, argv[0], argv.data());
    // The child inherits the calling thread's priority at the spawn.
    const int saved = Platform::getprio(0);
    (void)Platform::setprio(0, priority);
    const int result = Platform::spawnvp(mode, argv[0], argv.data());
    if (saved != -1) (void)Platform::setprio(0, saved);
    return result;
}

std::string CaptureCommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[256];
    int retries = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe);
        output.append(buffer, got);
        if (got == sizeof buffer) continue;
        if (std::ferror(pipe) && errno == EINTR && ++retries < kEintrRetries) {
            std::clearerr(pipe);
            continue;
        }
        break;
    }
    ::pclose(pipe);
    return output;
}

int WaitReadable(int descriptor, unsigned timeoutMs) {
    using Clock = std::chrono::steady_clock;
    if (descriptor < 0) return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int wait = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
        pollfd entry{descriptor, POLLIN, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) return -1;
            return (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 1 : -1;
        }
        if (ready < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return 0;
    }
}

}  // namespace CoreSystem
