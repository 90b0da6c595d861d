// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace engine {

// A fast 64-bit hash for telling whether bytes changed (fingerprints of a
// volume's allocation tables); not for security. Plain value.
class Hash64 {
 public:
  void Update(const uint8_t* data, size_t byteCount) {
    size_t i = 0;
    for (; i + 8 <= byteCount; i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      Mix(word);
    }
    uint64_t tail = 0;
    for (size_t k = 0; i + k < byteCount; ++k) tail |= uint64_t{data[i + k]} << (8 * k);
    Mix(tail ^ (uint64_t{byteCount & 7} << 56));
    m_length += byteCount;
  }
  void Add(uint64_t value) { Mix(value); }
  uint64_t Value() const {
    uint64_t h = m_state ^ m_length;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h == 0 ? 1 : h;  // 0 means "unknown" to callers
  }

 private:
  void Mix(uint64_t word) {
    word *= 0x9E3779B97F4A7C15ull;
    word ^= word >> 31;
    m_state = (m_state ^ word) * 0xC2B2AE3D27D4EB4Full;
    m_state ^= m_state >> 29;
  }
  uint64_t m_state = 0x243F6A8885A308D3ull;
  uint64_t m_length = 0;
};

}  // namespace engine
