// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/crc32c.h"

#include <array>

namespace engine::ext4 {
namespace {

// Eight tables: table[0] is the plain byte table, table[k] advances a byte
// k more positions, so eight bytes are folded in at once.
struct Tables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  constexpr Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
};

constexpr Tables kTables;

#if defined(__x86_64__)
// The SSE4.2 crc32 instruction computes the same polynomial, 8 bytes a step.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p, size_t n) {
  uint64_t c = crc;
  while (n >= 8) {
    uint64_t word;
    __builtin_memcpy(&word, p, 8);
    c = __builtin_ia32_crc32di(c, word);
    p += 8;
    n -= 8;
  }
  auto c32 = static_cast<uint32_t>(c);
  while (n-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return c32;
}

bool HasHardwareCrc() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* bytes, size_t byteCount) {
#if defined(__x86_64__)
  if (HasHardwareCrc()) return Crc32cHardware(crc, static_cast<const uint8_t*>(bytes), byteCount);
#endif
  return Crc32cPortable(crc, bytes, byteCount);
}

uint32_t Crc32cPortable(uint32_t crc, const void* bytes, size_t byteCount) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  const auto& t = kTables.t;
  while (byteCount >= 8) {
    const uint32_t lo = crc ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
          t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    byteCount -= 8;
  }
  while (byteCount-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

uint32_t Crc32cLe32(uint32_t crc, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Crc32c(crc, b, 4);
}

}  // namespace engine::ext4
