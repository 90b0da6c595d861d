// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_geometry.h"

#include <algorithm>

#include "engine/boot_sector_tests.h"
#include "engine/fat/fat_geometry.h"

namespace engine::fat {
namespace {

bool IsPowerOfTwo(uint64_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// A length in boot-sector sectors expressed in engine sectors; false when it
// is no whole number of them.
bool ToUnits(uint64_t bootSectors, uint32_t bootSectorBytes, uint32_t unitBytes, uint64_t* out) {
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(bootSectors, uint64_t{bootSectorBytes}, &bytes) || bytes % unitBytes != 0) return false;
  *out = bytes / unitBytes;
  return true;
}

// A FAT12/16 root directory of 512 entries: where a derived geometry looks
// for the root when no boot sector says its size.
constexpr uint32_t kDefaultRootSectors = 32;

}  // namespace

bool ClusterGeometry::DataStart(uint64_t* sector) const {
  return !__builtin_add_overflow(volumeStartSector, uint64_t{dataStartSector}, sector);
}

bool ClusterGeometry::ClusterSector(uint32_t cluster, uint64_t* sector) const {
  if (cluster < 2 || sectorsPerCluster == 0) return false;
  uint64_t offset = 0;
  uint64_t start = 0;
  if (__builtin_mul_overflow(uint64_t{cluster - 2}, uint64_t{sectorsPerCluster}, &offset) || !DataStart(&start)) {
    return false;
  }
  uint64_t result = 0;
  if (__builtin_add_overflow(start, offset, &result)) return false;
  *sector = result;
  return true;
}

bool ClusterGeometry::ClusterHolding(uint64_t sector, uint32_t* cluster) const {
  uint64_t start = 0;
  if (sectorsPerCluster == 0 || !DataStart(&start) || sector < start) return false;
  const uint64_t index = (sector - start) / sectorsPerCluster;
  if (index > kMaxFatCluster - 2) return false;
  *cluster = static_cast<uint32_t>(index + 2);
  return true;
}

bool ClusterGeometry::ClusterAt(uint64_t sector, uint32_t* cluster) const {
  uint64_t start = 0;
  if (sectorsPerCluster == 0 || !DataStart(&start) || sector < start || (sector - start) % sectorsPerCluster != 0) {
    return false;
  }
  return ClusterHolding(sector, cluster);
}

uint64_t KnownGeometry::RootAreaEnd() const {
  uint64_t end = 0;
  return cluster.DataStart(&end) ? end : 0;
}

uint64_t KnownGeometry::RootAreaFirst() const {
  const uint64_t end = RootAreaEnd();
  if (isFat32 || end == 0) return end;
  const uint64_t length = fromBootSector ? rootDirSectors : kDefaultRootSectors;
  const uint64_t floor = cluster.volumeStartSector + 1;  // the boot sector is never root
  return end - floor > length ? end - length : std::min(floor, end);
}

void FatGeometryList::SetVolume(uint64_t volumeStartSector, uint64_t volumeSectors) {
  m_volumeStart = volumeStartSector;
  m_volumeSectors = volumeSectors;
}

void FatGeometryList::Clear() {
  m_geometries.clear();
  m_anchors.clear();
  m_nextAnchor = 0;
}

bool FatGeometryList::AddFromBootSector(ByteView boot, uint32_t sectorSize, uint64_t volumeStartSector,
                                        uint64_t volumeSectors) {
  if (!boot.Has(0, 512) || sectorSize == 0 || m_geometries.size() >= kMaxGeometries) return false;
  if (!IsFatBootSector(boot.data(), boot.size())) return false;
  FatGeometry parsed;
  uint64_t volumeBytes = 0;
  if (__builtin_mul_overflow(volumeSectors, uint64_t{sectorSize}, &volumeBytes)) return false;
  if (!ParseFatBootSector(boot, volumeBytes, &parsed)) return false;
  uint64_t spc = 0;
  uint64_t dataStart = 0;
  uint64_t rootSectors = 0;
  if (!ToUnits(parsed.sectorsPerCluster, parsed.bytesPerSector, sectorSize, &spc) ||
      !ToUnits(parsed.dataStartSector, parsed.bytesPerSector, sectorSize, &dataStart) ||
      !ToUnits(parsed.rootDirSectors, parsed.bytesPerSector, sectorSize, &rootSectors)) {
    return false;
  }
  if (spc == 0 || spc > 0xFFFFFFFFu || dataStart > 0xFFFFFFFFu || dataStart >= volumeSectors) return false;
  KnownGeometry g;
  g.cluster.sectorsPerCluster = static_cast<uint32_t>(spc);
  g.cluster.dataStartSector = static_cast<uint32_t>(dataStart);
  g.cluster.volumeStartSector = volumeStartSector;
  g.fromBootSector = true;
  g.isFat32 = parsed.type == FatType::kFat32;
  g.isFat12Or16 = !g.isFat32;
  g.rootDirSectors = static_cast<uint32_t>(rootSectors);
  g.rootCluster = g.isFat32 ? parsed.rootCluster : 0;
  m_geometries.push_back(g);
  return true;
}

bool FatGeometryList::Fits(size_t index, uint32_t cluster, uint64_t sector) const {
  uint64_t expected = 0;
  return index < m_geometries.size() && m_geometries[index].cluster.ClusterSector(cluster, &expected) &&
         expected == sector;
}

int32_t FatGeometryList::FirstFitting(uint32_t cluster, uint64_t sector) const {
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (Fits(i, cluster, sector)) return static_cast<int32_t>(i);
  }
  return -1;
}

