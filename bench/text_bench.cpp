// Text and stream helpers benchmark: inflateStream next to a plain zlib inflate loop with the same
// 16384-byte buffers over the same data, and Base64 next to OpenSSL's EVP_EncodeBlock and
// EVP_DecodeBlock (when OpenSSL is found at configure time), all measured in the same run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "CoreSystem/Storage/TextUtilities.h"
#include "CoreSystem/Utilities/SmallHelpers.h"

#if CORESYSTEM_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr unsigned kChunk = 16384;  ///< inflateStream's input and output buffer size
constexpr std::size_t kInflatePlainSize = 8u << 20;

/// Deterministic test data. kind 0: text-like records (compresses about 4:1); kind 1: half
/// random bytes, half records (compresses little).
std::string MakePlain(int kind, std::size_t size) {
    static const char* const kWords[] = {"conf",    "list",   "variable", "event",   "screen",  "timer",
                                         "storage", "backup", "registry", "channel", "culture", "value"};
    std::string plain;
    plain.reserve(size + 64);
    std::uint32_t state = 2463534242u;
    while (plain.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        if (kind == 1 && (state & 1)) {
            for (int i = 0; i < 16; ++i) plain.push_back(static_cast<char>(state >> ((i % 4) * 8) ^ i * 37));
            continue;
        }
        plain += kWords[state % 12];
        plain += ' ';
        plain += std::to_string(state % 10000);
        plain += (state & 0x100) ? '\n' : ';';
    }
    plain.resize(size);
    return plain;
}

std::string Compress(const std::string& plain) {
    uLongf size = compressBound(plain.size());
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
                  reinterpret_cast<const Bytef*>(plain.data()), plain.size(),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    packed.resize(size);
    return packed;
}

struct InflateData {
    std::string plain;
    std::string packed;
};

const InflateData& DataFor(int kind) {
    static InflateData sets[2];
    InflateData& data = sets[kind];
    if (data.plain.empty()) {
        data.plain = MakePlain(kind, kInflatePlainSize);
        data.packed = Compress(data.plain);
    }
    return data;
}

/// Reads straight from a block of memory (no copy of the data into the stream).
class MemoryInput : public std::streambuf {
public:
    MemoryInput(const char* data, std::size_t size) {
        char* begin = const_cast<char*>(data);
        setg(begin, begin, begin + size);
    }
};

/// Writes into a preallocated block of memory, as a file write would copy out of the caller's buffer.
class MemoryOutput : public std::streambuf {
public:
    explicit MemoryOutput(std::vector<char>& target) : target_(target) {}
    std::size_t written() const { return used_; }

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        if (used_ + static_cast<std::size_t>(count) > target_.size()) return 0;
        std::memcpy(target_.data() + used_, data, static_cast<std::size_t>(count));
        used_ += static_cast<std::size_t>(count);
        return count;
    }
    int_type overflow(int_type c) override { return traits_type::eof() == c ? 0 : traits_type::eof(); }

private:
    std::vector<char>& target_;
    std::size_t used_ = 0;
};

void BM_InflateStream(benchmark::State& state) {
    const InflateData& data = DataFor(static_cast<int>(state.range(0)));
    std::vector<char> sink(data.plain.size());
    for (auto _ : state) {
        MemoryInput input(data.packed.data(), data.packed.size());
        MemoryOutput output(sink);
        std::istream in(&input);
        std::ostream out(&output);
        if (CoreSystem::inflateStream(in, out) != Z_OK || output.written() != data.plain.size()) {
            state.SkipWithError("inflateStream failed");
            break;
        }
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.plain.size()));
    state.counters["ratio"] =
        static_cast<double>(data.plain.size()) / static_cast<double>(data.packed.size());
}

