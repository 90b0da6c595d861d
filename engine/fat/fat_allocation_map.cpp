// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_allocation_map.h"

#include <algorithm>

namespace engine::fat {

void FatAllocationMap::Mark(uint32_t cluster) {
  if (cluster < 2 || cluster > m_maxCluster) return;
  const uint32_t bit = cluster - 2;
  m_bits[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
}

bool FatAllocationMap::IsAllocated(uint32_t cluster) const {
  if (cluster < 2 || cluster > m_maxCluster) return true;
  const uint32_t bit = cluster - 2;
  return (m_bits[bit / 8] & (1u << (bit % 8))) != 0;
}

Status FatAllocationMap::Build(FatTable& fat) {
  const FatGeometry& g = fat.Geometry();
  m_maxCluster = g.maxCluster;
  const uint64_t clusters = m_maxCluster >= 2 ? static_cast<uint64_t>(m_maxCluster) - 1 : 0;
  m_bits.assign(static_cast<size_t>((clusters + 7) / 8), 0);
  for (uint64_t c = 2; c <= m_maxCluster; ++c) {
    uint32_t value = 0;
    if (fat.Entry(static_cast<uint32_t>(c), &value) != kStatusOk) continue;
    if (value == 0) continue;
    Mark(static_cast<uint32_t>(c));
    if (value < g.EndOfChainMin()) Mark(value);
  }
  m_built = true;
  return kStatusOk;
}

void FatAllocationMap::NextFreeExtent(const FatGeometry& g, uint64_t* inoutSector, uint64_t* outSectorCount) const {
  const uint64_t end = g.volumeSectors;
  if (*inoutSector >= end) {
    *inoutSector = end;
    return;
  }
  uint64_t position = *inoutSector;
  uint64_t cluster = 2;
  if (position < g.dataStartSector) {
    position = g.dataStartSector;
  } else {
    cluster = 2 + (position - g.dataStartSector) / g.sectorsPerCluster;
  }
  // Find the first clear bit at or after cluster, skipping full bytes.
  uint64_t free = 0;
  uint64_t c = cluster;
  while (c <= m_maxCluster) {
    const uint64_t bit = c - 2;
    if (bit % 8 == 0 && m_bits[bit / 8] == 0xFF) {
      c += 8;
      continue;
    }
    if ((m_bits[bit / 8] & (1u << (bit % 8))) == 0) {
      free = c;
      break;
    }
    ++c;
  }
  if (free == 0) {
    *inoutSector = end;
    *outSectorCount = 0;
    return;
  }
  if (free != cluster) position = g.ClusterSector(static_cast<uint32_t>(free));
  uint64_t last = free;
  while (last + 1 <= m_maxCluster && !IsAllocated(static_cast<uint32_t>(last + 1))) ++last;
  const uint64_t runEnd = std::min(end, g.dataStartSector + (last - 1) * g.sectorsPerCluster);
  *inoutSector = position;
  *outSectorCount = runEnd > position ? runEnd - position : 0;
}

}  // namespace engine::fat
