// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_group_table.h"

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {

bool ParseGroupDescriptor(ByteView b, const Superblock& sb, uint32_t group, GroupDescriptor* out) {
  const size_t size = sb.descriptorBytes;
  if (!b.Has(0, size)) return false;
  GroupDescriptor d;
  d.blockBitmap = b.U32(0x00);
  d.inodeBitmap = b.U32(0x04);
  d.inodeTable = b.U32(0x08);
  d.flags = b.U16(0x12);
  d.tableUnused = b.U16(0x1C);
  if (sb.Is64Bit() && size >= 64) {
    d.blockBitmap |= uint64_t{b.U32(0x20)} << 32;
    d.inodeBitmap |= uint64_t{b.U32(0x24)} << 32;
    d.inodeTable |= uint64_t{b.U32(0x28)} << 32;
    d.tableUnused |= uint32_t{b.U16(0x32)} << 16;
  }
  const uint64_t tableBlocks = InodeTableBlocks(sb);
  if (d.blockBitmap >= sb.blockCount || d.inodeBitmap >= sb.blockCount || d.inodeTable >= sb.blockCount ||
      tableBlocks > sb.blockCount - d.inodeTable) {
    return false;
  }
  if (sb.HasMetadataCsum()) {
    const uint8_t zero[2] = {0, 0};
    uint32_t crc = Crc32cLe32(sb.checksumSeed, group);
    crc = Crc32c(crc, b.data(), gd::kChecksumOffset);
    crc = Crc32c(crc, zero, 2);
    crc = Crc32c(crc, b.data() + gd::kChecksumOffset + 2, size - gd::kChecksumOffset - 2);
    d.checksumHolds = (crc & 0xFFFF) == b.U16(gd::kChecksumOffset);
  }
  *out = d;
  return true;
}

void DescriptorLocation(const Superblock& sb, uint32_t group, uint64_t* block, uint32_t* offsetInBlock) {
  const uint32_t perBlock = sb.blockBytes / sb.descriptorBytes;
  const uint32_t metaGroup = group / perBlock;
  if (!sb.HasMetaBg() || metaGroup < sb.firstMetaBg) {
    const uint64_t byte = uint64_t{group} * sb.descriptorBytes;
    *block = sb.firstDataBlock + 1 + byte / sb.blockBytes;
    *offsetInBlock = static_cast<uint32_t>(byte % sb.blockBytes);
    return;
  }
  const uint32_t first = metaGroup * perBlock;
  *block = sb.GroupFirstBlock(first) + (sb.GroupHasSuperblockCopy(first) ? 1 : 0);
  *offsetInBlock = (group % perBlock) * sb.descriptorBytes;
}

}  // namespace engine::ext4
