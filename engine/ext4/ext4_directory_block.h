// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/ext4_superblock.h"

namespace engine::ext4 {

// Directory entries (ext4_dir_entry_2), little-endian, 4-byte aligned:
//   0 inode  4 record length  6 name length  7 file type  8 name
// Records tile a directory block; a live record's length covers the
// entries deleted after it (their bytes stay unless the kernel wiped
// them). A metadata_csum block ends in a 12-byte tail record (inode 0,
// length 12, type 0xDE) holding the crc32c of the bytes before it, seeded
// with the directory inode's seed. A hashed-tree (htree) root block holds
// "." and ".." and, inside "..", the tree's index; an inner node is one
// empty record spanning the block.
namespace dirent {
inline constexpr size_t kHeaderBytes = 8;
inline constexpr size_t kTailBytes = 12;
inline constexpr uint8_t kTailType = 0xDE;
inline constexpr uint8_t kTypeRegular = 1;
inline constexpr uint8_t kTypeDirectory = 2;
inline constexpr uint8_t kTypeSymlink = 7;
inline constexpr uint8_t kMaxType = 7;
}  // namespace dirent

struct DirEntry {
  uint32_t inode = 0;
  uint8_t fileType = 0;  // 0 when the volume keeps no types
  bool deleted = false;  // found in a record's slack, or a first record with inode 0
  uint32_t offset = 0;   // in the block
  std::string name;
};

enum class TailCheck { kNone, kHolds, kFails };

struct DirectoryBlock {
  std::vector<DirEntry> entries;
  TailCheck tail = TailCheck::kNone;
  bool isIndexNode = false;  // an htree root or inner node
};

// Parses one directory block of blockBytes (or an inline directory area
// when inlineArea: no tail, no index). seed: the directory inode's seed
// for the tail checksum (ignored without metadata_csum). False when the
// records do not tile the bytes exactly (the block is no directory block;
// out then holds nothing to use).
[[nodiscard]] bool ParseDirectoryBlock(ByteView bytes, const Superblock& sb, uint32_t seed, bool inlineArea,
                                       DirectoryBlock* out);

// The "." and ".." inodes when bytes begin a directory (its first block);
// false otherwise.
[[nodiscard]] bool DirectoryStartOf(ByteView bytes, const Superblock& sb, uint32_t* self, uint32_t* parent);

}  // namespace engine::ext4