bool FatGeometryList::Derive(const Anchor& a, const Anchor& b, uint64_t volumeStartSector, uint64_t volumeSectors,
                             ClusterGeometry* out) {
  if (a.cluster == b.cluster || a.cluster < 2 || b.cluster < 2) return false;
  const Anchor& high = a.cluster > b.cluster ? a : b;
  const Anchor& low = a.cluster > b.cluster ? b : a;
  if (high.sector <= low.sector) return false;  // clusters and sectors run the same way
  const uint64_t clusterDistance = high.cluster - low.cluster;
  const uint64_t sectorDistance = high.sector - low.sector;
  if (sectorDistance % clusterDistance != 0) return false;
  const uint64_t spc = sectorDistance / clusterDistance;
  if (!IsPowerOfTwo(spc) || spc > 128) return false;
  uint64_t lowOffset = 0;
  if (__builtin_mul_overflow(spc, uint64_t{low.cluster - 2}, &lowOffset) || lowOffset > low.sector) return false;
  const uint64_t dataStart = low.sector - lowOffset;
  // The data area begins inside the volume, behind at least its boot sector.
  if (dataStart <= volumeStartSector) return false;
  const uint64_t relative = dataStart - volumeStartSector;
  if (relative > 0xFFFFFFFFu || (volumeSectors != 0 && relative >= volumeSectors)) return false;
  out->sectorsPerCluster = static_cast<uint32_t>(spc);
  out->dataStartSector = static_cast<uint32_t>(relative);
  out->volumeStartSector = volumeStartSector;
  // Both anchors must lie where the geometry puts them.
  uint64_t check = 0;
  return out->ClusterSector(high.cluster, &check) && check == high.sector;
}

int32_t FatGeometryList::NoteDirectoryStart(uint32_t cluster, uint64_t sector) {
  const int32_t fitting = FirstFitting(cluster, sector);
  if (fitting >= 0 || cluster < 2 || cluster > kMaxFatCluster) return fitting;
  const Anchor anchor{cluster, sector};
  if (m_geometries.size() < kMaxGeometries) {
    // Newest anchors first: a derived geometry usually pairs neighbours.
    for (size_t k = 0; k < m_anchors.size(); ++k) {
      const size_t index = (m_nextAnchor + m_anchors.size() - 1 - k) % m_anchors.size();
      ClusterGeometry derived;
      if (!Derive(anchor, m_anchors[index], m_volumeStart, m_volumeSectors, &derived)) continue;
      KnownGeometry g;
      g.cluster = derived;
      m_geometries.push_back(g);
      break;
    }
  }
  if (m_anchors.size() < kMaxAnchors) {
    m_anchors.push_back(anchor);
    m_nextAnchor = m_anchors.size() % kMaxAnchors;
  } else {
    m_anchors[m_nextAnchor] = anchor;
    m_nextAnchor = (m_nextAnchor + 1) % kMaxAnchors;
  }
  return FirstFitting(cluster, sector);
}

}  // namespace engine::fat
