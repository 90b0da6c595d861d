// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_inode.h"

#include <algorithm>
#include <cstring>

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

constexpr size_t kOldInodeBytes = 128;
constexpr size_t kChecksumLo = 0x7C;
constexpr size_t kChecksumHi = 0x82;
constexpr uint32_t kXattrMagic = 0xEA020000;
constexpr uint8_t kSystemIndex = 7;

// Seconds and nanoseconds from a 32-bit time and its extra field (two
// epoch bits, 30 nanosecond bits).
void TimeOf(ByteView b, size_t at, size_t extraAt, bool hasExtra, int64_t* seconds, uint32_t* ns) {
  *seconds = static_cast<int32_t>(b.U32(at));
  if (!hasExtra) return;
  const uint32_t extra = b.U32(extraAt);
  *seconds += static_cast<int64_t>(extra & 3) << 32;
  *ns = std::min<uint32_t>(extra >> 2, 999999999);
}

bool ChecksumHolds(ByteView b, const Superblock& sb, uint32_t number, uint32_t generation, uint16_t extra) {
  const size_t size = sb.inodeBytes;
  const uint8_t zero[2] = {0, 0};
  uint32_t crc = InodeSeed(sb, number, generation);
  crc = Crc32c(crc, b.data(), kChecksumLo);
  crc = Crc32c(crc, zero, 2);
  crc = Crc32c(crc, b.data() + kChecksumLo + 2, kOldInodeBytes - kChecksumLo - 2);
  const bool hasHi = size > kOldInodeBytes && extra >= 4;
  if (size > kOldInodeBytes) {
    crc = Crc32c(crc, b.data() + kOldInodeBytes, kChecksumHi - kOldInodeBytes);
    size_t at = kChecksumHi;
    if (hasHi) {
      crc = Crc32c(crc, zero, 2);
      at += 2;
    }
    crc = Crc32c(crc, b.data() + at, size - at);
  }
  uint32_t stored = b.U16(kChecksumLo);
  if (hasHi) {
    stored |= static_cast<uint32_t>(b.U16(kChecksumHi)) << 16;
  } else {
    crc &= 0xFFFF;
  }
  return crc == stored;
}

// The value of "system.data" among the in-inode attributes at [from, end).
void ReadInlineTail(ByteView b, size_t from, size_t end, Inode* out) {
  if (from + 4 > end || b.U32(from) != kXattrMagic) return;
  const size_t first = from + 4;
  for (size_t at = first; at + 16 <= end && b.U32(at) != 0;) {
    const uint8_t nameLength = b.U8(at);
    const uint8_t index = b.U8(at + 1);
    const uint16_t valueOffset = b.U16(at + 2);
    const uint32_t valueInode = b.U32(at + 4);
    const uint32_t valueSize = b.U32(at + 8);
    if (at + 16 + nameLength > end) return;
    if (index == kSystemIndex && nameLength == 4 && b.Equals(at + 16, "data", 4) && valueInode == 0) {
      const size_t valueAt = first + valueOffset;
      if (valueAt <= end && valueSize <= end - valueAt) {
        out->inlineTail.assign(b.data() + valueAt, b.data() + valueAt + valueSize);
      }
      return;
    }
    at += (16 + nameLength + 3) & ~size_t{3};
  }
}

uint16_t ExtraBytes(ByteView b, const Superblock& sb) {
  if (sb.inodeBytes <= kOldInodeBytes) return 0;
  const uint16_t extra = b.U16(0x80);
  return kOldInodeBytes + extra > sb.inodeBytes || (extra & 3) != 0 ? 0 : extra;
}

}  // namespace

uint32_t InodeSeed(const Superblock& sb, uint32_t number, uint32_t generation) {
  return Crc32cLe32(Crc32cLe32(sb.checksumSeed, number), generation);
}

std::vector<uint8_t> Inode::InlineData() const {
  std::vector<uint8_t> data(block.begin(), block.end());
  data.insert(data.end(), inlineTail.begin(), inlineTail.end());
  if (data.size() > size) data.resize(static_cast<size_t>(size));
  return data;
}

bool InodeChecksumHolds(ByteView b, const Superblock& sb, uint32_t number) {
  if (!b.Has(0, sb.inodeBytes)) return false;
  if (!sb.HasMetadataCsum()) return true;
  b = b.Sub(0, sb.inodeBytes);
  return ChecksumHolds(b, sb, number, b.U32(0x64), ExtraBytes(b, sb));
}

bool ParseInode(ByteView b, const Superblock& sb, uint32_t number, Inode* out, bool checkSum) {
  if (!b.Has(0, sb.inodeBytes)) return false;
  b = b.Sub(0, sb.inodeBytes);
  Inode n;
  n.mode = b.U16(0x00);
  n.size = b.U32(0x04) | (uint64_t{b.U32(0x6C)} << 32);
  n.links = b.U16(0x1A);
  n.flags = b.U32(0x20);
  n.generation = b.U32(0x64);
  n.blockCount = b.U32(0x1C) | (uint64_t{b.U16(0x74)} << 32);
  std::memcpy(n.block.data(), b.data() + inode::kBlockOffset, inode::kBlockBytes);
  const uint16_t extra = ExtraBytes(b, sb);
  const auto fits = [&](size_t offset) { return extra != 0 && offset + 4 <= kOldInodeBytes + extra; };
  TimeOf(b, 0x08, 0x8C, fits(0x8C), &n.atime, &n.atimeNs);
  TimeOf(b, 0x10, 0x88, fits(0x88), &n.mtime, &n.mtimeNs);
  uint32_t ignored = 0;
  TimeOf(b, 0x0C, 0x84, fits(0x84), &n.ctime, &ignored);
  n.dtime = b.U32(0x14);
  if (fits(0x94)) {
    n.hasCrtime = true;
    TimeOf(b, 0x90, 0x94, true, &n.crtime, &n.crtimeNs);
  }
  if (n.HasInlineData() && sb.inodeBytes > kOldInodeBytes) {
    ReadInlineTail(b, kOldInodeBytes + extra, sb.inodeBytes, &n);
  }
  if (checkSum && sb.HasMetadataCsum()) n.checksumHolds = ChecksumHolds(b, sb, number, n.generation, extra);
  *out = std::move(n);
  return true;
}

}  // namespace engine::ext4
