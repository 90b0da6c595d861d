// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_geometry.h"

#include <algorithm>

namespace engine::fat {
namespace {

bool IsPowerOfTwo(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// Below this many clusters a volume with a 16-bit FAT size is FAT12.
constexpr uint32_t kFat12ClusterLimit = 4085;

uint32_t HighestClusterOf(FatType type) {
  switch (type) {
    case FatType::kFat12: return 0xFF6;
    case FatType::kFat16: return 0xFFF6;
    case FatType::kFat32: return 0x0FFFFFF6;
  }
  return 0;
}

}  // namespace

uint32_t FatGeometry::EndOfChainMin() const {
  switch (type) {
    case FatType::kFat12: return 0xFF7;
    case FatType::kFat16: return 0xFFF7;
    case FatType::kFat32: return 0x0FFFFFF7;
  }
  return 0;
}

uint32_t FatGeometry::EntryMask() const {
  switch (type) {
    case FatType::kFat12: return 0xFFF;
    case FatType::kFat16: return 0xFFFF;
    case FatType::kFat32: return 0x0FFFFFFF;
  }
  return 0;
}

uint64_t FatGeometry::EntryByteOffset(uint32_t cluster) const {
  switch (type) {
    case FatType::kFat12: return static_cast<uint64_t>(cluster) + cluster / 2;
    case FatType::kFat16: return static_cast<uint64_t>(cluster) * 2;
    case FatType::kFat32: return static_cast<uint64_t>(cluster) * 4;
  }
  return 0;
}

bool ParseFatBootSector(ByteView bs, uint64_t volumeBytes, FatGeometry* out) {
  if (!bs.Has(0, 512)) return false;
  FatGeometry g;
  g.bytesPerSector = bs.U16(boot::kBytesPerSector);
  g.sectorsPerCluster = bs.U8(boot::kSectorsPerCluster);
  const uint32_t reserved = bs.U16(boot::kReservedSectors);
  const uint32_t fatCount = bs.U8(boot::kFatCount);
  const uint32_t rootEntries = bs.U16(boot::kRootEntryCount);
  const uint32_t fatSize16 = bs.U16(boot::kFatSize16);
  const uint32_t fatSize32 = bs.U32(boot::kFatSize32);
  const uint32_t total16 = bs.U16(boot::kTotalSectors16);
  const uint32_t total32 = bs.U32(boot::kTotalSectors32);

  if (g.bytesPerSector < 512 || g.bytesPerSector > 4096 || !IsPowerOfTwo(g.bytesPerSector)) return false;
  if (!IsPowerOfTwo(g.sectorsPerCluster) || g.sectorsPerCluster > 128) return false;
  if (reserved == 0 || fatCount == 0) return false;
  const bool isFat32 = fatSize16 == 0;
  g.fatSectors = isFat32 ? fatSize32 : fatSize16;
  if (g.fatSectors == 0) return false;
  g.totalSectors = total32 != 0 ? total32 : total16;
  if (g.totalSectors == 0) return false;

  g.fatStartSector = reserved;
  const uint64_t fatArea = static_cast<uint64_t>(fatCount) * g.fatSectors;
  g.rootDirSectors = isFat32 ? 0 : (static_cast<uint64_t>(rootEntries) * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
  g.rootDirSector = reserved + fatArea;
  g.dataStartSector = g.rootDirSector + g.rootDirSectors;
  if (g.dataStartSector >= g.totalSectors) return false;

  const uint64_t clusters = (g.totalSectors - g.dataStartSector) / g.sectorsPerCluster;
  g.clusterCount = static_cast<uint32_t>(std::min<uint64_t>(clusters, 0xFFFFFFF0u));
  if (isFat32) {
    g.type = FatType::kFat32;
    g.rootCluster = bs.U32(boot::kRootCluster) & 0x0FFFFFFF;
  } else {
    g.type = g.clusterCount < kFat12ClusterLimit ? FatType::kFat12 : FatType::kFat16;
  }

  // Clip the usable clusters to the source, to the FAT's own capacity and to
  // the numbers the FAT type can express.
  g.volumeSectors = std::min<uint64_t>(g.totalSectors, volumeBytes / g.bytesPerSector);
  uint64_t highest = static_cast<uint64_t>(g.clusterCount) + 1;
  const uint64_t inVolume =
      g.volumeSectors > g.dataStartSector ? (g.volumeSectors - g.dataStartSector) / g.sectorsPerCluster : 0;
  highest = std::min<uint64_t>(highest, inVolume + 1);
  uint64_t fatEntries = 0;
  switch (g.type) {
    case FatType::kFat12: fatEntries = g.FatBytes() * 2 / 3; break;
    case FatType::kFat16: fatEntries = g.FatBytes() / 2; break;
    case FatType::kFat32: fatEntries = g.FatBytes() / 4; break;
  }
  if (fatEntries == 0) return false;
  highest = std::min<uint64_t>(highest, fatEntries - 1);
  highest = std::min<uint64_t>(highest, HighestClusterOf(g.type));
  g.maxCluster = static_cast<uint32_t>(std::max<uint64_t>(highest, 1));
  *out = g;
  return true;
}

}  // namespace engine::fat
