// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace storage {

// Bounds-checked integer loads from bytes read off a disk or image. A field
// that does not lie wholly inside the bytes reads as 0; call Holds() first
// where 0 is a meaningful value.
inline bool Holds(std::span<const uint8_t> bytes, size_t offset, size_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

inline uint64_t LoadLe(std::span<const uint8_t> bytes, size_t offset, size_t length) {
  if (length > 8 || !Holds(bytes, offset, length)) return 0;
  uint64_t value = 0;
  for (size_t i = length; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint64_t LoadBe(std::span<const uint8_t> bytes, size_t offset, size_t length) {
  if (length > 8 || !Holds(bytes, offset, length)) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint16_t LoadLe16(std::span<const uint8_t> b, size_t offset) {
  return static_cast<uint16_t>(LoadLe(b, offset, 2));
}
inline uint32_t LoadLe32(std::span<const uint8_t> b, size_t offset) {
  return static_cast<uint32_t>(LoadLe(b, offset, 4));
}
inline uint64_t LoadLe64(std::span<const uint8_t> b, size_t offset) {
  return LoadLe(b, offset, 8);
}
inline uint32_t LoadBe32(std::span<const uint8_t> b, size_t offset) {
  return static_cast<uint32_t>(LoadBe(b, offset, 4));
}
inline uint64_t LoadBe64(std::span<const uint8_t> b, size_t offset) {
  return LoadBe(b, offset, 8);
}

// True when the bytes at offset equal text (length bytes).
inline bool BytesEqual(std::span<const uint8_t> bytes, size_t offset, const void* text, size_t length) {
  return Holds(bytes, offset, length) && std::memcmp(bytes.data() + offset, text, length) == 0;
}

}  // namespace storage
