// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine::signatures {

// First occurrence of pattern in haystack (plain byte comparison), or null
// when there is none, the pattern is empty or longer than the haystack.
const uint8_t* ForwardSearch(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength);

// Last occurrence, with the same rules.
const uint8_t* BackwardSearch(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength);

// Offset form of ForwardSearch starting at `from`: the offset of the first
// occurrence at or after from, or kNotFound.
inline constexpr size_t kNotFound = static_cast<size_t>(-1);
size_t FindFrom(const uint8_t* haystack, size_t length, size_t from, const void* pattern, size_t patternLength);
// Offset of the last occurrence, or kNotFound.
size_t FindLast(const uint8_t* haystack, size_t length, const void* pattern, size_t patternLength);

}  // namespace engine::signatures
