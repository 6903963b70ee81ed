// NM benchmark: one-way latency, sustained throughput and the drain of held-back messages between
// two processes, next to futex and Unix-domain-socket round trips measured in the same run.
//
// The program runs in a namespace of its own: it re-executes itself with CORESYSTEM_NAMESPACE set
// (the process-wide client attaches during static initialisation), creates the registry there,
// runs every measurement between two forked children and removes its shared objects at the end.
#include <dirent.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "CoreSystem/NM/NMClient.h"
#include "CoreSystem/NM/Registry.h"
#include "CoreSystem/Platform/Environment.h"
#include "CoreSystem/Platform/Posix.h"

namespace {

/// Set, with the namespace word, by the first incarnation before it re-executes itself.
constexpr const char* kBenchWordVariable = "NM_BENCH_NAMESPACE";
constexpr int kRegistrySlots = 16;
constexpr std::uint32_t kThroughputWindow = 1024;  ///< frames in flight; the receive queue holds 2504
constexpr int kThroughputMessages = 200000;
constexpr int kThroughputSize = 64;
constexpr int kDrainMessages = 2505;  ///< as many as one deferred queue accepts
constexpr int kDrainSize = 64;
constexpr int kManySenders = 4;
constexpr int kDefaultIdleSeconds = 10;
constexpr int kLatencySizes[] = {4, 256, 10240};
constexpr unsigned kChildLimitSeconds = 120;  ///< a child never outlives this (SIGALRM)
constexpr std::uint64_t kPairLimitNs = 90ull * 1000000000ull;
constexpr std::uint64_t kWaitLimitNs = 30ull * 1000000000ull;  ///< longest wait for the peer

std::uint64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

// ---- futex words shared by the parent and its children ----------------------------------------

using Word = std::atomic<std::uint32_t>;
static_assert(sizeof(Word) == 4 && Word::is_always_lock_free, "futex words are plain 32-bit");

void FutexWake(Word& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

/// Waits until the counter `word` reaches `target`. False when the peer took longer than the
/// wait limit.
bool WaitUntil(Word& word, std::uint32_t target) {
    const std::uint64_t deadline = NowNs() + kWaitLimitNs;
    for (std::uint32_t seen = word.load(); seen < target; seen = word.load()) {
        if (NowNs() >= deadline) return false;
        const timespec slice{0, 100000000};
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, seen, &slice, nullptr, 0);
    }
    return true;
}

/// What the parent and its two children share; it lives in an anonymous shared mapping made
/// before the children are forked.
struct Shared {
    Word turn;      ///< ping-pong: odd from the pinger, even from the echo
    Word ready;     ///< 1 once the receiver is published
    Word progress;  ///< frames the receiver has taken
    Word waiting;   ///< 1 while the sender sleeps on `progress`
    Word queued;    ///< drain: 1 once the sender has held everything back
    Word tickets;   ///< throughput: frames the senders have started to send
    std::uint64_t start;
    std::uint64_t end;
    std::uint64_t idleCpuNs[2];  ///< idle cost: the receiver's and the waiting sender's CPU time
    std::uint64_t* samples;  ///< one entry per measured round, in the same mapping

    void reset() {
        turn = ready = progress = waiting = queued = tickets = 0;
        start = end = 0;
        idleCpuNs[0] = idleCpuNs[1] = 0;
    }
    void publishProgress(std::uint32_t count) {
        progress.store(count);
        if (waiting.load()) {
            waiting.store(0);
            FutexWake(progress);
        }
    }
    void announce(Word& word) {
        word.store(1);
        FutexWake(word);
    }
};

Shared* MapShared(int capacity) {
    const std::size_t size = sizeof(Shared) + sizeof(std::uint64_t) * static_cast<std::size_t>(capacity);
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* shared = new (memory) Shared();
    shared->samples = reinterpret_cast<std::uint64_t*>(static_cast<char*>(memory) + sizeof(Shared));
    return shared;
}

// ---- children ---------------------------------------------------------------------------------

std::atomic<bool> gInterrupted{false};

void Interrupt(int) {
    gInterrupted = true;
}

pid_t Fork(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    alarm(kChildLimitSeconds);
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the library's own lines stay out of the results
    int status = 1;
    try {
        status = body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nm_bench: child %d: %s\n", getpid(), e.what());
    }
    std::fflush(nullptr);
    _exit(status);
}

/// Runs each body in a child of its own and reaps them. A child that fails, or the time limit, or
/// an interruption ends the others. True when every child exited with status 0.
bool RunGroup(const char* what, const std::vector<std::function<int()>>& bodies) {
    std::vector<pid_t> pids;
    bool ok = true;
    for (const auto& body : bodies) {
        const pid_t pid = ok ? Fork(body) : -1;
        ok = ok && pid > 0;
        if (pid > 0) pids.push_back(pid);
    }
    const std::uint64_t deadline = NowNs() + kPairLimitNs;
    bool timedOut = false;
    for (;;) {
        bool running = false;
        for (pid_t& pid : pids) {
            if (pid <= 0) continue;
            int status = 0;
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == 0) {
                running = true;
                continue;
            }
            if (done == pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) ok = false;
            pid = -1;
        }
        if (!running) break;
        if (!ok || gInterrupted || NowNs() >= deadline) {
            timedOut = timedOut || NowNs() >= deadline;
            for (pid_t& pid : pids) {
                if (pid <= 0) continue;
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                pid = -1;
            }
            ok = false;
            break;
        }
        usleep(1000);
    }
    if (!ok && !gInterrupted) {
        std::fprintf(stderr, "nm_bench: %s failed%s\n", what, timedOut ? " (time limit)" : "");
    }
    return ok;
}

