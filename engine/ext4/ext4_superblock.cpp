// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_superblock.h"

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

bool IsPowerOf(uint32_t value, uint32_t base) {
  while (value > 1 && value % base == 0) value /= base;
  return value == 1;
}

}  // namespace

bool Superblock::GroupHasSuperblockCopy(uint32_t group) const {
  if (group <= 1 || !HasSparseSuper()) return true;
  return IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

bool ParseSuperblock(ByteView b, Superblock* out) {
  if (!b.Has(0, sb::kBytes) || b.U16(0x38) != sb::kMagic) return false;
  Superblock s;
  s.inodeCount = b.U32(0x00);
  s.firstDataBlock = b.U32(0x14);
  const uint32_t logBlock = b.U32(0x18);
  s.blocksPerGroup = b.U32(0x20);
  s.inodesPerGroup = b.U32(0x28);
  s.revision = b.U32(0x4C);
  s.compat = b.U32(0x5C);
  s.incompat = b.U32(0x60);
  s.roCompat = b.U32(0x64);
  if (logBlock > 6) return false;
  s.blockBytes = 1024u << logBlock;
  if (s.revision >= 1) {
    s.firstInode = b.U32(0x54);
    s.inodeBytes = b.U16(0x58);
  }
  s.blockCount = b.U32(0x04);
  if (s.Is64Bit()) s.blockCount |= uint64_t{b.U32(0x150)} << 32;
  s.descriptorBytes = s.Is64Bit() ? b.U16(0xFE) : 32;
  s.firstMetaBg = b.U32(0x104);
  s.journalInode = b.U32(0xE0);
  for (size_t i = 0; i < 16; ++i) s.uuid[i] = b.U8(0x68 + i);
  for (size_t i = 0; i < 16 && b.U8(0x78 + i) != 0; ++i) s.label.push_back(static_cast<char>(b.U8(0x78 + i)));

  if (s.inodeCount == 0 || s.blockCount == 0 || s.blocksPerGroup == 0 || s.inodesPerGroup == 0) return false;
  if (s.blocksPerGroup > 8 * s.blockBytes || s.inodesPerGroup > 8 * s.blockBytes) return false;
  if (s.firstDataBlock != (s.blockBytes == 1024 ? 1u : 0u) || s.firstDataBlock >= s.blockCount) return false;
  if (s.inodeBytes < 128 || s.inodeBytes > s.blockBytes || (s.inodeBytes & (s.inodeBytes - 1)) != 0) return false;
  if (s.descriptorBytes < 32 || s.descriptorBytes > 1024 || (s.descriptorBytes & (s.descriptorBytes - 1)) != 0) {
    return false;
  }
  if (s.firstInode < 3 || s.firstInode > s.inodeCount) return false;
  if ((s.incompat & feature::kIncompatJournalDev) != 0 || (s.roCompat & feature::kRoCompatBigalloc) != 0) return false;
  const uint64_t groups = (s.blockCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
  if (groups == 0 || groups > UINT32_MAX || groups * s.inodesPerGroup != s.inodeCount) return false;
  s.groupCount = static_cast<uint32_t>(groups);

  if (s.HasMetadataCsum()) {
    s.checksumSeed = (s.incompat & feature::kIncompatCsumSeed) != 0 ? b.U32(0x270)
                                                                    : Crc32c(0xFFFFFFFFu, s.uuid.data(), 16);
    s.checksumHolds = Crc32c(0xFFFFFFFFu, b.data(), sb::kChecksumOffset) == b.U32(sb::kChecksumOffset);
  }
  *out = s;
  return true;
}

}  // namespace engine::ext4
