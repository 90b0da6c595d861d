// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/media_digest.h"

#include <openssl/evp.h>

namespace storage {

struct MediaDigest::Context {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* Algorithm(MediaDigest::Kind kind) {
  return kind == MediaDigest::Kind::kMd5 ? EVP_md5() : EVP_sha1();
}

}  // namespace

MediaDigest::MediaDigest(Kind kind) : m_kind(kind), m_context(std::make_unique<Context>()) {
  // Without a context (memory ran out) every call is a no-op and the digest is empty: never a wrong one.
  if (m_context->context != nullptr) EVP_DigestInit_ex(m_context->context, Algorithm(m_kind), nullptr);
}

MediaDigest::~MediaDigest() = default;

void MediaDigest::Update(std::span<const uint8_t> bytes) {
  if (m_context->context != nullptr && !bytes.empty()) EVP_DigestUpdate(m_context->context, bytes.data(), bytes.size());
}

std::string MediaDigest::FinishHex() {
  if (m_context->context == nullptr) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string text;
  if (EVP_DigestFinal_ex(m_context->context, digest, &length) == 1) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
      text += kDigits[digest[i] >> 4];
      text += kDigits[digest[i] & 15];
    }
  }
  EVP_DigestInit_ex(m_context->context, Algorithm(m_kind), nullptr);
  return text;
}

}  // namespace storage
