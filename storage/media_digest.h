// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace storage {

// MD5 or SHA-1 of a byte stream fed in pieces of any size: what evidence
// files record of the media they hold (not for security). Computed by
// OpenSSL's libcrypto, which is packaged, maintained and uses the
// processor's hash instructions. One thread.
class MediaDigest {
 public:
  enum class Kind { kMd5, kSha1 };
  explicit MediaDigest(Kind kind);
  ~MediaDigest();
  MediaDigest(const MediaDigest&) = delete;
  MediaDigest& operator=(const MediaDigest&) = delete;

  void Update(std::span<const uint8_t> bytes);
  // Lowercase hex of the digest of everything fed since the last Finish; the digest then starts afresh.
  std::string FinishHex();

 private:
  struct Context;
  Kind m_kind;
  std::unique_ptr<Context> m_context;
};

}  // namespace storage
