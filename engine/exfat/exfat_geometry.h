// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/boot_sector_tests.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/status.h"

namespace engine::exfat {

// The layout of an exFAT volume, from the boot region chosen by
// FindExFatBootRegion and clipped to what the source really holds. Sector
// numbers are relative to the volume start and count bytesPerSector-sized
// sectors (the volume's own). Plain value.
struct ExFatGeometry {
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint64_t fatSector = 0;      // first sector of the FAT in use (the active one of two)
  uint64_t fatSectors = 0;     // sectors of one FAT
  uint64_t heapSector = 0;     // first sector of the cluster heap (cluster 2)
  uint64_t volumeSectors = 0;  // whole sectors of the volume the source holds, at most its stated length
  uint32_t clusterCount = 0;   // clusters the boot sector describes
  uint32_t rootCluster = 0;
  uint32_t activeFat = 0;  // 0 or 1: which FAT and bitmap are in use
  uint32_t volumeSerial = 0;
  // Highest cluster that lies wholly inside the volume and among the boot
  // sector's clusters; 1 when none does. Valid clusters: 2..maxCluster.
  uint32_t maxCluster = 1;
  ExFatBootRegionUsed region = ExFatBootRegionUsed::kNone;

  uint64_t ClusterBytes() const { return uint64_t{bytesPerSector} * sectorsPerCluster; }
  bool IsDataCluster(uint64_t cluster) const { return cluster >= 2 && cluster <= maxCluster; }
  // First sector of a data cluster, relative to the volume. REQUIRES: IsDataCluster(cluster).
  uint64_t ClusterSector(uint32_t cluster) const { return heapSector + uint64_t{cluster - 2} * sectorsPerCluster; }
  uint64_t ClusterOffset(uint32_t cluster) const { return ClusterSector(cluster) * bytesPerSector; }
  // The most bytes one file can own: every data cluster of the volume.
  uint64_t MaxFileBytes() const { return (maxCluster >= 2 ? uint64_t{maxCluster} - 1 : 0) * ClusterBytes(); }
  // True when the run of count clusters from first lies among the data clusters.
  bool IsDataRun(uint64_t first, uint64_t count) const {
    return count != 0 && IsDataCluster(first) && count - 1 <= maxCluster - first;
  }
};

// The geometry of the boot sector fields for a volume of volumeBytes bytes.
// False when no cluster of the heap lies inside the volume.
[[nodiscard]] bool MakeExFatGeometry(const ExFatBootSector& boot, uint64_t volumeBytes, ExFatGeometry* out);

// Reads the boot regions (the first 96 KiB, less when the volume is
// smaller) and takes the geometry of the one FindExFatBootRegion chooses.
// 0; 87 when neither region describes an exFAT volume that the source
// holds; a read error.
[[nodiscard]] Status ReadExFatGeometry(ExFatVolume& volume, ExFatGeometry* out);

}  // namespace engine::exfat
