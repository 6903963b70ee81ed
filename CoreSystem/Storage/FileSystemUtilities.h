// File-system and command utilities for the storage tree: removing trees, creating directory
// paths, listing directories by name, starting command lines and capturing a command's output.
#pragma once

#include <string>
#include <vector>

namespace CoreSystem {

/// Removes `path` and everything below it ("rm -rf" through Utilities::System, which logs the
/// command and its status). The path is one argument whatever it contains: quotes, "$",
/// backquotes, blanks or a leading "-" are not interpreted. It ends at its first NUL character.
void RemoveTreeQuoted(const std::string& path);
/// Runs "rm -rf " + `text` with the shell: `text` may name several paths or shell patterns.
/// Only for texts the framework composes itself; never for names from outside.
void RemoveTree(const std::string& text);

/// Creates every missing directory of `path`, which is always taken as absolute ("a/b" makes
/// "/a" and "/a/b"). Existing directories that are not writable get mode 0777 (best effort).
/// False when `path` has no component or a directory cannot be made (those made stay).
bool MakeDirectoryTree(const std::string& path);

/// Names in `directory` (in the file system's order, without "." and "..") that contain
/// `pattern`; an empty pattern takes every name. Empty when the directory cannot be read.
std::vector<std::string> ListDirectory(const std::string& directory, const std::string& pattern);
/// As above, appending to `names` (not cleared first). With `caseSensitive` false the match
/// ignores the case of ASCII letters; names are stored as found.
void ListDirectory(const std::string& directory, std::vector<std::string>& names, const std::string& pattern,
                   bool caseSensitive);

/// Starts the program named by the first blank-separated word of `commandLine` (searched on
/// PATH) with the other words as its arguments. A last word that is exactly "&" is dropped and
/// the program runs detached: the result is its pid. Otherwise the call waits and returns the
/// program's exit status. -1 when there is no program word or it cannot be started. A non-zero
/// `priority` starts the program at that priority; the caller's own is restored afterwards.
/// `commandLine` is split in place: it is left with NUL characters between the words.
int RunCommandLine(std::string& commandLine, int priority);

/// Everything `command` (run by the shell) writes to its standard output, byte for byte; empty
/// when it cannot be started.
std::string CaptureCommandOutput(const std::string& command);

/// Waits up to `timeoutMs` for `descriptor` to become readable (data, end of file or an error
/// to collect): 1 when it does, 0 on time-out, -1 for an invalid descriptor or a failed wait.
/// Any descriptor number and any time-out are accepted; interrupted waits are resumed.
int WaitReadable(int descriptor, unsigned timeoutMs);

}  // namespace CoreSystem