bool RunPair(const char* what, const std::function<int()>& first, const std::function<int()>& second) {
    return RunGroup(what, {first, second});
}

// ---- statistics -------------------------------------------------------------------------------

struct Spread {
    bool valid = false;
    double medianUs = 0;
    double p99Us = 0;
};

Spread SpreadOf(std::uint64_t* samples, int count) {
    Spread spread;
    if (count <= 0) return spread;
    std::sort(samples, samples + count);
    const auto at = [&](int index) { return static_cast<double>(samples[index]) / 1000.0; };
    spread.valid = true;
    spread.medianUs = at(count / 2);
    spread.p99Us = at(std::min(count - 1, count * 99 / 100));
    return spread;
}

// ---- baselines --------------------------------------------------------------------------------

Spread FutexRoundTrip(Shared& shared, int warmUp, int rounds) {
    shared.reset();
    const auto pinger = [&] {
        for (int i = 0; i < warmUp + rounds; ++i) {
            const auto odd = static_cast<std::uint32_t>(2 * i + 1);
            const std::uint64_t begin = NowNs();
            shared.turn.store(odd);
            FutexWake(shared.turn);
            if (!WaitUntil(shared.turn, odd + 1)) return 1;
            if (i >= warmUp) shared.samples[i - warmUp] = NowNs() - begin;
        }
        return 0;
    };
    const auto echo = [&] {
        for (int i = 0; i < warmUp + rounds; ++i) {
            const auto odd = static_cast<std::uint32_t>(2 * i + 1);
            if (!WaitUntil(shared.turn, odd)) return 1;
            shared.turn.store(odd + 1);
            FutexWake(shared.turn);
        }
        return 0;
    };
    if (!RunPair("futex round trip", pinger, echo)) return {};
    return SpreadOf(shared.samples, rounds);
}

/// The floor of NM's design: a frame wakes a thread of the receiving process, which hands it to
/// the consumer thread. One-way from the sender to the consumer over raw futexes, with nothing
/// else on the way (the consumer's acknowledgement is not counted).
Spread FutexRelayOneWay(Shared& shared, int warmUp, int rounds) {
    shared.reset();
    const int total = warmUp + rounds;
    const auto sender = [&] {
        for (int i = 0; i < total; ++i) {
            shared.start = NowNs();
            shared.turn.store(static_cast<std::uint32_t>(i + 1));
            FutexWake(shared.turn);
            if (!WaitUntil(shared.ready, static_cast<std::uint32_t>(i + 1))) return 1;
        }
        return 0;
    };
    const auto receiver = [&] {
        std::atomic<bool> failed{false};
        std::thread consumer([&] {
            for (int i = 0; i < total && !failed; ++i) {
                if (!WaitUntil(shared.progress, static_cast<std::uint32_t>(i + 1))) failed = true;
                if (i >= warmUp) shared.samples[i - warmUp] = NowNs() - shared.start;
                shared.ready.store(static_cast<std::uint32_t>(i + 1));
                FutexWake(shared.ready);
            }
        });
        for (int i = 0; i < total && !failed; ++i) {
            if (!WaitUntil(shared.turn, static_cast<std::uint32_t>(i + 1))) failed = true;
            shared.progress.store(static_cast<std::uint32_t>(i + 1));
            FutexWake(shared.progress);
        }
        consumer.join();
        return failed ? 1 : 0;
    };
    if (!RunPair("futex relay one-way", sender, receiver)) return {};
    return SpreadOf(shared.samples, rounds);
}

