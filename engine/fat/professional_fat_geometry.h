// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"

// Cluster geometries of a FAT volume whose boot sector and tables cannot be
// trusted: taken from a boot sector that still passes the FAT test, or
// derived from where two directories lie (each directory's "." entry names
// its own cluster). Sector numbers here count sectors of the unit the
// professional FAT engine reads in (the source's sector size) and are
// absolute unless a name says "relative".
namespace engine::fat {

// Where clusters lie: cluster c >= 2 starts at volumeStartSector +
// dataStartSector + (c - 2) * sectorsPerCluster. 16 bytes.
struct ClusterGeometry {
  uint32_t sectorsPerCluster = 0;
  uint32_t dataStartSector = 0;    // relative to the volume start
  uint64_t volumeStartSector = 0;  // absolute

  // First sector of cluster (>= 2); false for clusters 0 and 1 and when the
  // sector number does not fit 64 bits.
  bool ClusterSector(uint32_t cluster, uint64_t* sector) const;
  // The cluster whose first sector is sector; false when sector lies before
  // the data area or inside a cluster.
  bool ClusterAt(uint64_t sector, uint32_t* cluster) const;
  // The cluster that holds sector (any sector of it); false before the data area.
  bool ClusterHolding(uint64_t sector, uint32_t* cluster) const;
  // Absolute first sector of the data area; false when it does not fit 64 bits.
  bool DataStart(uint64_t* sector) const;
};
static_assert(sizeof(ClusterGeometry) == 16);

// Highest cluster number a FAT entry can hold (28 bits, below the marks).
inline constexpr uint32_t kMaxFatCluster = 0x0FFFFFF6;

// One geometry the scan knows, with what its source told besides.
struct KnownGeometry {
  ClusterGeometry cluster;
  bool fromBootSector = false;
  bool isFat32 = false;         // the boot sector says FAT32
  bool isFat12Or16 = false;     // the boot sector says FAT12 or FAT16
  uint32_t rootDirSectors = 0;  // FAT12/16: the fixed root directory's length (boot sector)
  uint32_t rootCluster = 0;     // FAT32: the root directory's first cluster (boot sector)
  // The sectors that may hold a FAT12/FAT16 root directory, [first, end):
  // the boot sector's root area, or for a derived geometry the 32 sectors
  // before the data area (a root of 512 entries; smaller ones lie inside).
  // Empty for a FAT32 boot sector.
  uint64_t RootAreaFirst() const;
  uint64_t RootAreaEnd() const;
};

// The geometries known so far, in the order found (a boot sector's first).
// Anchors are directory starts no known geometry placed; every new anchor is
// paired with the most recent ones to derive a geometry. Bounded: at most
// kMaxGeometries geometries and kMaxAnchors anchors (the oldest anchors are
// forgotten), so a volume full of directory-looking sectors costs bounded
// memory and time per sector. One thread at a time.
class FatGeometryList {
 public:
  static constexpr size_t kMaxGeometries = 64;
  static constexpr size_t kMaxAnchors = 256;

  struct Anchor {
    uint32_t cluster = 0;
    uint64_t sector = 0;
  };

  // Adds the geometry of a boot sector (at least 512 bytes of it) when it
  // passes the FAT test and its layout can be expressed in sectors of
  // sectorSize bytes; volumeSectors bounds the volume. False otherwise.
  bool AddFromBootSector(ByteView boot, uint32_t sectorSize, uint64_t volumeStartSector, uint64_t volumeSectors);

  // A directory start with own cluster `cluster` found at absolute sector:
  // when no known geometry places it, it becomes an anchor and is paired with
  // the stored anchors (newest first) until a geometry is derived. Returns
  // the index of the first geometry that places it afterwards, or -1.
  int32_t NoteDirectoryStart(uint32_t cluster, uint64_t sector);

  // Index of the first geometry that places a directory of own cluster
  // `cluster` at sector, or -1.
  int32_t FirstFitting(uint32_t cluster, uint64_t sector) const;
  bool Fits(size_t index, uint32_t cluster, uint64_t sector) const;

  // The geometry two anchors imply, in a volume that starts at
  // volumeStartSector and holds volumeSectors sectors: sectorsPerCluster =
  // sector distance / cluster distance, exactly, a power of two up to 128;
  // the data area must start inside the volume, after its first sector, and
  // both anchors must agree on it. False when they imply none.
  static bool Derive(const Anchor& a, const Anchor& b, uint64_t volumeStartSector, uint64_t volumeSectors,
                     ClusterGeometry* out);

  void SetVolume(uint64_t volumeStartSector, uint64_t volumeSectors);
  void Clear();

  size_t Size() const { return m_geometries.size(); }
  const KnownGeometry& At(size_t index) const { return m_geometries[index]; }
  const std::vector<KnownGeometry>& All() const { return m_geometries; }
  size_t AnchorCount() const { return m_anchors.size(); }

 private:
  std::vector<KnownGeometry> m_geometries;
  std::vector<Anchor> m_anchors;  // ring of the newest kMaxAnchors
  size_t m_nextAnchor = 0;
  uint64_t m_volumeStart = 0;
  uint64_t m_volumeSectors = 0;
};

}  // namespace engine::fat
