// Backup file benchmark: BackupFile::write of 4 KiB next to a plain write + fsync + rename of the
// same bytes, and that plain sequence with the directory flush a durable rename also needs, all in
// the same run and the same directory (TMPDIR, else /tmp).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CoreSystem/Application/BackupFile.h"

namespace {

constexpr std::size_t kPayload = 4096;

/// A private directory for the run, removed at exit.
struct ScratchDirectory {
    ScratchDirectory() {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base && *base ? base : "/tmp") + "/backup-bench-XXXXXX";
        if (!::mkdtemp(path.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

const std::string& BenchDirectory() {
    static const ScratchDirectory directory;
    return directory.path;
}

const std::string& Payload() {
    static const std::string payload = [] {
        std::string bytes(kPayload, '\0');
        for (std::size_t i = 0; i < kPayload; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        return bytes;
    }();
    return payload;
}

void BM_BackupFileWrite(benchmark::State& state) {
    CoreSystem::BackupFile file(BenchDirectory() + "/backup.bin");
    const CoreSystem::BackupFile::Buffer buffer{static_cast<std::uint32_t>(kPayload), Payload().data()};
    for (auto _ : state) {
        if (!file.write(buffer)) {
            state.SkipWithError("BackupFile::write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayload));
    file.removeAll();
}

/// The usual replace-by-rename: write a temporary file, flush it, rename it over the target;
/// with `syncDirectory` the directory is flushed as well, so that the rename itself is durable.
void PlainReplace(benchmark::State& state, bool syncDirectory) {
    const std::string target = BenchDirectory() + (syncDirectory ? "/plain-dir.bin" : "/plain.bin");
    const std::string temporary = target + ".tmp";
    for (auto _ : state) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        bool done = fd != -1 && ::write(fd, Payload().data(), kPayload) == static_cast<ssize_t>(kPayload) &&
                    ::fsync(fd) == 0;
        if (fd != -1) done = ::close(fd) == 0 && done;
        done = done && std::rename(temporary.c_str(), target.c_str()) == 0;
        if (done && syncDirectory) {
            const int dir = ::open(BenchDirectory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            done = dir != -1 && ::fsync(dir) == 0;
            if (dir != -1) ::close(dir);
        }
        if (!done) {
            state.SkipWithError("plain replace failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayload));
    ::unlink(target.c_str());
}

void BM_PlainWriteFsyncRename(benchmark::State& state) {
    PlainReplace(state, false);
}

void BM_PlainWriteFsyncRenameSyncDir(benchmark::State& state) {
    PlainReplace(state, true);
}

BENCHMARK(BM_BackupFileWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainWriteFsyncRename)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainWriteFsyncRenameSyncDir)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