Spread SocketRoundTrip(Shared& shared, int warmUp, int rounds) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) {
        std::perror("nm_bench: socketpair");
        return {};
    }
    const timeval limit{static_cast<time_t>(kWaitLimitNs / 1000000000ull), 0};
    for (int fd : pair) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto pinger = [&] {
        std::uint32_t message = 0;
        for (int i = 0; i < warmUp + rounds; ++i) {
            const std::uint64_t begin = NowNs();
            if (write(pair[0], &message, sizeof message) != sizeof message) return 1;
            if (read(pair[0], &message, sizeof message) != sizeof message) return 1;
            if (i >= warmUp) shared.samples[i - warmUp] = NowNs() - begin;
        }
        return 0;
    };
    const auto echo = [&] {
        std::uint32_t message = 0;
        for (int i = 0; i < warmUp + rounds; ++i) {
            if (read(pair[1], &message, sizeof message) != sizeof message) return 1;
            ++message;
            if (write(pair[1], &message, sizeof message) != sizeof message) return 1;
        }
        return 0;
    };
    const bool ok = RunPair("Unix socket round trip", pinger, echo);
    close(pair[0]);
    close(pair[1]);
    return ok ? SpreadOf(shared.samples, rounds) : Spread{};
}

// ---- NM ---------------------------------------------------------------------------------------

/// Receiver side: a blocking client (the framework's usual mode) published for `endpoint`.
struct Receiver {
    NM::NMClient client{false};
    int channelIndex = -1;

    bool open(const char* endpoint) {
        channelIndex = client.getChannelIndex(endpoint);
        return channelIndex >= 0 && client.openReceiveChannel(channelIndex) == channelIndex;
    }
};

/// One-way latency: the sender writes the low 32 bits of its CLOCK_MONOTONIC nanoseconds into
/// the payload right before send(); the receiver subtracts them from its own clock right after
/// recvMsg() returned (modulo 2^32, so even 4-byte payloads carry it). The receiver then
/// acknowledges through a futex word, so only one message is ever on its way.
Spread OneWayLatency(Shared& shared, int size, int warmUp, int rounds) {
    shared.reset();
    const std::string endpoint = "BenchLatency" + std::to_string(size);
    const int total = warmUp + rounds;
    const auto sender = [&] {
        NM::NMClient client(false);
        const int channelIndex = client.getChannelIndex(endpoint.c_str());
        if (channelIndex < 0 || !WaitUntil(shared.ready, 1)) return 1;
        std::vector<char> payload(static_cast<std::size_t>(size), '\x5a');
        for (int i = 0; i < total; ++i) {
            const auto stamp = static_cast<std::uint32_t>(NowNs());
            std::memcpy(payload.data(), &stamp, sizeof stamp);
            if (client.send(channelIndex, payload.data(), size) != size) return 1;
            if (!WaitUntil(shared.progress, static_cast<std::uint32_t>(i + 1))) return 1;
        }
        return 0;
    };
    const auto receiver = [&] {
        Receiver receiver;
        if (!receiver.open(endpoint.c_str())) return 1;
        shared.announce(shared.ready);
        std::vector<char> buffer(NM::kMaxPayload);
        for (int i = 0; i < total; ++i) {
            int channelIndex = -1;
            const int got = receiver.client.recvMsg(&channelIndex, buffer.data(), NM::kMaxPayload);
            const auto now = static_cast<std::uint32_t>(NowNs());
            if (got != size || channelIndex != receiver.channelIndex) return 1;
            std::uint32_t stamp;
            std::memcpy(&stamp, buffer.data(), sizeof stamp);
            if (i >= warmUp) shared.samples[i - warmUp] = static_cast<std::uint32_t>(now - stamp);
            shared.progress.store(static_cast<std::uint32_t>(i + 1));
            FutexWake(shared.progress);
        }
        return 0;
    };
    const std::string what = "NM one-way latency, " + std::to_string(size) + " bytes";
    if (!RunPair(what.c_str(), sender, receiver)) return {};
    return SpreadOf(shared.samples, rounds);
}

