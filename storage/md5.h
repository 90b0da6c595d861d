// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace storage {

// MD5 (RFC 1321) of a byte stream fed in pieces of any size: what evidence
// files record of the media they hold. Not for security. One thread.
class Md5 {
 public:
  static constexpr size_t kDigestBytes = 16;
  using Digest = std::array<uint8_t, kDigestBytes>;

  Md5() { Reset(); }
  void Reset();
  void Update(std::span<const uint8_t> bytes);
  // The digest of everything fed since the last Reset; the hasher then starts afresh.
  Digest Finish();

 private:
  void Compress(const uint8_t* block);

  std::array<uint32_t, 4> m_state{};
  std::array<uint8_t, 64> m_block{};
  size_t m_blockBytes = 0;
  uint64_t m_totalBytes = 0;
};

// Lowercase hex of a digest.
std::string DigestHex(std::span<const uint8_t> digest);

}  // namespace storage
