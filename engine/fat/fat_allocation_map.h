// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/fat/fat_geometry.h"
#include "engine/fat/fat_table.h"

namespace engine::fat {

// Which data clusters are in use: bit k (byte k / 8, bit k % 8, least
// significant first) stands for cluster k + 2; 1 = allocated. Built from the
// FAT; its size follows the clusters that really lie inside the volume.
class FatAllocationMap {
 public:
  // Marks every cluster whose entry is set, and every valid link target. A
  // cluster whose entry cannot be read is left clear. Returns 0.
  Status Build(FatTable& fat);
  bool IsBuilt() const { return m_built; }
  bool IsAllocated(uint32_t cluster) const;

  // From *inoutSector (relative to the volume) moves to the first sector of
  // the first free cluster at or after it (staying put inside a free
  // cluster) and sets *outSectorCount to the sectors from there to the end of
  // that run of free clusters. Sectors before the data area count as in use.
  // At or past the volume's end: *inoutSector = volume sectors and the count
  // is left alone. No free cluster left: *inoutSector = volume sectors and
  // the count 0.
  void NextFreeExtent(const FatGeometry& geometry, uint64_t* inoutSector, uint64_t* outSectorCount) const;

  const std::vector<uint8_t>& Bits() const { return m_bits; }

 private:
  void Mark(uint32_t cluster);
  std::vector<uint8_t> m_bits;
  uint32_t m_maxCluster = 1;
  bool m_built = false;
};

}  // namespace engine::fat
