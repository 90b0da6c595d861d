// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/byte_search.h"

#include <cstring>

namespace engine::signatures {

const uint8_t* ForwardSearch(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength) {
  if (haystack == nullptr || pattern == nullptr || patternLength == 0 || patternLength > length) return nullptr;
  const auto* needle = static_cast<const uint8_t*>(pattern);
  const uint8_t first = needle[0];
  const uint8_t* cursor = haystack;
  const uint8_t* const lastStart = haystack + (length - patternLength);
  while (cursor <= lastStart) {
    const void* found = std::memchr(cursor, first, static_cast<size_t>(lastStart - cursor) + 1);
    if (found == nullptr) return nullptr;
    const auto* candidate = static_cast<const uint8_t*>(found);
    if (std::memcmp(candidate + 1, needle + 1, patternLength - 1) == 0) return candidate;
    cursor = candidate + 1;
  }
  return nullptr;
}

const uint8_t* BackwardSearch(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength) {
  if (haystack == nullptr || pattern == nullptr || patternLength == 0 || patternLength > length) return nullptr;
  const auto* needle = static_cast<const uint8_t*>(pattern);
  for (size_t start = length - patternLength + 1; start-- > 0;) {
    if (haystack[start] == needle[0] && std::memcmp(haystack + start, needle, patternLength) == 0) {
      return haystack + start;
    }
  }
  return nullptr;
}

size_t FindFrom(const uint8_t* haystack, size_t length, size_t from, const void* pattern, size_t patternLength) {
  if (from > length) return kNotFound;
  const uint8_t* hit = ForwardSearch(haystack + from, length - from, pattern, patternLength);
  return hit == nullptr ? kNotFound : static_cast<size_t>(hit - haystack);
}

size_t FindLast(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength) {
  const uint8_t* hit = BackwardSearch(haystack, length, pattern, patternLength);
  return hit == nullptr ? kNotFound : static_cast<size_t>(hit - haystack);
}

}  // namespace engine::signatures
