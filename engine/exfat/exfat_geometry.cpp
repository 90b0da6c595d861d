// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_geometry.h"

#include <algorithm>
#include <vector>

namespace engine::exfat {
namespace {

// Volume flag bit 0: the second FAT and bitmap are the active ones.
constexpr uint16_t kActiveFatFlag = 0x0001;
// The boot regions are read in pieces of this size.
constexpr size_t kPieceBytes = 4096;

}  // namespace

bool MakeExFatGeometry(const ExFatBootSector& boot, uint64_t volumeBytes, ExFatGeometry* out) {
  ExFatGeometry g;
  g.bytesPerSector = boot.BytesPerSector();
  g.sectorsPerCluster = boot.SectorsPerCluster();
  g.activeFat = (boot.fatCount == 2 && (boot.volumeFlags & kActiveFatFlag) != 0) ? 1 : 0;
  g.fatSectors = boot.fatLength;
  g.fatSector = uint64_t{boot.fatOffset} + uint64_t{g.activeFat} * boot.fatLength;
  g.heapSector = boot.clusterHeapOffset;
  g.clusterCount = boot.clusterCount;
  g.rootCluster = boot.rootCluster;
  g.volumeSerial = boot.volumeSerial;
  g.volumeSectors = std::min<uint64_t>(boot.volumeLength, volumeBytes / g.bytesPerSector);
  if (g.volumeSectors <= g.heapSector) return false;
  const uint64_t inVolume = (g.volumeSectors - g.heapSector) / g.sectorsPerCluster;
  const uint64_t highest = std::min<uint64_t>(uint64_t{g.clusterCount} + 1, inVolume + 1);
  if (highest < 2) return false;
  g.maxCluster = static_cast<uint32_t>(highest);
  *out = g;
  return true;
}

Status ReadExFatGeometry(ExFatVolume& volume, ExFatGeometry* out) {
  const size_t bytes = static_cast<size_t>(std::min<uint64_t>(kExFatBootRegionsBytes, volume.VolumeBytes()));
  if (bytes < 512) return kStatusInvalidParameter;
  // Piece by piece: a sector that cannot be read reads as zeros, which fails
  // the region it lies in, so that the other region can still serve.
  std::vector<uint8_t> head(bytes, 0);
  Status firstError = kStatusOk;
  bool anyRead = false;
  for (size_t at = 0; at < bytes; at += kPieceBytes) {
    const size_t n = std::min(kPieceBytes, bytes - at);
    const Status s = volume.Read(at, head.data() + at, n);
    if (s == kStatusOk) {
      anyRead = true;
    } else {
      std::fill(head.begin() + static_cast<std::ptrdiff_t>(at), head.begin() + static_cast<std::ptrdiff_t>(at + n), 0);
      if (firstError == kStatusOk) firstError = s;
    }
  }
  if (!anyRead) return firstError;
  ExFatBootSector boot;
  const ExFatBootRegionUsed region = FindExFatBootRegion(head.data(), head.size(), &boot);
  if (region == ExFatBootRegionUsed::kNone) return kStatusInvalidParameter;
  ExFatGeometry g;
  if (!MakeExFatGeometry(boot, volume.VolumeBytes(), &g)) return kStatusInvalidParameter;
  g.region = region;
  *out = g;
  return kStatusOk;
}

}  // namespace engine::exfat
