// Small helpers: zlib stream decompression, argument vectors, hex dumps, elapsed-time printers.
#include "CoreSystem/Utilities/SmallHelpers.h"

#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>

namespace CoreSystem {

namespace {

/// Size of the input buffer and of the output buffer of `inflateStream`.
constexpr unsigned kInflateChunk = 16384;
/// Bytes in one row of a hex dump.
constexpr unsigned kHexDumpRow = 16;

/// Ends a zlib stream whichever way `inflateStream` leaves (including a caller's stream exception).
class InflateGuard {
public:
    explicit InflateGuard(z_stream& stream) : stream_(stream) {}
    ~InflateGuard() { inflateEnd(&stream_); }
    InflateGuard(const InflateGuard&) = delete;
    InflateGuard& operator=(const InflateGuard&) = delete;

private:
    z_stream& stream_;
};

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

int inflateStream(std::istream& in, std::ostream& out) {
    if (!in) return -1;  // nothing can be read from a stream that has already failed

    std::unique_ptr<unsigned char[]> buffers(
        new (std::nothrow) unsigned char[std::size_t{2} * kInflateChunk]);
    if (!buffers) return Z_MEM_ERROR;
    unsigned char* const input = buffers.get();
    unsigned char* const output = buffers.get() + kInflateChunk;

    z_stream stream{};
    stream.zalloc = Z_NULL;
    stream.zfree = Z_NULL;
    stream.opaque = Z_NULL;
    stream.next_in = Z_NULL;
    stream.avail_in = 0;
    int result = inflateInit(&stream);
    if (result != Z_OK) return result;
    InflateGuard guard(stream);

    bool inflated = false;
    for (;;) {
        in.read(reinterpret_cast<char*>(input), kInflateChunk);
        if (in.bad()) return -1;
        const std::streamsize got = in.gcount();
        // End of input: fine before any data, but after data the stream must have ended already.
        if (got <= 0) return inflated ? Z_DATA_ERROR : Z_OK;
        stream.next_in = input;
        stream.avail_in = static_cast<uInt>(got);

        do {
            stream.next_out = output;
            stream.avail_out = kInflateChunk;
            result = inflate(&stream, Z_NO_FLUSH);
            inflated = true;
            switch (result) {
                case Z_NEED_DICT:
                    return Z_DATA_ERROR;
                case Z_DATA_ERROR:
                case Z_MEM_ERROR:
                case Z_STREAM_ERROR:
                    return result;
                default:
                    break;
            }
            const unsigned produced = kInflateChunk - stream.avail_out;
            out.write(reinterpret_cast<const char*>(output), static_cast<std::streamsize>(produced));
            if (out.fail()) return -1;
        } while (stream.avail_out == 0 && result != Z_STREAM_END);

        if (result == Z_STREAM_END) return Z_OK;
    }
}

void buildArgumentVector(char** out, int count, ...) {
    if (count > kMaxArguments) std::cout << "Too many arguments, max is now " << kMaxArguments << std::endl;
    if (out == nullptr) return;
    const int copied = std::clamp(count, 0, kMaxArguments);
    va_list arguments;
    va_start(arguments, count);
    for (int i = 0; i < copied; ++i) out[i] = va_arg(arguments, char*);
    va_end(arguments);
    out[copied] = nullptr;
}

void hexDump(const void* data, unsigned size, const std::string& title) {
    if (!title.empty()) std::cout << title << " (" << size << " bytes)" << std::endl;
    if (size == 0 || data == nullptr) {
        std::fflush(stdout);
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const unsigned width = std::min(size, kHexDumpRow);
    char characters[kHexDumpRow + 1];
    // A 64-bit offset cannot wrap around below `size`.
    for (unsigned long long offset = 0; offset < size; offset += width) {
        std::printf("%04llX    ", offset);
        for (unsigned column = 0; column < width; ++column) {
            if (offset + column < size) {
                const unsigned char byte = bytes[offset + column];
                std::printf("%02x ", byte);
                characters[column] = std::isprint(byte) ? static_cast<char>(byte) : '.';
            } else {
                std::printf("   ");
                characters[column] = ' ';
            }
        }
        characters[width] = '\0';
        std::printf("   %s\n", characters);
    }
    std::fflush(stdout);
}

double printElapsedSeconds(const std::string& label, double since) {
    const timespec clock = MonotonicNow();
    const double now = static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
    std::cout << label << (since > 0 ? now - since : now) << std::endl;
    return now;
}

std::uint64_t printElapsedMilliseconds(const std::string& label, std::uint64_t since) {
    const timespec clock = MonotonicNow();
    const std::uint64_t now = static_cast<std::uint64_t>(clock.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(clock.tv_nsec) / 1000000u;
    std::cout << label << (since != 0 ? now - since : now) << std::endl;
    return now;
}

}  // namespace CoreSystem
