// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string_view>

#include "storage/image_container.h"
#include "storage/md5.h"
#include "storage/media_hash.h"
#include "storage/sha1.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Md5Of(std::string_view text) {
  Md5 md5;
  md5.Update(Bytes(text));
  return DigestHex(md5.Finish());
}

std::string Sha1Of(std::string_view text) {
  Sha1 sha1;
  sha1.Update(Bytes(text));
  return DigestHex(sha1.Finish());
}

TEST(Digests, Md5TestSuite) {  // RFC 1321, appendix A.5
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Digests, Sha1TestVectors) {  // FIPS 180 examples
  EXPECT_EQ(Sha1Of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Sha1Of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  Sha1 sha1;
  const std::string thousand(1000, 'a');
  for (int i = 0; i < 1000; ++i) sha1.Update(Bytes(thousand));
  EXPECT_EQ(DigestHex(sha1.Finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");  // a million 'a'
}

TEST(Digests, PiecesOfAnySizeGiveTheSameDigest) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>(i * 31 + i / 7);
  const std::string md5 = Md5Of(text), sha1 = Sha1Of(text);
  for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) {
    Md5 m;
    Sha1 s;
    for (size_t at = 0; at < text.size(); at += piece) {
      m.Update(Bytes(std::string_view(text).substr(at, piece)));
      s.Update(Bytes(std::string_view(text).substr(at, piece)));
    }
    EXPECT_EQ(DigestHex(m.Finish()), md5) << piece;
    EXPECT_EQ(DigestHex(s.Finish()), sha1) << piece;
  }
  // Finish starts afresh.
  Md5 m;
  m.Update(Bytes("abc"));
  (void)m.Finish();
  EXPECT_EQ(DigestHex(m.Finish()), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(MediaHash, E01MediaMatchesItsStoredHashesAndStopsOnRequest) {
  for (const auto& f : testing_support::ReadContainerFixtures()) {
    if (f.kind != "E01") continue;
    OpenedImage image;
    std::string error;
    ASSERT_EQ(OpenImageDevice(testing_support::ContainerFixturePath(f), &image, &error), 0) << error;
    MediaHashes hashes;
    uint64_t lastDone = 0;
    int calls = 0;
    ASSERT_EQ(HashMedia(
                  *image.device, image.info.mediaBytes,
                  [&](uint64_t done) {
                    EXPECT_GT(done, lastDone);
                    lastDone = done;
                    ++calls;
                    return true;
                  },
                  &hashes, &error),
              0)
        << error;
    EXPECT_EQ(lastDone, image.info.mediaBytes);
    EXPECT_EQ(calls, static_cast<int>(image.info.mediaBytes / kReadPieceBytes));
    EXPECT_EQ(hashes.md5, image.info.storedMd5) << f.archive;
    EXPECT_EQ(hashes.sha1, image.info.storedSha1) << f.archive;

    EXPECT_EQ(
        HashMedia(
            *image.device, image.info.mediaBytes, [](uint64_t done) { return done < (1u << 20); }, &hashes, &error),
        platform::kStatusCancelled);
    EXPECT_TRUE(hashes.md5.empty());
  }
}

}  // namespace
}  // namespace storage