/// Messages per second from `senders` sender processes to one receiving process, from the first
/// send() to the last recvMsg(). Each sender numbers its own frames and the receiver checks their
/// order per sender. The senders keep at most kThroughputWindow frames ahead of the receiver so
/// that the receive queue never overflows (it would drop frames).
double Throughput(Shared& shared, int senders) {
    shared.reset();
    const char* endpoint = "BenchThroughput";
    const std::uint32_t each = kThroughputMessages / static_cast<std::uint32_t>(senders);
    const std::uint32_t total = each * static_cast<std::uint32_t>(senders);
    std::vector<std::function<int()>> bodies;
    for (int id = 0; id < senders; ++id) {
        bodies.push_back([&, id] {
            NM::NMClient client(false);
            const int channelIndex = client.getChannelIndex(endpoint);
            if (channelIndex < 0 || !WaitUntil(shared.ready, 1)) return 1;
            std::vector<char> payload(kThroughputSize, '\x33');
            std::memcpy(payload.data() + 4, &id, sizeof id);
            for (std::uint32_t sent = 0; sent < each; ++sent) {
                const std::uint32_t ticket = shared.tickets.fetch_add(1);
                // Frames of the other senders may have overtaken this ticket: signed distances.
                const auto ahead = [&](std::uint32_t received) {
                    return static_cast<std::int32_t>(ticket - received) >= static_cast<std::int32_t>(kThroughputWindow);
                };
                while (ahead(shared.progress.load())) {
                    shared.waiting.store(1);
                    const std::uint32_t seen = shared.progress.load();
                    if (!ahead(seen)) break;
                    if (!WaitUntil(shared.progress, seen + 1)) {
                    std::fprintf(stderr, "nm_bench: sender %d: the receiver stopped taking frames\n", id);
                    return 1;
                }
                }
                std::memcpy(payload.data(), &sent, sizeof sent);
                if (client.send(channelIndex, payload.data(), kThroughputSize) != kThroughputSize) {
                    std::fprintf(stderr, "nm_bench: sender %d: send %u failed\n", id, sent);
                    return 1;
                }
            }
            if (WaitUntil(shared.progress, total)) return 0;
            std::fprintf(stderr, "nm_bench: sender %d: not everything arrived\n", id);
            return 1;
        });
    }
    bodies.push_back([&] {
        Receiver receiver;
        if (!receiver.open(endpoint)) return 1;
        std::vector<std::uint32_t> next(static_cast<std::size_t>(senders), 0);
        shared.start = NowNs();
        shared.announce(shared.ready);
        std::vector<char> buffer(NM::kMaxPayload);
        for (std::uint32_t i = 0; i < total; ++i) {
            int channelIndex = -1;
            const int got = receiver.client.recvMsg(&channelIndex, buffer.data(), NM::kMaxPayload);
            if (got != kThroughputSize) {
                std::fprintf(stderr, "nm_bench: frame %u: %d bytes received\n", i, got);
                return 1;
            }
            std::uint32_t sequence;
            int id;
            std::memcpy(&sequence, buffer.data(), sizeof sequence);
            std::memcpy(&id, buffer.data() + 4, sizeof id);
            if (id < 0 || id >= senders || sequence != next[static_cast<std::size_t>(id)]++) {
                std::fprintf(stderr, "nm_bench: sender %d's frame %u arrived out of order\n", id, sequence);
                return 1;
            }
            if (i + 1 == total) shared.end = NowNs();
            shared.publishProgress(i + 1);
        }
        return 0;
    });
    const std::string what = "NM throughput, " + std::to_string(senders) + " sender(s)";
    if (!RunGroup(what.c_str(), bodies) || shared.end <= shared.start) return -1;
    return total * 1e9 / static_cast<double>(shared.end - shared.start);
}

/// The drain's baseline: milliseconds from the first send() of kDrainMessages messages to a
/// receiver that already exists to its recvMsg() of the last one.
double DirectTime(Shared& shared) {
    shared.reset();
    const char* endpoint = "BenchDirect";
    const auto sender = [&] {
        NM::NMClient client(false);
        const int channelIndex = client.getChannelIndex(endpoint);
        if (channelIndex < 0 || !WaitUntil(shared.ready, 1)) return 1;
        std::vector<char> payload(kDrainSize, '\x44');
        shared.start = NowNs();
        for (std::uint32_t i = 0; i < kDrainMessages; ++i) {
            std::memcpy(payload.data(), &i, sizeof i);
            if (client.send(channelIndex, payload.data(), kDrainSize) != kDrainSize) return 1;
        }
        return WaitUntil(shared.progress, kDrainMessages) ? 0 : 1;
    };
    const auto receiver = [&] {
        Receiver receiver;
        if (!receiver.open(endpoint)) return 1;
        shared.announce(shared.ready);
        std::vector<char> buffer(NM::kMaxPayload);
        for (std::uint32_t i = 0; i < kDrainMessages; ++i) {
            int channelIndex = -1;
            std::uint32_t sequence = ~0u;
            if (receiver.client.recvMsg(&channelIndex, buffer.data(), NM::kMaxPayload) == kDrainSize) {
                std::memcpy(&sequence, buffer.data(), sizeof sequence);
            }
            if (sequence != i) return 1;
        }
        shared.end = NowNs();
        shared.publishProgress(kDrainMessages);
        return 0;
    };
    if (!RunPair("NM direct sending", sender, receiver) || shared.end <= shared.start) return -1;
    return static_cast<double>(shared.end - shared.start) / 1e6;
}

