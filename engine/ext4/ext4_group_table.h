// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/ext4_superblock.h"

namespace engine::ext4 {

// One block group descriptor: 32 bytes, or descriptorBytes (64) on a 64bit
// volume, whose upper half holds the high words. Fields used, little-endian:
//   0x00 block bitmap lo  0x04 inode bitmap lo  0x08 inode table lo
//   0x12 flags (1 inode table uninitialised, 2 block bitmap uninitialised,
//   4 inode table zeroed)  0x1C inodes at the table's end never used lo
//   0x1E checksum (crc32c low 16 bits with metadata_csum)
//   0x20 block bitmap hi  0x24 inode bitmap hi  0x28 inode table hi
//   0x32 inodes never used hi
namespace gd {
inline constexpr uint16_t kInodeUninit = 0x1;
inline constexpr uint16_t kBlockUninit = 0x2;
inline constexpr uint16_t kTableZeroed = 0x4;  // the inode table was written with zeros
inline constexpr size_t kChecksumOffset = 0x1E;
}  // namespace gd

struct GroupDescriptor {
  uint64_t blockBitmap = 0;
  uint64_t inodeBitmap = 0;
  uint64_t inodeTable = 0;
  uint16_t flags = 0;
  uint32_t tableUnused = 0;  // meaningful with group checksums (gdt_csum or metadata_csum)
  bool checksumHolds = true;
};

// Parses the descriptor of group at the start of bytes. False when the
// bytes are too short or a table lies outside the volume.
[[nodiscard]] bool ParseGroupDescriptor(ByteView bytes, const Superblock& sb, uint32_t group, GroupDescriptor* out);

// The block that holds group's descriptor and the byte offset inside it
// (classic layout: the table after the superblock; meta_bg: the first block
// of each meta group, after its superblock copy).
void DescriptorLocation(const Superblock& sb, uint32_t group, uint64_t* block, uint32_t* offsetInBlock);

// The inode table's bytes per group, in whole blocks.
inline uint64_t InodeTableBlocks(const Superblock& sb) {
  return (uint64_t{sb.inodesPerGroup} * sb.inodeBytes + sb.blockBytes - 1) / sb.blockBytes;
}

}  // namespace engine::ext4
