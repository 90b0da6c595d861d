// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// UTF-16 (little-endian code units as read from disk) to UTF-8. Unpaired
// surrogates become U+FFFD. Stops at the first NUL code unit.
std::string Utf16ToUtf8(std::u16string_view text);
// Same, from raw little-endian bytes (byteCount / 2 code units).
std::string Utf16LeBytesToUtf8(const uint8_t* bytes, size_t byteCount);

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Copies text into dst (capacity bytes including the terminator), cutting on
// a UTF-8 character boundary so the terminator always fits. Returns the
// number of bytes copied, terminator excluded. capacity 0 copies nothing.
size_t CopyUtf8Truncated(std::string_view text, char* dst, size_t capacity);

// Length of the longest prefix of text, at most maxBytes, that ends on a
// character boundary.
size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t maxBytes);

// Letters A-Z to a-z; other bytes unchanged.
std::string AsciiLower(std::string_view text);
inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace platform