std::uint64_t ProcessCpuNs() {
    timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<std::uint64_t>(used.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(used.tv_nsec);
}

/// CPU time, over `seconds` of wall time, of a receiving process blocked in recvMsg() with nothing
/// to receive and of a sender whose message waits for a receiver that never comes.
bool IdleCost(Shared& shared, int seconds) {
    shared.reset();
    const auto idle = [&](int which, const std::function<bool(NM::NMClient&)>& setUp) {
        // Never destroyed: the consumer stays blocked in it until the child exits.
        auto* client = new NM::NMClient(false);
        if (!setUp(*client)) return 1;
        const std::uint64_t before = ProcessCpuNs();
        std::thread consumer([client] {
            int channelIndex;
            char byte;
            client->recvMsg(&channelIndex, &byte, 1);
        });
        consumer.detach();
        sleep(static_cast<unsigned>(seconds));
        shared.idleCpuNs[which] = ProcessCpuNs() - before;
        return 0;
    };
    const auto receiver = [&] {
        return idle(0, [](NM::NMClient& client) {
            const int channelIndex = client.getChannelIndex("BenchIdle");
            return channelIndex >= 0 && client.openReceiveChannel(channelIndex) == channelIndex;
        });
    };
    const auto sender = [&] {
        return idle(1, [](NM::NMClient& client) {
            const char byte = 1;
            const int channelIndex = client.getChannelIndex("BenchNobody");
            return channelIndex >= 0 && client.send(channelIndex, &byte, 1) == 1 && client.heldBack(channelIndex) == 1;
        });
    };
    return RunPair("idle cost", receiver, sender);
}

/// Milliseconds from the receiver's openReceiveChannel() to its recvMsg() of the last of
/// kDrainMessages messages that the sender had held back for the endpoint before.
double DrainTime(Shared& shared) {
    shared.reset();
    const char* endpoint = "BenchDrain";
    const auto sender = [&] {
        NM::NMClient client(false);
        const int channelIndex = client.getChannelIndex(endpoint);
        if (channelIndex < 0) return 1;
        std::vector<char> payload(kDrainSize, '\x44');
        for (std::uint32_t i = 0; i < kDrainMessages; ++i) {
            std::memcpy(payload.data(), &i, sizeof i);
            if (client.send(channelIndex, payload.data(), kDrainSize) != kDrainSize) {
                std::fprintf(stderr, "nm_bench: message %u of %d not held back\n", i + 1, kDrainMessages);
                return 1;
            }
        }
        shared.announce(shared.queued);
        // The client must live until everything is delivered: its destructor discards the rest.
        return WaitUntil(shared.progress, kDrainMessages) ? 0 : 1;
    };
    const auto receiver = [&] {
        if (!WaitUntil(shared.queued, 1)) return 1;
        Receiver receiver;
        shared.start = NowNs();
        if (!receiver.open(endpoint)) return 1;
        std::vector<char> buffer(NM::kMaxPayload);
        for (std::uint32_t i = 0; i < kDrainMessages; ++i) {
            int channelIndex = -1;
            if (receiver.client.recvMsg(&channelIndex, buffer.data(), NM::kMaxPayload) != kDrainSize) {
                return 1;
            }
            std::uint32_t sequence;
            std::memcpy(&sequence, buffer.data(), sizeof sequence);
            if (sequence != i) {
                std::fprintf(stderr, "nm_bench: drain delivered %u where %u was due\n", sequence, i);
                return 1;
            }
        }
        shared.end = NowNs();
        shared.publishProgress(kDrainMessages);
        return 0;
    };
    if (!RunPair("NM drain", sender, receiver) || shared.end <= shared.start) return -1;
    return static_cast<double>(shared.end - shared.start) / 1e6;
}

// ---- set-up and clean-up ----------------------------------------------------------------------

/// Re-executes the program inside a namespace and host root of its own, unless this is already
/// that incarnation. Returns only in the namespaced incarnation (or on failure, with false).
bool EnterOwnNamespace(char** argv) {
    const char* word = std::getenv(kBenchWordVariable);
    if (word && CoreSystem::Platform::NamespaceWord() == word) return true;
    const std::string fresh =
        "nmbench-" + std::to_string(getpid()) + "-" + std::to_string(NowNs() % 1000000007ull);
    char root[] = "/tmp/nmbench-XXXXXX";
    if (!mkdtemp(root)) {
        std::perror("nm_bench: mkdtemp");
        return false;
    }
    setenv(CoreSystem::Platform::kNamespaceVariable, fresh.c_str(), 1);
    setenv(CoreSystem::Platform::kRootVariable, root, 1);
    setenv(kBenchWordVariable, fresh.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("nm_bench: re-executing itself");
    rmdir(root);
    return false;
}

/// Removes what this run created: the registry, every other shared object and named semaphore
/// of the namespace (on this host: /dev/shm/<word>.* and sem.<word>.*) and the host root.
void CleanUp() {
    CoreSystem::Platform::shm_unlink(NM::kRegistryName);
    const std::string word = CoreSystem::Platform::NamespaceWord();
    if (DIR* dir = opendir("/dev/shm")) {
        const std::string prefix = word + ".";
        const std::string semaphorePrefix = "sem." + word + ".";
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind(prefix, 0) == 0 || name.rfind(semaphorePrefix, 0) == 0) {
                unlink(("/dev/shm/" + name).c_str());
            }
        }
        closedir(dir);
    }
    if (const char* root = std::getenv(CoreSystem::Platform::kRootVariable)) {
        std::error_code ignored;
        if (std::string(root).rfind("/tmp/nmbench-", 0) == 0) std::filesystem::remove_all(root, ignored);
    }
}

