// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/byte_view.h"

namespace engine::fat {

// Boot sector (BIOS parameter block) fields the engine reads; all little-endian.
namespace boot {
inline constexpr size_t kBytesPerSector = 11;     // u16
inline constexpr size_t kSectorsPerCluster = 13;  // u8
inline constexpr size_t kReservedSectors = 14;    // u16
inline constexpr size_t kFatCount = 16;           // u8
inline constexpr size_t kRootEntryCount = 17;     // u16, 0 on FAT32
inline constexpr size_t kTotalSectors16 = 19;     // u16, 0 when the count needs 32 bits
inline constexpr size_t kFatSize16 = 22;          // u16, 0 on FAT32
inline constexpr size_t kTotalSectors32 = 32;     // u32
inline constexpr size_t kFatSize32 = 36;          // u32, FAT32 only
inline constexpr size_t kRootCluster = 44;        // u32, FAT32 only
inline constexpr size_t kBootBytes = 4096;        // what the engine reads at the volume start
}  // namespace boot

enum class FatType { kFat12, kFat16, kFat32 };

// The layout of a FAT volume, taken from its boot sector and clipped to what
// the source really holds. Sector numbers are relative to the volume start and
// count bytesPerSector-sized sectors. Plain value.
struct FatGeometry {
  FatType type = FatType::kFat16;
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint64_t fatStartSector = 0;   // first sector of the first FAT
  uint64_t fatSectors = 0;       // sectors of one FAT
  uint64_t rootDirSector = 0;    // FAT12/16: first sector of the fixed root directory
  uint64_t rootDirSectors = 0;   // FAT12/16: its length (0 on FAT32)
  uint64_t dataStartSector = 0;  // first sector of cluster 2
  uint64_t totalSectors = 0;     // as the boot sector says
  uint64_t volumeSectors = 0;    // whole sectors the source holds for the volume
  uint32_t rootCluster = 0;      // FAT32: first cluster of the root directory; 0 otherwise
  uint32_t clusterCount = 0;     // data clusters the boot sector describes
  // Highest cluster number that lies wholly inside the volume and has a FAT
  // entry; 1 when no data cluster is readable. Valid clusters: 2..maxCluster.
  uint32_t maxCluster = 1;

  uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
  bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= maxCluster; }
  // First sector of a data cluster. REQUIRES: IsDataCluster(cluster).
  uint64_t ClusterSector(uint32_t cluster) const {
    return dataStartSector + static_cast<uint64_t>(cluster - 2) * sectorsPerCluster;
  }
  // Entries at or above this value end a chain (bad-cluster marks included).
  uint32_t EndOfChainMin() const;
  // Width mask of a FAT entry: 12, 16 or 28 bits.
  uint32_t EntryMask() const;
  // Byte offset of cluster's entry inside the FAT.
  uint64_t EntryByteOffset(uint32_t cluster) const;
  uint64_t FatBytes() const { return fatSectors * bytesPerSector; }
};

// Reads the geometry from a boot sector. volumeBytes is the size of the
// volume as the source holds it (used to clip maxCluster). False when the
// fields cannot describe a FAT volume: bytes per sector not 512..4096 and a
// power of two, sectors per cluster 0 or not a power of two, no reserved
// sector, no FAT, a FAT of 0 sectors, no total sector count, or a data area
// that starts at or after the end the boot sector declares.
[[nodiscard]] bool ParseFatBootSector(ByteView bootSector, uint64_t volumeBytes, FatGeometry* out);

}  // namespace engine::fat
