// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/ext4/ext4_item_data.h"
#include "engine/ext4/ext4_volume.h"

namespace engine::ext4 {

// Where a deleted file lay when no copy of its inode keeps its map (ext4
// clears the extents and the size at the delete; the journal may have
// wrapped over every older copy). Files written one after another lie one
// after another: the file's data is taken to begin right after the data
// of the nearest lower inode of its group whose layout is known (a live
// file now, or a deleted file found) and to run over the blocks that are
// free now, up to the first block in use or taken by a found file. The
// size is where the content ends: text ends at the zeros the kernel left
// after it in its last block; other kinds end before the last block's
// trailing zeros, in a run that ends where a known higher inode's data
// begins with no unknown inode in between (no other file can hide in it),
// and must pass the structure check of their kind. The result is proven
// only when the content checks out and no unknown inode lies between the
// file and the neighbour that gave its start; otherwise it is kept as
// damaged.
// Bounded: a run holds at most kMaxBlocks blocks. One thread at a time.
class ContiguousGuess {
 public:
  static constexpr uint64_t kMaxBlocks = 4096;
  static constexpr uint64_t kTextChunkBlocks = 4;
  // The known layout of inode number (its data runs, in file order), or
  // null when unknown. taken: true when a found file holds the block.
  using KnownRuns = std::function<const std::vector<BlockRun>*(uint32_t number)>;
  using Taken = std::function<bool(uint64_t block)>;

  ContiguousGuess(Ext4Volume& volume, KnownRuns known, Taken taken);

  // Fills data (runs and size) and *proven. False when the evidence does
  // not support a start or an end (data untouched).
  [[nodiscard]] bool Guess(uint32_t number, std::string_view extension, ItemData* data, bool* proven);

 private:
  // The last block of a known layout (false for none).
  static bool LastBlock(const std::vector<BlockRun>& runs, uint64_t* last);
  bool Usable(uint64_t block) const;
  // Text from start on (blocks usable one after another) that stops at the
  // zeros filling the rest of its last block: its size. False otherwise.
  bool TextSize(uint64_t start, uint64_t* size);
  // The count blocks at start: the size before their trailing zeros (tried
  // a few zero bytes longer), and whether the kind's structure holds.
  // False when the last block is all zeros or cannot be read.
  bool StructureSize(uint64_t start, uint64_t count, std::string_view extension, uint64_t* size, bool* checks);

  Ext4Volume& m_volume;
  KnownRuns m_known;
  Taken m_taken;
};

}  // namespace engine::ext4
