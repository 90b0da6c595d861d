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
// One step waits for the one before (three cycles), so long inputs are cut
// into three streams run side by side and joined: the register is linear, so
// crc(s, A B C) = Z(Z(crc(s, A)) ^ crc(0, B)) ^ crc(0, C), with Z the
// register advanced over a stream's length of zero bytes.
__attribute__((target("sse4.2"))) uint64_t StepWords(uint64_t c, const uint8_t* p, size_t words) {
  for (size_t i = 0; i < words; ++i) {
    uint64_t word;
    __builtin_memcpy(&word, p + i * 8, 8);
    c = __builtin_ia32_crc32di(c, word);
  }
  return c;
}

// Z for one stream length: four byte tables, built from the 32 single-bit
// registers advanced by the instruction itself.
struct ZeroShift {
  std::array<std::array<uint32_t, 256>, 4> t{};
  explicit ZeroShift(size_t bytes) {
    uint32_t bit[32];
    for (int b = 0; b < 32; ++b) {
      uint64_t c = uint32_t{1} << b;
      for (size_t i = 0; i < bytes / 8; ++i) c = Step(c);
      bit[b] = static_cast<uint32_t>(c);
    }
    for (int k = 0; k < 4; ++k) {
      for (uint32_t v = 0; v < 256; ++v) {
        uint32_t r = 0;
        for (int i = 0; i < 8; ++i) {
          if (((v >> i) & 1) != 0) r ^= bit[8 * k + i];
        }
        t[k][v] = r;
      }
    }
  }
  uint32_t operator()(uint32_t c) const {
    return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
  }
  __attribute__((target("sse4.2"))) static uint64_t Step(uint64_t c) { return __builtin_ia32_crc32di(c, 0); }
};

// Stream lengths (multiples of 8): three long ones cover a 4 KiB block but
// its last 16 bytes, three short ones most of a 1 KiB block.
constexpr size_t kLongStream = 1360;
constexpr size_t kShortStream = 336;

template <size_t kStream>
__attribute__((target("sse4.2"))) uint64_t ThreeStreams(uint64_t a, const uint8_t* p, const ZeroShift& z) {
  uint64_t b = 0;
  uint64_t c = 0;
  for (size_t i = 0; i < kStream; i += 8) {
    uint64_t wa;
    uint64_t wb;
    uint64_t wc;
    __builtin_memcpy(&wa, p + i, 8);
    __builtin_memcpy(&wb, p + kStream + i, 8);
    __builtin_memcpy(&wc, p + 2 * kStream + i, 8);
    a = __builtin_ia32_crc32di(a, wa);
    b = __builtin_ia32_crc32di(b, wb);
    c = __builtin_ia32_crc32di(c, wc);
  }
  return z(z(static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(c);
}

__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p, size_t n) {
  uint64_t c = crc;
  if (n >= 3 * kShortStream) {
    static const ZeroShift kLong(kLongStream);
    static const ZeroShift kShort(kShortStream);
    for (; n >= 3 * kLongStream; p += 3 * kLongStream, n -= 3 * kLongStream) {
      c = ThreeStreams<kLongStream>(c, p, kLong);
    }
    for (; n >= 3 * kShortStream; p += 3 * kShortStream, n -= 3 * kShortStream) {
      c = ThreeStreams<kShortStream>(c, p, kShort);
    }
  }
  c = StepWords(c, p, n / 8);
  p += n / 8 * 8;
  n %= 8;
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

Crc32cShift::Crc32cShift(size_t byteCount) : m_identity(byteCount == 0) {
  static constexpr uint8_t kZeros[4096] = {};
  for (int b = 0; b < 32; ++b) {
    uint32_t c = uint32_t{1} << b;
    for (size_t left = byteCount; left > 0;) {
      const size_t n = left < sizeof kZeros ? left : sizeof kZeros;
      c = Crc32c(c, kZeros, n);
      left -= n;
    }
    m_bits[b] = c;
  }
}

uint32_t Crc32cShift::operator()(uint32_t crc) const {
  if (m_identity) return crc;
  uint32_t r = 0;
  for (int b = 0; crc != 0; ++b, crc >>= 1) {
    if ((crc & 1) != 0) r ^= m_bits[b];
  }
  return r;
}

uint32_t Crc32cLe32(uint32_t crc, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Crc32c(crc, b, 4);
}

}  // namespace engine::ext4
