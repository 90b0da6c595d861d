// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace engine {

// A bounds-checked, read-only view of bytes taken from a disk. Getters are
// little-endian and return 0 for any field that does not lie wholly inside
// the view; call Has() first where 0 is a meaningful value.
class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }

  // True when [offset, offset + length) lies inside the view (overflow-safe).
  bool Has(size_t offset, size_t length) const { return offset <= m_size && length <= m_size - offset; }

  uint8_t U8(size_t offset) const { return Has(offset, 1) ? m_data[offset] : 0; }
  uint16_t U16(size_t offset) const {
    return Has(offset, 2) ? static_cast<uint16_t>(m_data[offset] | (m_data[offset + 1] << 8)) : 0;
  }
  uint32_t U32(size_t offset) const {
    if (!Has(offset, 4)) return 0;
    return static_cast<uint32_t>(m_data[offset]) | (static_cast<uint32_t>(m_data[offset + 1]) << 8) |
           (static_cast<uint32_t>(m_data[offset + 2]) << 16) | (static_cast<uint32_t>(m_data[offset + 3]) << 24);
  }
  uint64_t U64(size_t offset) const {
    if (!Has(offset, 8)) return 0;
    return static_cast<uint64_t>(U32(offset)) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
  }
  uint16_t U16Be(size_t offset) const {
    return Has(offset, 2) ? static_cast<uint16_t>((m_data[offset] << 8) | m_data[offset + 1]) : 0;
  }
  uint32_t U32Be(size_t offset) const {
    if (!Has(offset, 4)) return 0;
    return (static_cast<uint32_t>(m_data[offset]) << 24) | (static_cast<uint32_t>(m_data[offset + 1]) << 16) |
           (static_cast<uint32_t>(m_data[offset + 2]) << 8) | static_cast<uint32_t>(m_data[offset + 3]);
  }
  uint64_t U64Be(size_t offset) const {
    if (!Has(offset, 8)) return 0;
    return (static_cast<uint64_t>(U32Be(offset)) << 32) | U32Be(offset + 4);
  }
  // True when the bytes at offset equal text (length bytes).
  bool Equals(size_t offset, const void* text, size_t length) const {
    return Has(offset, length) && std::memcmp(m_data + offset, text, length) == 0;
  }
  // Sub-view [offset, offset + length), clipped to the view.
  ByteView Sub(size_t offset, size_t length) const {
    if (offset > m_size) return {};
    if (length > m_size - offset) length = m_size - offset;
    return {m_data + offset, length};
  }

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

}  // namespace engine
