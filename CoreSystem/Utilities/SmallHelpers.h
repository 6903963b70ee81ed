// Small free-standing helpers: zlib stream decompression, NULL-terminated argument vectors, hex
// dumps and elapsed-time printers on the monotonic clock. None keeps state between calls.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace CoreSystem {

/// Most arguments `buildArgumentVector` copies; its output array holds one more (the null pointer).
inline constexpr int kMaxArguments = 10;

/// Decompresses one zlib-format stream (not raw deflate, not gzip) from `in` to `out`, reading and
/// writing in 16384-byte pieces. Returns 0 when the stream ended (anything after it is not read)
/// or when `in` holds no data at all; -1 when `in` is unusable on entry or goes bad while reading,
/// or when writing to `out` fails; Z_DATA_ERROR (-3) for corrupt input, input that needs a preset
/// dictionary, or input that ends before the stream does; any other negative zlib code as zlib
/// reports it. Bytes already written to `out` stay there when it fails.
int inflateStream(std::istream& in, std::ostream& out);

/// Stores the first min(count, kMaxArguments) of the `count` char* arguments in out[0] onward and
/// a null pointer after them (`out` must hold kMaxArguments + 1 pointers). More than
/// kMaxArguments prints "Too many arguments, max is now 10" on standard output. A negative count
/// stores only the null pointer. The strings are not copied.
void buildArgumentVector(char** out, int count, ...);

/// Prints `size` bytes at `data` on standard output, 16 to a row: the offset, each byte in hex and
/// the printable characters ('.' for others). A non-empty `title` is printed first, as
/// "<title> (<size> bytes)". A null `data` prints the title line only.
void hexDump(const void* data, unsigned size, const std::string& title);

/// Prints `label` followed by the monotonic seconds since `since` (or, when `since` is not above
/// 0, the monotonic time itself) and a newline. Returns the monotonic time in seconds.
double printElapsedSeconds(const std::string& label, double since);

/// Prints `label` followed by the monotonic milliseconds since `since` (or, when `since` is 0,
/// the monotonic time itself) and a newline. Returns the monotonic time in milliseconds.
std::uint64_t printElapsedMilliseconds(const std::string& label, std::uint64_t since);

}  // namespace CoreSystem