// ---- report -----------------------------------------------------------------------------------

struct Results {
    int rounds = 0;
    int warmUp = 0;
    Spread futex;
    Spread socket;
    Spread relay;
    Spread oneWay[std::size(kLatencySizes)];
    int idleSeconds = 0;
    double throughput = -1;
    double throughputMany = -1;
    double drainMs = -1;
    double directMs = -1;
    bool idleValid = false;
    double idleReceiverCpuMs = 0;
    double idleSenderCpuMs = 0;

    /// Rate over the rate of Unix-socket round trips of the same run.
    double rateRatio(double rate) const {
        return rate > 0 && socket.valid ? rate * socket.medianUs / 1e6 : -1;
    }
    double drainRatio() const { return drainMs >= 0 && directMs > 0 ? drainMs / directMs : -1; }
};

std::string JsonNumber(double value, bool valid) {
    if (!valid) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string JsonSpread(const Spread& spread) {
    if (!spread.valid) return "null";
    return "{\"median\":" + JsonNumber(spread.medianUs, true) + ",\"p99\":" + JsonNumber(spread.p99Us, true) +
           "}";
}

/// NM one-way figure `field` (median or p99) of each size over the same figure of `base`.
std::string JsonRatios(const Results& results, const Spread& base, double Spread::*field = &Spread::medianUs) {
    std::string text = "{";
    for (std::size_t i = 0; i < std::size(kLatencySizes); ++i) {
        const Spread& nm = results.oneWay[i];
        const bool valid = nm.valid && base.valid && base.*field > 0;
        text += (i ? ",\"" : "\"") + std::to_string(kLatencySizes[i]) +
                "\":" + JsonNumber(valid ? nm.*field / base.*field : 0, valid);
    }
    return text + "}";
}

std::string Json(const Results& r) {
    std::string oneWay = "{";
    for (std::size_t i = 0; i < std::size(kLatencySizes); ++i) {
        oneWay += (i ? ",\"" : "\"") + std::to_string(kLatencySizes[i]) + "\":" + JsonSpread(r.oneWay[i]);
    }
    oneWay += "}";
    return "{\"rounds\":" + std::to_string(r.rounds) + ",\"warm_up\":" + std::to_string(r.warmUp) +
           ",\"futex_round_trip_us\":" + JsonSpread(r.futex) +
           ",\"uds_round_trip_us\":" + JsonSpread(r.socket) +
           ",\"futex_relay_one_way_us\":" + JsonSpread(r.relay) + ",\"nm_one_way_us\":" + oneWay +
           ",\"nm_throughput_msgs_per_s\":" + JsonNumber(r.throughput, r.throughput > 0) +
           ",\"nm_throughput_message_bytes\":" + std::to_string(kThroughputSize) +
           ",\"nm_drain_messages\":" + std::to_string(kDrainMessages) +
           ",\"nm_throughput_4_senders_msgs_per_s\":" + JsonNumber(r.throughputMany, r.throughputMany > 0) +
           ",\"ratio_nm_throughput_to_uds_round_trip_rate\":" +
           JsonNumber(r.rateRatio(r.throughput), r.rateRatio(r.throughput) >= 0) +
           ",\"ratio_nm_throughput_4_senders_to_uds_round_trip_rate\":" +
           JsonNumber(r.rateRatio(r.throughputMany), r.rateRatio(r.throughputMany) >= 0) +
           ",\"nm_drain_ms\":" + JsonNumber(r.drainMs, r.drainMs >= 0) +
           ",\"nm_direct_ms\":" + JsonNumber(r.directMs, r.directMs >= 0) +
           ",\"ratio_nm_drain_to_direct\":" + JsonNumber(r.drainRatio(), r.drainRatio() >= 0) +
           ",\"idle_seconds\":" + std::to_string(r.idleSeconds) +
           ",\"idle_receiver_cpu_ms\":" + JsonNumber(r.idleReceiverCpuMs, r.idleValid) +
           ",\"idle_sender_cpu_ms\":" + JsonNumber(r.idleSenderCpuMs, r.idleValid) +
           ",\"ratio_nm_one_way_p99_to_futex_round_trip_p99\":" + JsonRatios(r, r.futex, &Spread::p99Us) +
           ",\"ratio_nm_one_way_to_futex_round_trip\":" + JsonRatios(r, r.futex) +
           ",\"ratio_nm_one_way_to_uds_round_trip\":" + JsonRatios(r, r.socket) +
           ",\"ratio_nm_one_way_to_futex_relay\":" + JsonRatios(r, r.relay) + "}";
}

void PrintSpread(const char* label, const Spread& spread) {
    if (spread.valid) {
        std::printf("%-36s %10.2f us %10.2f us\n", label, spread.medianUs, spread.p99Us);
    } else {
        std::printf("%-36s %13s\n", label, "failed");
    }
}

void PrintTable(const Results& r) {
    std::printf("NM benchmark: %d rounds after %d warm-up rounds, namespace %s\n\n", r.rounds, r.warmUp,
                CoreSystem::Platform::NamespaceWord().c_str());
    std::printf("%-36s %13s %13s\n", "", "median", "p99");
    PrintSpread("futex round trip (baseline)", r.futex);
    PrintSpread("Unix socket round trip (baseline)", r.socket);
    PrintSpread("futex relay one-way, 3 threads", r.relay);
    for (std::size_t i = 0; i < std::size(kLatencySizes); ++i) {
        const std::string label = "NM one-way, " + std::to_string(kLatencySizes[i]) + " bytes";
        PrintSpread(label.c_str(), r.oneWay[i]);
    }
    std::printf("\n");
    const auto rate = [&](const char* label, double value) {
        if (value > 0) {
            std::printf("%-36s %10.0f messages/s  (%.2fx the Unix socket round-trip rate)\n", label, value,
                        r.rateRatio(value));
        } else {
            std::printf("%-36s %13s\n", label, "failed");
        }
    };
    const auto time = [&](const std::string& label, double ms) {
        if (ms >= 0) {
            std::printf("%-36s %10.2f ms\n", label.c_str(), ms);
        } else {
            std::printf("%-36s %13s\n", label.c_str(), "failed");
        }
    };
    rate(("NM throughput, " + std::to_string(kThroughputSize) + "-byte").c_str(), r.throughput);
    rate(("  from " + std::to_string(kManySenders) + " sender processes").c_str(), r.throughputMany);
    time("NM drain of " + std::to_string(kDrainMessages) + " held back", r.drainMs);
    time("  sent to a receiver that exists", r.directMs);
    if (r.drainRatio() >= 0) std::printf("  drain / direct %6.2f\n", r.drainRatio());
    if (r.idleValid) {
        std::printf("CPU time over %d s idle: receiver %.3f ms, sender waiting for a receiver %.3f ms\n",
                    r.idleSeconds, r.idleReceiverCpuMs, r.idleSenderCpuMs);
    } else if (r.idleSeconds > 0) {
        std::printf("idle cost: failed\n");
    }
    std::printf("\nNM one-way median / baseline round-trip median:\n");
    for (std::size_t i = 0; i < std::size(kLatencySizes); ++i) {
        const Spread& nm = r.oneWay[i];
        std::printf("  %5d bytes:", kLatencySizes[i]);
        const auto ratio = [&](const char* name, const Spread& base) {
            if (nm.valid && base.valid && base.medianUs > 0) {
                std::printf("  / %s %6.2f", name, nm.medianUs / base.medianUs);
            } else {
                std::printf("  / %s    n/a", name);
            }
        };
        ratio("futex", r.futex);
        ratio("relay", r.relay);
        ratio("socket", r.socket);
        if (nm.valid && r.futex.valid && r.futex.p99Us > 0) {
            std::printf("  p99 / futex p99 %6.2f", nm.p99Us / r.futex.p99Us);
        }
        std::printf("\n");
    }
    std::printf("\n");
}

void Usage() {
    std::printf(
        "usage: nm_bench [--json] [--rounds N] [--idle-seconds S]\n"
        "  --json            print only one JSON line\n"
        "  --rounds N        measured round trips and one-way messages per case (default 20000)\n"
        "  --idle-seconds S  how long the idle receiver and sender are watched (default 10, 0: not)\n");
}

/// Reads a whole number from `low` to `high` into `into`; says what it takes otherwise.
bool ParseCount(const char* text, long low, long high, const char* option, int& into) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "nm_bench: %s takes %ld to %ld\n", option, low, high);
        return false;
    }
    into = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    int rounds = 20000;
    int idleSeconds = kDefaultIdleSeconds;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--rounds" && i + 1 < argc) {
            if (!ParseCount(argv[++i], 1, 10000000, "--rounds", rounds)) return 2;
        } else if (argument == "--idle-seconds" && i + 1 < argc) {
            if (!ParseCount(argv[++i], 0, 60, "--idle-seconds", idleSeconds)) return 2;
        } else if (argument == "--help" || argument == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "nm_bench: unknown argument '%s'\n", argument.c_str());
            Usage();
            return 2;
        }
    }
    if (!EnterOwnNamespace(argv)) return 1;

    struct sigaction action {};
    action.sa_handler = Interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Results results;
    results.rounds = rounds;
    results.idleSeconds = idleSeconds;
    results.warmUp = std::min(2000, std::max(100, rounds / 10));
    Shared* shared = MapShared(std::max(rounds, 1));
    if (!shared || !NM::createRegistry(kRegistrySlots)) {
        std::fprintf(stderr, "nm_bench: cannot set up the shared memory or the registry\n");
        CleanUp();
        return 1;
    }

    const auto step = [&](const char* what) {
        if (!json) std::fprintf(stderr, "nm_bench: %s ...\n", what);
        return !gInterrupted;
    };
    if (step("futex round trip")) results.futex = FutexRoundTrip(*shared, results.warmUp, rounds);
    if (step("Unix socket round trip")) results.socket = SocketRoundTrip(*shared, results.warmUp, rounds);
    if (step("futex relay one-way")) results.relay = FutexRelayOneWay(*shared, results.warmUp, rounds);
    for (std::size_t i = 0; i < std::size(kLatencySizes); ++i) {
        const std::string what = "NM one-way latency, " + std::to_string(kLatencySizes[i]) + " bytes";
        if (step(what.c_str())) {
            results.oneWay[i] = OneWayLatency(*shared, kLatencySizes[i], results.warmUp, rounds);
        }
    }
    if (step("NM throughput")) results.throughput = Throughput(*shared, 1);
    const std::string many = "NM throughput, " + std::to_string(kManySenders) + " senders";
    if (step(many.c_str())) results.throughputMany = Throughput(*shared, kManySenders);
    if (step("NM direct sending")) results.directMs = DirectTime(*shared);
    if (step("NM drain")) results.drainMs = DrainTime(*shared);
    if (idleSeconds > 0 && step("idle cost")) {
        results.idleValid = IdleCost(*shared, idleSeconds);
        results.idleReceiverCpuMs = static_cast<double>(shared->idleCpuNs[0]) / 1e6;
        results.idleSenderCpuMs = static_cast<double>(shared->idleCpuNs[1]) / 1e6;
    }
    CleanUp();
    if (gInterrupted) {
        std::fprintf(stderr, "nm_bench: interrupted\n");
        return 130;
    }

    if (!json) PrintTable(results);
    std::printf("%s\n", Json(results).c_str());
    bool complete = results.futex.valid && results.socket.valid && results.relay.valid &&
                    results.throughput > 0 && results.throughputMany > 0 && results.drainMs >= 0 &&
                    results.directMs >= 0 && (idleSeconds == 0 || results.idleValid);
    for (const Spread& spread : results.oneWay) complete = complete && spread.valid;
    return complete ? 0 : 1;
}
