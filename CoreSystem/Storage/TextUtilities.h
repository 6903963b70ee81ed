// Text utilities offered next to the storage functions: splitting a text at a delimiter, and
// Base64 (standard alphabet, "=" padding, no line breaks) for binary values kept in text.
#pragma once

#include <string>
#include <vector>

namespace CoreSystem {

/// The Base64 alphabet: a character's value is its position here.
inline constexpr const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// Clears `pieces`, then appends the pieces of `text` between delimiters (delimiters are not kept).
/// A delimiter at the very end of the text adds no further piece and an empty text gives none;
/// empty pieces are kept only when `keepEmpty` is true.
void Split(const std::string& text, char delimiter, std::vector<std::string>& pieces, bool keepEmpty);
/// As above, returning the pieces.
std::vector<std::string> Split(const std::string& text, char delimiter, bool keepEmpty);

/// Base64 text of `length` bytes at `bytes`; a null `bytes` is taken as no bytes.
std::string Base64Encode(const unsigned char* bytes, unsigned length);
/// Bytes of the Base64 text at the start of `text`: decoding stops at the first character outside
/// the alphabet ("=" included); a final group of 2 or 3 characters gives 1 or 2 bytes, a single
/// leftover character none. Never fails; reads nothing beyond `text`.
std::string Base64Decode(const std::string& text);

}  // namespace CoreSystem
