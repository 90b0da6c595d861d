// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine {

// FAT directory entry, 32 bytes:
//   0 name[8]  8 ext[3]  11 attribute  13 hundredths (long name: checksum)
//   14 creation time  16 creation date  18 last-access date  20 cluster high
//   22 write time  24 write date  26 cluster low  28 size
// Long-name entries: sequence byte 0, UTF-16 characters at 1-10, 14-25, 28-31.
namespace fat_entry {
inline constexpr size_t kBytes = 32;
inline constexpr size_t kAttribute = 11;
inline constexpr size_t kHundredths = 13;
inline constexpr size_t kLongNameChecksum = 13;
inline constexpr size_t kCreateTime = 14;
inline constexpr size_t kCreateDate = 16;
inline constexpr size_t kAccessDate = 18;
inline constexpr size_t kClusterHigh = 20;
inline constexpr size_t kWriteTime = 22;
inline constexpr size_t kWriteDate = 24;
inline constexpr size_t kClusterLow = 26;
inline constexpr size_t kSize = 28;
inline constexpr uint8_t kReadOnly = 0x01;
inline constexpr uint8_t kVolumeLabel = 0x08;
inline constexpr uint8_t kLongName = 0x0F;
inline constexpr uint8_t kDirectory = 0x10;
inline constexpr uint8_t kArchive = 0x20;
inline constexpr uint8_t kDeletedMark = 0xE5;
}  // namespace fat_entry

// The three times of an entry as FILETIMEs, local time as stored; a field
// that does not convert is 0.
struct FatEntryTimes {
  uint64_t created = 0;
  uint64_t accessed = 0;
  uint64_t modified = 0;
};
FatEntryTimes ConvertEntryTimes(const uint8_t* entry);

// Whether 32 bytes are a believable directory entry. next is the entry after
// it, or null when entry is the last of its buffer.
bool IsValidDirEntry(const uint8_t* entry, const uint8_t* next);

// First entry "." and second ".." (directory bit, size 0). length >= 64 needed.
bool IsDirectoryStart(const uint8_t* sector, size_t length);

// Whether a buffer of 32-byte entries is a FAT directory sector. A buffer
// shorter than 32 bytes passes.
bool IsDirectorySector(const uint8_t* buffer, size_t length);

// The standard long-name checksum of an 11-byte short name.
uint8_t ShortNameChecksum(const uint8_t* name11);

}  // namespace engine
