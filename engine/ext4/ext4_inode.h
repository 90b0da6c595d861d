// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"
#include "engine/ext4/ext4_superblock.h"

namespace engine::ext4 {

// An inode: Superblock::inodeBytes bytes in an inode table. Fields used,
// little-endian:
//   0x00 mode  0x04 size lo  0x08 atime  0x10 mtime  0x14 dtime
//   0x1A links  0x20 flags  0x28 i_block[60] (extent tree root, block map
//   or inline data)  0x64 generation  0x6C size hi  0x7C checksum lo
//   0x80 extra size  0x82 checksum hi  0x88 mtime extra  0x8C atime extra
//   0x90 crtime  0x94 crtime extra; then the in-inode extended attributes
//   (magic EA020000) that hold the rest of inline data ("system.data").
namespace inode {
inline constexpr uint32_t kRootInode = 2;
inline constexpr size_t kBlockOffset = 0x28;
inline constexpr size_t kBlockBytes = 60;
inline constexpr uint32_t kFlagEncrypt = 0x800;
inline constexpr uint32_t kFlagIndex = 0x1000;
inline constexpr uint32_t kFlagHugeFile = 0x40000;
inline constexpr uint32_t kFlagExtents = 0x80000;
inline constexpr uint32_t kFlagInlineData = 0x10000000;
inline constexpr uint16_t kTypeMask = 0xF000;
inline constexpr uint16_t kTypeDirectory = 0x4000;
inline constexpr uint16_t kTypeRegular = 0x8000;
inline constexpr uint16_t kTypeSymlink = 0xA000;
}  // namespace inode

struct Inode {
  uint16_t mode = 0;
  uint16_t links = 0;
  uint32_t flags = 0;
  uint32_t generation = 0;
  uint64_t size = 0;
  uint64_t blockCount = 0;  // i_blocks, in 512-byte units unless huge_file says blocks
  int64_t atime = 0, mtime = 0, ctime = 0, crtime = 0, dtime = 0;  // seconds
  uint32_t atimeNs = 0, mtimeNs = 0, crtimeNs = 0;
  bool hasCrtime = false;
  std::array<uint8_t, inode::kBlockBytes> block{};
  // Inline data beyond the 60 bytes of i_block (the "system.data" value).
  std::vector<uint8_t> inlineTail;
  bool checksumHolds = true;  // true without metadata_csum

  uint16_t Type() const { return mode & inode::kTypeMask; }
  bool IsDirectory() const { return Type() == inode::kTypeDirectory; }
  bool IsRegular() const { return Type() == inode::kTypeRegular; }
  bool UsesExtents() const { return (flags & inode::kFlagExtents) != 0; }
  bool HasInlineData() const { return (flags & inode::kFlagInlineData) != 0; }
  bool IsEncrypted() const { return (flags & inode::kFlagEncrypt) != 0; }
  // An inode in use: linked, not deleted, of a known type.
  bool LooksLive() const { return links != 0 && dtime == 0 && Type() != 0; }
  // The first size bytes of inline data (i_block, then the tail).
  std::vector<uint8_t> InlineData() const;
};

// Parses one inode (bytes from its first byte; at least sb.inodeBytes).
// number and the superblock's seed check its metadata_csum. False only when
// the bytes are too short; anything else is data (check LooksLive,
// checksumHolds). Without checkSum, checksumHolds is left true, unchecked
// (see InodeChecksumHolds).
[[nodiscard]] bool ParseInode(ByteView bytes, const Superblock& sb, uint32_t number, Inode* out,
                              bool checkSum = true);
// True when the inode's metadata_csum holds (always without metadata_csum),
// as ParseInode sets checksumHolds.
[[nodiscard]] bool InodeChecksumHolds(ByteView bytes, const Superblock& sb, uint32_t number);

// The checksum seed of an inode's own metadata (extent blocks, directory
// blocks): crc32c of the inode number and generation from the volume seed.
uint32_t InodeSeed(const Superblock& sb, uint32_t number, uint32_t generation);

}  // namespace engine::ext4
