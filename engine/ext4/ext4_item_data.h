// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/copy_sink.h"
#include "engine/ext4/ext4_block_map.h"
#include "engine/ext4/ext4_volume.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"

namespace engine::ext4 {

// Where a found file's data is: the runs of blocks it lies in (holes and
// unwritten runs read as zeros), or inside the copy of its inode at a
// volume byte (inline data), or nowhere known. Kept in the store's layout
// table as DataExtents: a header {kLayoutTag | kind, size}, then for runs
// {physical block | unwritten bit 63, file block << 32 | block count}, for
// inline data {volume byte of the inode copy, 0}. Plain value.
struct ItemData {
  static constexpr uint64_t kLayoutTag = 0x45585434'00000000ull;  // "EXT4"
  static constexpr uint64_t kTagMask = 0xFFFFFFFF'00000000ull;
  enum class Kind : uint32_t { kNone = 0, kRuns = 1, kInline = 2 };

  Kind kind = Kind::kNone;
  uint64_t size = 0;
  std::vector<BlockRun> runs;
  uint64_t inodeByte = 0;
  // Blocks of the map itself (extent tree, indirect blocks); not stored.
  std::vector<uint64_t> treeBlocks;

  std::vector<store::DataExtent> Encode() const;
  [[nodiscard]] static bool Decode(const std::vector<store::DataExtent>& extents, ItemData* out);
  // The first data block, for the record (0 when none).
  uint64_t FirstBlock() const;
};

// Hands the first byteCount bytes of a file to sink: its runs (zeros for
// holes and unwritten runs), or the inline data of the inode copy (number:
// the inode's number, to check the copy). 87 when there is no data, a run
// lies outside the volume or the inode copy no longer checks; a read or
// sink error as is; a non-zero progress return stops and is returned.
[[nodiscard]] Status CopyItemBytes(Ext4Volume& volume, const ItemData& data, uint32_t number, uint64_t byteCount,
                                   ICopySink& sink, const CopyProgress& progress);

}  // namespace engine::ext4
