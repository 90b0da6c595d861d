// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_directory_block.h"

#include "engine/ext4/crc32c.h"

namespace engine::ext4 {
namespace {

size_t RecordLength(ByteView b, size_t at, size_t blockBytes) {
  const uint32_t len = b.U16(at + 4);
  if (blockBytes < 65536) return len;
  if (len == 65535 || len == 0) return 65536;
  return (len & 65532u) | ((len & 3u) << 16);
}

size_t NeededBytes(size_t nameLength) { return (dirent::kHeaderBytes + nameLength + 3) & ~size_t{3}; }

bool PlausibleName(ByteView b, size_t at, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = b.U8(at + i);
    if (c == 0 || c == '/') return false;
  }
  return !(length == 1 && b.U8(at) == '.') && !(length == 2 && b.U8(at) == '.' && b.U8(at + 1) == '.');
}

// An entry that the kernel left in a record's slack (older kernels do not
// wipe deleted entries): inode in range, a name, a type, and a record
// length that fits.
bool SlackEntryAt(ByteView b, size_t at, size_t end, const Superblock& sb, DirEntry* out) {
  if (!b.Has(at, dirent::kHeaderBytes) || at + dirent::kHeaderBytes > end) return false;
  const uint32_t inode = b.U32(at);
  const size_t nameLength = b.U8(at + 6);
  const uint8_t type = b.U8(at + 7);
  const size_t recordLength = b.U16(at + 4);
  if (inode == 0 || inode > sb.inodeCount || (inode < sb.firstInode && inode != 2)) return false;
  if (sb.HasFiletype() && (type == 0 || type > dirent::kMaxType)) return false;
  if (at + NeededBytes(nameLength) > end || recordLength < NeededBytes(nameLength) || recordLength % 4 != 0) {
    return false;
  }
  if (!PlausibleName(b, at + dirent::kHeaderBytes, nameLength)) return false;
  out->inode = inode;
  out->fileType = sb.HasFiletype() ? type : 0;
  out->deleted = true;
  out->offset = static_cast<uint32_t>(at);
  out->name.assign(reinterpret_cast<const char*>(b.data() + at + dirent::kHeaderBytes), nameLength);
  return true;
}

void ScanSlack(ByteView b, size_t from, size_t end, const Superblock& sb, std::vector<DirEntry>* out) {
  for (size_t at = (from + 3) & ~size_t{3}; at + dirent::kHeaderBytes + 4 <= end;) {
    DirEntry e;
    if (SlackEntryAt(b, at, end, sb, &e)) {
      const size_t next = at + NeededBytes(e.name.size());
      out->push_back(std::move(e));
      at = next;
      continue;
    }
    at += 4;
  }
}

}  // namespace

bool ParseDirectoryBlock(ByteView b, const Superblock& sb, uint32_t seed, bool inlineArea, DirectoryBlock* out) {
  DirectoryBlock& result = *out;  // filled in place: its entries keep their room from call to call
  result.entries.clear();
  result.tail = TailCheck::kNone;
  result.isIndexNode = false;
  const size_t size = b.size();
  if (size < dirent::kHeaderBytes + 4 && !inlineArea) return false;
  size_t dataEnd = size;
  // An htree root: "." and a ".." record reaching the block's end, the index
  // inside it. Under metadata_csum it ends in the index's own checksum,
  // whose first 4 bytes may still read as a tail record (the block was a
  // plain one before): no tail then.
  const bool indexRoot = !inlineArea && size > 32 && b.U16(4) == 12 && b.U8(6) == 1 && b.U8(8) == '.' &&
                         RecordLength(b, 12, size) == size - 12 && b.U8(12 + 6) == 2 && b.U8(20) == '.' && b.U8(21) == '.' &&
                         b.U32(24) == 0 && b.U8(0x1D) == 8;
  if (!inlineArea && !indexRoot && size >= dirent::kTailBytes) {
    const size_t t = size - dirent::kTailBytes;
    if (b.U32(t) == 0 && b.U16(t + 4) == dirent::kTailBytes && b.U8(t + 6) == 0 && b.U8(t + 7) == dirent::kTailType) {
      dataEnd = t;
      if (sb.HasMetadataCsum()) {
        result.tail = Crc32c(seed, b.data(), t) == b.U32(t + 8) ? TailCheck::kHolds : TailCheck::kFails;
      }
    }
  }
  // An htree inner node: one empty record over the block (the index inside it).
  if (!inlineArea && b.U32(0) == 0 && RecordLength(b, 0, size) == size && b.U8(6) == 0) {
    result.isIndexNode = true;
    return true;
  }
  size_t at = 0;
  while (at < dataEnd) {
    if (!b.Has(at, dirent::kHeaderBytes)) return false;
    const size_t recordLength = RecordLength(b, at, inlineArea ? 0 : size);
    const size_t nameLength = b.U8(at + 6);
    if (recordLength < dirent::kHeaderBytes || recordLength % 4 != 0 || recordLength > dataEnd - at ||
        NeededBytes(nameLength) > recordLength) {
      return false;
    }
    const uint32_t inode = b.U32(at);
    const uint8_t type = b.U8(at + 7);
    if (inode > sb.inodeCount) return false;
    const bool named = nameLength != 0;
    if (named && (inode != 0 || PlausibleName(b, at + dirent::kHeaderBytes, nameLength))) {
      DirEntry e;
      e.inode = inode;
      e.fileType = sb.HasFiletype() ? type : 0;
      e.offset = static_cast<uint32_t>(at);
      e.name.assign(reinterpret_cast<const char*>(b.data() + at + dirent::kHeaderBytes), nameLength);
      if (inode == 0) {
        // A first record deleted by an older kernel keeps its name but not its inode.
        e.deleted = true;
      }
      if (e.inode != 0) result.entries.push_back(std::move(e));
    }
    const bool dotDot = at == 12 && nameLength == 2 && b.U8(at + 8) == '.' && b.U8(at + 9) == '.';
    if (dotDot && recordLength == size - 12 && !inlineArea && b.U32(24) == 0 && b.U8(0x1D) == 8) {
      result.isIndexNode = true;  // an htree root: its index lies in the slack of ".."
    } else {
      ScanSlack(b, at + NeededBytes(nameLength), at + recordLength, sb, &result.entries);
    }
    at += recordLength;
  }
  return at == dataEnd;
}

bool DirectoryStartOf(ByteView b, const Superblock& sb, uint32_t* self, uint32_t* parent) {
  if (!b.Has(0, 24) || b.U16(4) != 12 || b.U8(6) != 1 || b.U8(8) != '.') return false;
  if (b.U8(18) != 2 || b.U8(20) != '.' || b.U8(21) != '.') return false;
  const uint32_t s = b.U32(0);
  const uint32_t p = b.U32(12);
  if (s == 0 || p == 0 || s > sb.inodeCount || p > sb.inodeCount) return false;
  if (sb.HasFiletype() && (b.U8(7) != dirent::kTypeDirectory || b.U8(19) != dirent::kTypeDirectory)) return false;
  *self = s;
  *parent = p;
  return true;
}

}  // namespace engine::ext4
