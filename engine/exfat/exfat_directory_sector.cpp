// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_directory_sector.h"

#include "engine/byte_view.h"
#include "engine/exfat/exfat_entry_set.h"

namespace engine::exfat {
namespace {

using namespace entry;

// Entry types that may stand in a directory outside a file set: the root's
// own entries, live or deleted, and secondary entries left of deleted sets.
bool IsLooseEntryType(uint8_t type) {
  switch (type | kInUse) {
    case kAllocationBitmap:
    case kUpcaseTable:
    case kVolumeLabel:
    case kVolumeGuid:
    case kTexFatPadding:
    case kStreamExtension:
    case kFileName:
    case kVendorExtension:
    case kVendorAllocation: return true;
    default: return false;
  }
}

bool IsSecondaryType(uint8_t type) {
  switch (type | kInUse) {
    case kStreamExtension:
    case kFileName:
    case kVendorExtension:
    case kVendorAllocation: return true;
    default: return false;
  }
}

}  // namespace

bool IsExFatDirectorySector(const uint8_t* bytes, size_t length, uint32_t sectorSize) {
  if (bytes == nullptr || sectorSize < 512 || sectorSize % kBytes != 0 || length < sectorSize) return false;
  // A sector that begins with the end of a directory holds no entry set (the
  // common case of zeros), told without reading the rest.
  if (bytes[0] == kEndOfDirectory) return false;
  const ByteView view(bytes, length);
  size_t at = 0;
  // The tail of a set that began in the sector before.
  while (at < sectorSize && IsSecondaryType(view.U8(at)) && (view.U8(at) & kInUse) != 0) at += kBytes;
  int wholeSets = 0;
  bool bitmap = false;
  bool upcase = false;
  while (at < sectorSize) {
    const uint8_t type = view.U8(at);
    if (type == kEndOfDirectory) {
      for (size_t i = at; i < sectorSize; ++i) {
        if (view.U8(i) != 0) return false;
      }
      break;
    }
    if ((type | kInUse) == kFile) {
      EntrySet set;
      const SetParse parsed = ParseEntrySet(view, at, nullptr, &set);
      if (parsed == SetParse::kTruncated) break;  // cannot be checked here
      if (parsed == SetParse::kSet && set.checksumMatches) {
        ++wholeSets;
        at += set.entryCount * kBytes;
        continue;
      }
      // A set that runs past the sector may go on elsewhere (the directory's
      // next cluster): what follows here says nothing against this sector.
      if (ParseEntrySet(view.Sub(0, sectorSize), at, nullptr, &set) == SetParse::kTruncated) break;
      // A live set must check; a deleted one may have lost entries to a newer set.
      if ((type & kInUse) != 0) return false;
      at += kBytes;
      continue;
    }
    if (!IsLooseEntryType(type)) return false;
    if (type == kAllocationBitmap) bitmap = view.U32(at + kFirstCluster) >= 2 && view.U64(at + kDataLength) != 0;
    if (type == kUpcaseTable) upcase = view.U32(at + kFirstCluster) >= 2 && view.U64(at + kDataLength) != 0;
    at += kBytes;
  }
  return wholeSets > 0 || (bitmap && upcase);
}

}  // namespace engine::exfat
