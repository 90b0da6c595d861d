// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string_view>

#include "storage/image_container.h"
#include "storage/media_digest.h"
#include "storage/media_hash.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The digests as the formats' references give them, fed in pieces of any size, and afresh after each Finish.
TEST(Digests, KnownDigestsInPiecesOfAnySize) {
  struct Case {
    std::string text;
    const char* md5;
    const char* sha1;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  MediaDigest md5(MediaDigest::Kind::kMd5), sha1(MediaDigest::Kind::kSha1);
  for (const Case& c : cases) {
    for (size_t piece : {1u, 63u, 64u, 65536u}) {
      if (piece == 1 && c.text.size() > 1000) continue;
      for (size_t at = 0; at < c.text.size(); at += piece) {
        md5.Update(Bytes(std::string_view(c.text).substr(at, piece)));
        sha1.Update(Bytes(std::string_view(c.text).substr(at, piece)));
      }
      EXPECT_EQ(md5.FinishHex(), c.md5) << c.text.size() << " in pieces of " << piece;
      EXPECT_EQ(sha1.FinishHex(), c.sha1) << c.text.size() << " in pieces of " << piece;
    }
  }
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
