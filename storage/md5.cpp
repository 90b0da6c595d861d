// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/md5.h"

#include <algorithm>
#include <cstring>

namespace storage {
namespace {

// floor(|sin(i + 1)| * 2^32) for step i.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left rotations of each round, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t RotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

}  // namespace

void Md5::Reset() {
  m_state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  m_blockBytes = 0;
  m_totalBytes = 0;
}

void Md5::Compress(const uint8_t* block) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(block[4 * i]) | (static_cast<uint32_t>(block[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(block[4 * i + 2]) << 16) | (static_cast<uint32_t>(block[4 * i + 3]) << 24);
  }
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    switch (i / 16) {
      case 0: f = (b & c) | (~b & d), g = i; break;
      case 1: f = (d & b) | (~d & c), g = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d, g = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d), g = (7 * i) % 16; break;
    }
    const uint32_t rotated = RotateLeft(a + f + kSine[i] + w[g], kShift[i / 16][i % 4]);
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
}

void Md5::Update(std::span<const uint8_t> bytes) {
  m_totalBytes += bytes.size();
  size_t at = 0;
  if (m_blockBytes > 0) {
    const size_t take = std::min(bytes.size(), m_block.size() - m_blockBytes);
    std::memcpy(m_block.data() + m_blockBytes, bytes.data(), take);
    m_blockBytes += take;
    at = take;
    if (m_blockBytes < m_block.size()) return;
    Compress(m_block.data());
    m_blockBytes = 0;
  }
  for (; bytes.size() - at >= m_block.size(); at += m_block.size()) Compress(bytes.data() + at);
  std::memcpy(m_block.data(), bytes.data() + at, bytes.size() - at);
  m_blockBytes = bytes.size() - at;
}

Md5::Digest Md5::Finish() {
  const uint64_t bitCount = m_totalBytes * 8;
  uint8_t padding[72] = {0x80};
  const size_t padBytes = (m_blockBytes < 56 ? 56 : 120) - m_blockBytes;
  for (int i = 0; i < 8; ++i) padding[padBytes + i] = static_cast<uint8_t>(bitCount >> (8 * i));
  Update({padding, padBytes + 8});
  Digest digest;
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(m_state[i] >> (8 * k));
  }
  Reset();
  return digest;
}

std::string DigestHex(std::span<const uint8_t> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace storage
