// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/sha1.h"

#include <algorithm>
#include <cstring>

namespace storage {
namespace {

constexpr uint32_t RotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

}  // namespace

void Sha1::Reset() {
  m_state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  m_blockBytes = 0;
  m_totalBytes = 0;
}

void Sha1::Compress(const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = (static_cast<uint32_t>(block[4 * i]) << 24) | (static_cast<uint32_t>(block[4 * i + 1]) << 16) |
           (static_cast<uint32_t>(block[4 * i + 2]) << 8) | static_cast<uint32_t>(block[4 * i + 3]);
  }
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d, k = 0xca62c1d6;
    }
    const uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
  m_state[4] += e;
}

void Sha1::Update(std::span<const uint8_t> bytes) {
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

Sha1::Digest Sha1::Finish() {
  const uint64_t bitCount = m_totalBytes * 8;
  uint8_t padding[72] = {0x80};
  const size_t padBytes = (m_blockBytes < 56 ? 56 : 120) - m_blockBytes;
  for (int i = 0; i < 8; ++i) padding[padBytes + i] = static_cast<uint8_t>(bitCount >> (56 - 8 * i));
  Update({padding, padBytes + 8});
  Digest digest;
  for (int i = 0; i < 5; ++i) {
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(m_state[i] >> (24 - 8 * k));
  }
  Reset();
  return digest;
}

}  // namespace storage
