// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_contiguous_guess.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/text_content.h"

namespace engine::ext4 {
namespace {

// Lower and higher inodes looked at for the neighbours.
constexpr uint32_t kNeighbourReach = 64;
// Zero bytes a kind may end in (a ZIP's empty comment length) tried back.
constexpr uint64_t kTrailingZerosTried = 4;

}  // namespace

ContiguousGuess::ContiguousGuess(Ext4Volume& volume, KnownRuns known, Taken taken)
    : m_volume(volume), m_known(std::move(known)), m_taken(std::move(taken)) {}

bool ContiguousGuess::LastBlock(const std::vector<BlockRun>& runs, uint64_t* last) {
  bool any = false;
  for (const BlockRun& r : runs) {
    if (r.count == 0 || r.unwritten) continue;
    if (!any || r.physical + r.count - 1 > *last) *last = r.physical + r.count - 1;
    any = true;
  }
  return any;
}

bool ContiguousGuess::Usable(uint64_t block) const {
  return block < m_volume.Sb().blockCount && !m_volume.BlockInUse(block) && !m_taken(block);
}

bool ContiguousGuess::TextSize(uint64_t start, uint64_t* size) {
  const size_t bs = m_volume.Sb().blockBytes;
  signatures::TextWalk walk;
  std::vector<uint8_t> bytes;
  // Read a few blocks at a time: text ends within its first blocks mostly.
  for (uint64_t done = 0; done < kMaxBlocks;) {
    uint64_t n = 0;
    while (n < kTextChunkBlocks && done + n < kMaxBlocks && Usable(start + done + n)) ++n;
    if (n == 0) return false;
    bytes.resize(static_cast<size_t>(n * bs));
    if (m_volume.ReadBlocks(start + done, static_cast<uint32_t>(n), bytes.data()) != kStatusOk) return false;
    if (done == 0 && !signatures::IsTextStartByte(bytes[0])) return false;
    if (walk.Feed(bytes.data(), bytes.size())) {
      done += n;
      continue;
    }
    // It stopped: at the zeros the kernel left after it, which fill the rest of its last block.
    const uint64_t end = walk.End();
    if (end == 0 || end % bs == 0) return false;
    const uint64_t at = end - done * bs;  // in this chunk
    const uint64_t blockEnd = (at / bs + 1) * bs;
    for (uint64_t i = at; i < blockEnd; ++i) {
      if (bytes[static_cast<size_t>(i)] != 0) return false;
    }
    *size = end;
    return true;
  }
  return false;
}

bool ContiguousGuess::StructureSize(uint64_t start, uint64_t count, std::string_view extension, uint64_t* size,
                                    bool* checks) {
  const size_t bs = m_volume.Sb().blockBytes;
  *checks = false;
  std::vector<uint8_t> bytes(static_cast<size_t>(count * bs));
  if (m_volume.ReadBlocks(start, static_cast<uint32_t>(count), bytes.data()) != kStatusOk) return false;
  // The kind ends before the trailing zeros of the run's last block.
  uint64_t end = bytes.size();
  while (end > 0 && bytes[static_cast<size_t>(end - 1)] == 0) --end;
  if (end == 0 || end <= bytes.size() - bs) return false;  // a last block of zeros: no end seen
  const signatures::ByteReader read = [&](uint64_t offset, void* out, size_t n) -> Status {
    if (offset > bytes.size() || n > bytes.size() - offset) return kStatusInvalidParameter;
    std::memcpy(out, bytes.data() + offset, n);
    return kStatusOk;
  };
  for (uint64_t extra = 0; extra <= kTrailingZerosTried && end + extra <= bytes.size(); ++extra) {
    const uint64_t candidate = end + extra;
    const std::vector<ByteRun> runs{ByteRun{0, candidate}};
    const auto verdict =
        signatures::CheckLaidOutStructure(read, runs, candidate, static_cast<uint32_t>(bs), extension);
    if (verdict == signatures::StructureVerdict::kConsistent) {
      *size = candidate;
      *checks = true;
      return true;
    }
    if (verdict == signatures::StructureVerdict::kNoCheck) break;
  }
  *size = end;
  return true;
}

bool ContiguousGuess::Guess(uint32_t number, std::string_view extension, ItemData* data, bool* proven) {
  const Superblock& sb = m_volume.Sb();
  const size_t bs = sb.blockBytes;
  if (number == 0 || sb.inodesPerGroup == 0) return false;
  const uint32_t groupFirst = sb.GroupOfInode(number) * sb.inodesPerGroup + 1;
  // The start: right after the nearest lower known inode's data, where that is free.
  uint64_t start = 0;
  bool found = false;
  bool unknownBetween = false;
  for (uint32_t m = number - 1; m >= groupFirst && number - m <= kNeighbourReach && m != 0; --m) {
    const std::vector<BlockRun>* runs = m_known(m);
    if (runs == nullptr) {
      unknownBetween = true;
      continue;
    }
    uint64_t last = 0;
    if (LastBlock(*runs, &last) && Usable(last + 1)) {
      start = last + 1;
      found = true;
      break;
    }
  }
  if (!found) return false;
  uint64_t size = 0;
  bool checks = false;
  // The end: text ends by itself, at its zeros; other kinds where the
  // run's next block begins a known higher inode's data, with no unknown
  // inode between.
  bool bounded = TextSize(start, &size);
  uint64_t count = 0;
  if (bounded) {
    checks = true;
    count = (size + bs - 1) / bs;
  } else {
    while (count < kMaxBlocks && Usable(start + count)) ++count;
    if (count == 0 || count == kMaxBlocks) return false;
    // Before anything is read: the run must end where a known higher
    // inode's data begins (else it may run on over any free space).
    const uint64_t next = start + count;
    for (uint32_t m = number + 1; m - number <= kNeighbourReach && m <= sb.inodeCount; ++m) {
      const std::vector<BlockRun>* runs = m_known(m);
      if (runs == nullptr) break;
      const auto at = std::find_if(runs->begin(), runs->end(), [](const BlockRun& r) { return !r.unwritten; });
      if (at != runs->end() && at->physical == next) {
        bounded = true;
        break;
      }
    }
    if (!bounded || !StructureSize(start, count, extension, &size, &checks) || size == 0) return false;
  }
  const uint64_t blocks = (size + bs - 1) / bs;
  data->kind = ItemData::Kind::kRuns;
  data->size = size;
  data->runs = {BlockRun{0, start, blocks, false}};
  data->treeBlocks.clear();
  *proven = checks && bounded && !unknownBetween;
  return true;
}

}  // namespace engine::ext4
