// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/byte_view.h"

namespace engine::exfat {

class UpcaseTable;

// Directory entries are 32 bytes. Byte 0 is the entry type: bits 0-4 the
// code, bit 5 importance, bit 6 category (0 primary, 1 secondary), bit 7
// in use. A deleted entry keeps its type with bit 7 clear; type 0 ends the
// directory.
namespace entry {
inline constexpr size_t kBytes = 32;
inline constexpr uint8_t kInUse = 0x80;
inline constexpr uint8_t kSecondaryCategory = 0x40;
inline constexpr uint8_t kEndOfDirectory = 0x00;
inline constexpr uint8_t kAllocationBitmap = 0x81;
inline constexpr uint8_t kUpcaseTable = 0x82;
inline constexpr uint8_t kVolumeLabel = 0x83;
inline constexpr uint8_t kFile = 0x85;
inline constexpr uint8_t kVolumeGuid = 0xA0;
inline constexpr uint8_t kTexFatPadding = 0xA1;
inline constexpr uint8_t kStreamExtension = 0xC0;
inline constexpr uint8_t kFileName = 0xC1;
inline constexpr uint8_t kVendorExtension = 0xE0;
inline constexpr uint8_t kVendorAllocation = 0xE1;

// File entry (0x85): 1 u8 secondary count, 2 u16 set checksum, 4 u16
// attributes, 8 u32 created, 12 u32 modified, 16 u32 accessed, 20 u8
// created 10 ms, 21 u8 modified 10 ms, 22/23/24 u8 UTC offsets of the three.
inline constexpr size_t kSecondaryCount = 1;
inline constexpr size_t kSetChecksum = 2;
inline constexpr size_t kAttributes = 4;
inline constexpr size_t kCreated = 8;
inline constexpr size_t kModified = 12;
inline constexpr size_t kAccessed = 16;
inline constexpr size_t kCreated10ms = 20;
inline constexpr size_t kModified10ms = 21;
inline constexpr size_t kCreatedUtcOffset = 22;
inline constexpr size_t kModifiedUtcOffset = 23;
inline constexpr size_t kAccessedUtcOffset = 24;
// Stream extension (0xC0): 1 u8 flags, 3 u8 name length, 4 u16 name hash,
// 8 u64 valid data length, 20 u32 first cluster, 24 u64 data length.
inline constexpr size_t kFlags = 1;
inline constexpr size_t kNameLength = 3;
inline constexpr size_t kNameHash = 4;
inline constexpr size_t kValidDataLength = 8;
inline constexpr size_t kFirstCluster = 20;
inline constexpr size_t kDataLength = 24;
// File name (0xC1): 2 fifteen UTF-16 characters.
inline constexpr size_t kNameChars = 2;
inline constexpr size_t kCharsPerNameEntry = 15;
// Allocation bitmap (0x81): 1 u8 flags (bit 0: which FAT it goes with),
// 20 u32 first cluster, 24 u64 length. Up-case table (0x82): 4 u32 table
// checksum, 20 u32 first cluster, 24 u64 length.
inline constexpr size_t kBitmapFlags = 1;
inline constexpr size_t kTableChecksum = 4;

inline constexpr uint8_t kFlagAllocationPossible = 0x01;
inline constexpr uint8_t kFlagNoFatChain = 0x02;
inline constexpr uint16_t kAttributeDirectory = 0x10;

inline constexpr uint32_t kMaxNameLength = 255;
// A file set holds its stream extension and 1 to 17 name entries.
inline constexpr uint32_t kMinSecondaryCount = 2;
inline constexpr uint32_t kMaxSecondaryCount = 18;
inline constexpr size_t kMaxSetBytes = (1 + kMaxSecondaryCount) * kBytes;
}  // namespace entry

// One file's directory entry set: a file entry, its stream extension, its
// name entries and any further secondary entries. Plain value.
struct EntrySet {
  size_t entryCount = 0;         // 1 + secondary count
  bool deleted = false;          // every entry has its in-use bit clear
  bool checksumMatches = false;  // the set checksum (with the in-use bits as a live set has them)
  bool nameHashMatches = true;   // against the up-case table, when one was given
  uint16_t attributes = 0;
  uint8_t flags = 0;  // stream extension flags
  std::string name;   // UTF-8
  uint32_t nameLength = 0;
  uint16_t nameHash = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  uint64_t validDataLength = 0;     // clipped to dataLength
  bool validLengthTooLong = false;  // the entry's valid data length exceeded its data length
  uint64_t created = 0;             // FILETIME, local time as stored, with the 10 ms increment
  uint64_t modified = 0;
  uint64_t accessed = 0;
  // UTC offsets in minutes east of UTC, as the entry states them (not
  // applied to the times); kNoUtcOffset when the entry gives none.
  int32_t createdUtcOffset = 0;
  int32_t modifiedUtcOffset = 0;
  int32_t accessedUtcOffset = 0;

  bool IsDirectory() const { return (attributes & entry::kAttributeDirectory) != 0; }
  bool NoFatChain() const { return (flags & entry::kFlagNoFatChain) != 0; }
};

inline constexpr int32_t kNoUtcOffset = INT32_MIN;

enum class SetParse {
  kSet,        // a whole set: *out filled
  kNotASet,    // the bytes at offset begin no file set (wrong types, counts or lengths)
  kTruncated,  // they begin one whose entries run past the end of the bytes given
};

// Parses the file entry set that begins at byte offset of dir. A set is a
// file entry (0x85, or 0x05 deleted), a stream extension right after it, as
// many name entries as its name length needs, and any further secondary
// entries up to its secondary count (2 to 18), all in use or all deleted;
// the name length is 1 to 255. Its checksum is computed as a live set has
// it: a deleted set's checksum was written before its in-use bits were
// cleared. upcase (may be null) checks the name hash. Reads only dir.
SetParse ParseEntrySet(ByteView dir, size_t offset, const UpcaseTable* upcase, EntrySet* out);

// The set checksum over count entries at bytes, skipping bytes 2-3 of the
// first; with inUse the in-use bit of every type byte counts as set.
// REQUIRES: bytes holds count * 32 bytes.
uint16_t EntrySetChecksum(const uint8_t* bytes, size_t count, bool inUse);

// An exFAT timestamp (bits 0-4 two-second count, 5-10 minute, 11-15 hour,
// 16-20 day, 21-24 month, 25-31 years since 1980) plus a 10 ms increment
// (0 to 199) as FILETIME, without time-zone conversion; 0 when a field is
// out of range. An increment above 199 is ignored.
uint64_t TimestampToFileTime(uint32_t stamp, uint8_t tenMs);

// A UTC offset byte: bit 7 says whether it is valid, bits 0-6 a signed
// count of 15-minute steps. Minutes, or kNoUtcOffset.
int32_t UtcOffsetMinutes(uint8_t value);

}  // namespace engine::exfat
