// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/byte_search.h"

#include <cstring>

namespace engine::signatures {
namespace {

// The last of the first count bytes equal to value, or null; eight bytes at a
// time: a word holds it when the word xor value in every byte has a zero byte.
const uint8_t* LastByte(const uint8_t* bytes, size_t count, uint8_t value) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const uint64_t pattern = kOnes * value;
  while (count >= 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + count - 8, 8);
    const uint64_t x = word ^ pattern;
    if (((x - kOnes) & ~x & kHighs) != 0) break;  // a match among these eight
    count -= 8;
  }
  while (count > 0) {
    --count;
    if (bytes[count] == value) return bytes + count;
  }
  return nullptr;
}

}  // namespace

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
  // The first byte's occurrences from the last start back.
  size_t starts = length - patternLength + 1;
  while (starts > 0) {
    const uint8_t* candidate = LastByte(haystack, starts, needle[0]);
    if (candidate == nullptr) return nullptr;
    if (std::memcmp(candidate + 1, needle + 1, patternLength - 1) == 0) return candidate;
    starts = static_cast<size_t>(candidate - haystack);
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
