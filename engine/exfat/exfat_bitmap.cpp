// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_bitmap.h"

#include <algorithm>

namespace engine::exfat {

void ExFatBitmap::Assign(std::vector<uint8_t> bytes, uint32_t maxCluster) {
  m_maxCluster = maxCluster;
  const uint64_t clusters = maxCluster >= 2 ? uint64_t{maxCluster} - 1 : 0;
  const size_t needed = static_cast<size_t>((clusters + 7) / 8);
  if (bytes.size() > needed) bytes.resize(needed);
  m_bits = std::move(bytes);
}

bool ExFatBitmap::IsAllocated(uint64_t cluster) const {
  if (cluster < 2 || cluster > m_maxCluster) return true;
  const uint64_t bit = cluster - 2;
  if (bit / 8 >= m_bits.size()) return true;
  return (m_bits[static_cast<size_t>(bit / 8)] >> (bit % 8) & 1) != 0;
}

void ExFatBitmap::NextFreeExtent(const ExFatGeometry& g, uint64_t* inoutSector, uint64_t* outSectorCount) const {
  const uint64_t end = g.volumeSectors;
  if (*inoutSector >= end) {
    *inoutSector = end;
    return;
  }
  uint64_t position = std::max(*inoutSector, g.heapSector);
  uint64_t cluster = 2 + (position - g.heapSector) / g.sectorsPerCluster;
  // The first free cluster at or after it, skipping bytes that are full.
  uint64_t free = 0;
  for (uint64_t c = cluster; c <= m_maxCluster;) {
    const uint64_t bit = c - 2;
    const size_t byte = static_cast<size_t>(bit / 8);
    if (byte >= m_bits.size()) break;
    if (bit % 8 == 0 && m_bits[byte] == 0xFF) {
      c += 8;
      continue;
    }
    if (!IsAllocated(c)) {
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
  if (free != cluster) position = g.heapSector + (free - 2) * g.sectorsPerCluster;
  uint64_t last = free;
  while (last + 1 <= m_maxCluster && !IsAllocated(last + 1)) ++last;
  const uint64_t runEnd = std::min(end, g.heapSector + (last - 1) * g.sectorsPerCluster);
  *inoutSector = position;
  *outSectorCount = runEnd > position ? runEnd - position : 0;
}

}  // namespace engine::exfat