/// The plain zlib loop: the same data flow as inflateStream (16384 bytes copied in from the source,
/// inflate into a 16384-byte buffer, the produced bytes copied out to the sink), without streams.
void BM_ZlibInflateLoop(benchmark::State& state) {
    const InflateData& data = DataFor(static_cast<int>(state.range(0)));
    std::vector<char> sink(data.plain.size());
    std::vector<unsigned char> input(kChunk), output(kChunk);
    for (auto _ : state) {
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) {
            state.SkipWithError("inflateInit failed");
            break;
        }
        std::size_t readAt = 0, written = 0;
        int result = Z_OK;
        while (result != Z_STREAM_END && readAt < data.packed.size()) {
            const std::size_t got = std::min<std::size_t>(kChunk, data.packed.size() - readAt);
            std::memcpy(input.data(), data.packed.data() + readAt, got);
            readAt += got;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(got);
            do {
                stream.next_out = output.data();
                stream.avail_out = kChunk;
                result = inflate(&stream, Z_NO_FLUSH);
                if (result == Z_DATA_ERROR || result == Z_MEM_ERROR || result == Z_NEED_DICT) break;
                const std::size_t produced = kChunk - stream.avail_out;
                std::memcpy(sink.data() + written, output.data(), produced);
                written += produced;
            } while (stream.avail_out == 0 && result != Z_STREAM_END);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) break;
        }
        inflateEnd(&stream);
        if (result != Z_STREAM_END || written != data.plain.size()) {
            state.SkipWithError("zlib inflate loop failed");
            break;
        }
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.plain.size()));
}

std::string RandomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& c : bytes) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        c = static_cast<char>(state >> 56);
    }
    return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string text = CoreSystem::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                    static_cast<unsigned>(bytes.size()));
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    const std::string text = CoreSystem::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                      static_cast<unsigned>(bytes.size()));
    if (CoreSystem::Base64Decode(text) != bytes) state.SkipWithError("Base64 round trip failed");
    for (auto _ : state) {
        std::string decoded = CoreSystem::Base64Decode(text);
        benchmark::DoNotOptimize(decoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

#if CORESYSTEM_BENCH_OPENSSL
// The baselines write into buffers allocated once outside the timed loop (ours returns a new string
// each call, allocation included).
void BM_EvpEncodeBlock(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) {
        const int length = EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                           static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_EvpDecodeBlock(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    const std::string text = CoreSystem::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                      static_cast<unsigned>(bytes.size()));
    std::vector<unsigned char> decoded(text.size() / 4 * 3 + 3);
    for (auto _ : state) {
        const int length =
            EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(decoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The same calls giving what ours gives: a new string per call, allocated to the result's size.
void BM_EvpEncodeBlockToString(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                           reinterpret_cast<const unsigned char*>(bytes.data()),
                                           static_cast<int>(bytes.size()));
        text.resize(static_cast<std::size_t>(length));
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_EvpDecodeBlockToString(benchmark::State& state) {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    const std::string text = CoreSystem::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                      static_cast<unsigned>(bytes.size()));
    for (auto _ : state) {
        std::string decoded(text.size() / 4 * 3 + 3, '\0');
        const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                           reinterpret_cast<const unsigned char*>(text.data()),
                                           static_cast<int>(text.size()));
        decoded.resize(static_cast<std::size_t>(length));
        benchmark::DoNotOptimize(decoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
#endif

// Sizes are multiples of 3, so the EVP baselines decode no padding.
#define BASE64_SIZES Arg(48)->Arg(3072)->Arg(3145728)

BENCHMARK(BM_InflateStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflateLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Encode)->BASE64_SIZES;
BENCHMARK(BM_Base64Decode)->BASE64_SIZES;
#if CORESYSTEM_BENCH_OPENSSL
BENCHMARK(BM_EvpEncodeBlock)->BASE64_SIZES;
BENCHMARK(BM_EvpDecodeBlock)->BASE64_SIZES;
BENCHMARK(BM_EvpEncodeBlockToString)->BASE64_SIZES;
BENCHMARK(BM_EvpDecodeBlockToString)->BASE64_SIZES;
#endif

}  // namespace

BENCHMARK_MAIN();
