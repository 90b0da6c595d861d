// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

namespace engine {

// A stretch of a volume in bytes, relative to the volume's start.
struct ByteRun {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// Implemented by engines that read a file system's own metadata while they
// scanned (directories, the MFT): where it lies, sorted and disjoint, so
// that a deep scan of the same volume does not hand those sectors to its raw
// engines again and list every entry twice. Empty when the engine cannot
// tell (a stored scan reopened, nothing walked). Front ends ask it with
// dynamic_cast. One thread at a time.
class IMetadataRuns {
 public:
  virtual ~IMetadataRuns() = default;
  virtual std::vector<ByteRun> MetadataRuns() = 0;
};

// Sorts runs and joins those that overlap or touch; empty runs are dropped.
void NormalizeByteRuns(std::vector<ByteRun>& runs);

}  // namespace engine
