// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/media_hash.h"

#include <algorithm>
#include <vector>

#include "storage/media_digest.h"

namespace storage {

Status HashMedia(ISourceDevice& device, uint64_t mediaBytes, const HashProgressFn& progress, MediaHashes* hashes,
                 std::string* errorText) {
  *hashes = MediaHashes{};
  errorText->clear();
  MediaDigest md5(MediaDigest::Kind::kMd5);
  MediaDigest sha1(MediaDigest::Kind::kSha1);
  std::vector<uint8_t> piece(kReadPieceBytes);
  uint64_t done = 0;
  while (done < mediaBytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), mediaBytes - done));
    size_t got = 0;
    Status s = device.ReadAt(done, piece.data(), want, &got);
    if (s != platform::kStatusOk || got == 0) {
      *errorText = device.LastErrorText();
      if (errorText->empty()) {
        *errorText = "the media ends at byte " + std::to_string(done) + " of " + std::to_string(mediaBytes);
      }
      return platform::kStatusReadFault;
    }
    md5.Update({piece.data(), got});
    sha1.Update({piece.data(), got});
    done += got;
    if (progress && !progress(done)) return platform::kStatusCancelled;
  }
  hashes->md5 = md5.FinishHex();
  hashes->sha1 = sha1.FinishHex();
  return platform::kStatusOk;
}

}  // namespace storage
