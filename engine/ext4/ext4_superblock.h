// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/byte_view.h"

namespace engine::ext4 {

// The ext2/3/4 superblock: 1024 bytes at byte 1024 of the volume (and
// copies at the start of some block groups). Fields used here, little-endian:
//   0x00 inodes  0x04 blocks lo  0x0C free blocks lo  0x14 first data block
//   0x18 log block size (block = 1024 << n, n <= 6)  0x20 blocks per group
//   0x28 inodes per group  0x38 magic EF53  0x4C revision
//   0x54 first non-reserved inode  0x58 inode size  0x5C/0x60/0x64 compat,
//   incompat, ro_compat features  0x68 uuid[16]  0x78 label[16]
//   0xE0 journal inode  0xFE descriptor size  0x104 first meta_bg
//   0x150 blocks hi  0x175 checksum type  0x270 checksum seed
//   0x3FC crc32c of bytes 0..0x3FB (metadata_csum)
namespace sb {
inline constexpr size_t kOffset = 1024;  // of the primary copy, from the volume start
inline constexpr size_t kBytes = 1024;
inline constexpr uint16_t kMagic = 0xEF53;
inline constexpr size_t kChecksumOffset = 0x3FC;
}  // namespace sb

namespace feature {
inline constexpr uint32_t kCompatHasJournal = 0x4;
inline constexpr uint32_t kIncompatFiletype = 0x2;
inline constexpr uint32_t kIncompatRecover = 0x4;
inline constexpr uint32_t kIncompatJournalDev = 0x8;
inline constexpr uint32_t kIncompatMetaBg = 0x10;
inline constexpr uint32_t kIncompatExtents = 0x40;
inline constexpr uint32_t kIncompat64Bit = 0x80;
inline constexpr uint32_t kIncompatFlexBg = 0x200;
inline constexpr uint32_t kIncompatCsumSeed = 0x2000;
inline constexpr uint32_t kIncompatInlineData = 0x8000;
inline constexpr uint32_t kIncompatEncrypt = 0x10000;
inline constexpr uint32_t kRoCompatSparseSuper = 0x1;
inline constexpr uint32_t kRoCompatHugeFile = 0x8;
inline constexpr uint32_t kRoCompatGdtCsum = 0x10;
inline constexpr uint32_t kRoCompatBigalloc = 0x200;
inline constexpr uint32_t kRoCompatMetadataCsum = 0x400;
}  // namespace feature

// A superblock's geometry and features, checked for consistency. Plain value.
struct Superblock {
  uint64_t blockCount = 0;
  uint32_t inodeCount = 0;
  uint32_t firstDataBlock = 0;
  uint32_t blockBytes = 0;
  uint32_t blocksPerGroup = 0;
  uint32_t inodesPerGroup = 0;
  uint32_t firstInode = 11;
  uint32_t inodeBytes = 128;
  uint32_t descriptorBytes = 32;
  uint32_t groupCount = 0;
  uint32_t firstMetaBg = 0;
  uint32_t journalInode = 0;
  uint32_t compat = 0;
  uint32_t incompat = 0;
  uint32_t roCompat = 0;
  uint32_t revision = 0;
  std::array<uint8_t, 16> uuid{};
  std::string label;
  // Seed of every metadata checksum: crc32c(~0, uuid), or the stored seed.
  uint32_t checksumSeed = 0;
  bool checksumHolds = true;  // the superblock's own crc32c (true without metadata_csum)

  bool HasJournal() const { return (compat & feature::kCompatHasJournal) != 0 && journalInode != 0; }
  bool NeedsRecovery() const { return (incompat & feature::kIncompatRecover) != 0; }
  bool HasExtents() const { return (incompat & feature::kIncompatExtents) != 0; }
  bool Is64Bit() const { return (incompat & feature::kIncompat64Bit) != 0; }
  bool HasFiletype() const { return (incompat & feature::kIncompatFiletype) != 0; }
  bool HasMetaBg() const { return (incompat & feature::kIncompatMetaBg) != 0; }
  bool HasInlineData() const { return (incompat & feature::kIncompatInlineData) != 0; }
  bool HasEncryption() const { return (incompat & feature::kIncompatEncrypt) != 0; }
  bool HasMetadataCsum() const { return (roCompat & feature::kRoCompatMetadataCsum) != 0; }
  bool HasHugeFile() const { return (roCompat & feature::kRoCompatHugeFile) != 0; }
  bool HasSparseSuper() const { return (roCompat & feature::kRoCompatSparseSuper) != 0; }
  uint64_t VolumeBytes() const { return blockCount * blockBytes; }
  // The group that holds inode (1-based) and its index inside the group.
  uint32_t GroupOfInode(uint32_t inode) const { return (inode - 1) / inodesPerGroup; }
  uint32_t IndexInGroup(uint32_t inode) const { return (inode - 1) % inodesPerGroup; }
  uint32_t GroupOfBlock(uint64_t block) const {
    return static_cast<uint32_t>((block - firstDataBlock) / blocksPerGroup);
  }
  uint64_t GroupFirstBlock(uint32_t group) const { return uint64_t{group} * blocksPerGroup + firstDataBlock; }
  // True when the group keeps a copy of the superblock and descriptors.
  bool GroupHasSuperblockCopy(uint32_t group) const;
};

// Parses the 1024 bytes of a superblock. False when it is no ext
// superblock or its geometry cannot be (zero or absurd sizes and counts,
// counts that disagree, a block size above 64 KiB, features this reader
// cannot follow: a journal on another device, bigalloc). A failing
// metadata_csum checksum is kept in checksumHolds, not refused.
[[nodiscard]] bool ParseSuperblock(ByteView bytes, Superblock* out);

}  // namespace engine::ext4
