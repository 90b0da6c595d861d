// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "storage/sector_source.h"

namespace storage {

// MD5 and SHA-1 of a whole media, lowercase hex.
struct MediaHashes {
  std::string md5;
  std::string sha1;
};

// Called after each piece with the bytes hashed so far; return false to stop.
using HashProgressFn = std::function<bool(uint64_t bytesDone)>;

// Reads the first mediaBytes bytes of device in pieces of kReadPieceBytes and
// hashes them. Returns 0 with *hashes set; -9527 when progress asked to stop;
// 30 when a read fails or the media ends early, with *errorText naming the
// file and the offset (the device's own reason when it has one). device is
// used by this thread for the call only.
[[nodiscard]] Status HashMedia(ISourceDevice& device, uint64_t mediaBytes, const HashProgressFn& progress,
                               MediaHashes* hashes, std::string* errorText);

}  // namespace storage
