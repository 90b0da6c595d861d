// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/sector_source.h"

namespace engine::signatures {

// The bytes of a file presented as a source of its own (sector n holds bytes
// [n * sectorSize, (n + 1) * sectorSize)), read in blocks of up to 256 KiB for
// the structure checks and decoders. Every answer is bounds-checked against
// the file's size. One thread; borrows source, which must outlive it.
class FileBytes {
 public:
  FileBytes(storage::SectorSource& source, uint32_t sectorSize, uint64_t fileSize);

  uint64_t Size() const { return m_size; }
  // The bytes [offset, offset + count) (count at most kMaxSpan), or null when
  // any lies past the file's end or cannot be read. Valid until the next call.
  const uint8_t* Get(uint64_t offset, size_t count);
  // Up to maxCount bytes from offset (at least one unless null) for sequential
  // reading; *got receives how many. Valid until the next call.
  const uint8_t* Span(uint64_t offset, size_t maxCount, size_t* got);
  // Copies count bytes at offset into out; false when they cannot all be read.
  bool Copy(uint64_t offset, size_t count, uint8_t* out);
  // True when a read of the source failed (not merely a read past the end).
  bool ReadFailed() const { return m_readFailed; }
  // A check that found the structure broken notes where: the bytes before
  // offset held (the first such note stands). 0 until noted.
  void NoteBrokenAt(uint64_t offset) {
    if (!m_brokenNoted) m_brokenAt = offset;
    m_brokenNoted = true;
  }
  uint64_t BrokenAt() const { return m_brokenAt; }

  static constexpr size_t kMaxSpan = 65536;

 private:
  bool Load(uint64_t offset);

  storage::SectorSource& m_source;
  uint32_t m_sectorSize;
  uint64_t m_size;
  std::vector<uint8_t> m_block;
  uint64_t m_start = 0;  // file offset of the block
  size_t m_have = 0;     // valid bytes in the block
  bool m_readFailed = false;
  bool m_brokenNoted = false;
  uint64_t m_brokenAt = 0;
};

}  // namespace engine::signatures
