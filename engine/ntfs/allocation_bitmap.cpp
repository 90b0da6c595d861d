// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/allocation_bitmap.h"

#include <algorithm>

namespace engine::ntfs {

bool AllocationBitmap::IsUsed(uint64_t cluster) const {
  if (cluster >= ClusterCount()) return true;
  return (m_bytes[cluster >> 3] >> (cluster & 7)) & 1;
}

uint64_t AllocationBitmap::FindCluster(uint64_t from, bool used) const {
  const uint64_t end = ClusterCount();
  uint64_t c = from;
  // Bit by bit up to a byte boundary, then whole bytes that hold no match.
  while (c < end && (c & 7) != 0) {
    if (IsUsed(c) == used) return c;
    ++c;
  }
  const uint8_t skip = used ? 0x00 : 0xFF;
  while (c < end && m_bytes[c >> 3] == skip) c += 8;
  while (c < end) {
    if (IsUsed(c) == used) return c;
    ++c;
  }
  return end;
}

int32_t AllocationBitmap::NextFreeExtent(uint64_t sectorCount, uint32_t sectorsPerCluster, uint64_t* inoutSector,
                                         uint64_t* outSectorCount) const {
  *outSectorCount = 0;
  if (*inoutSector >= sectorCount || sectorsPerCluster == 0) {
    *inoutSector = sectorCount;
    return 1;
  }
  uint64_t cluster = *inoutSector / sectorsPerCluster;
  if (IsUsed(cluster)) {
    const uint64_t free = FindCluster(cluster, false);
    if (free >= ClusterCount()) return 1;  // nothing free follows
    cluster = free;
    *inoutSector = cluster * sectorsPerCluster;
    if (*inoutSector >= sectorCount) {
      *inoutSector = sectorCount;
      return 1;
    }
  }
  const uint64_t used = FindCluster(cluster, true);
  const uint64_t length = (used - cluster) * sectorsPerCluster - (*inoutSector - cluster * sectorsPerCluster);
  *outSectorCount = std::min<uint64_t>(length, sectorCount - *inoutSector);
  return 1;
}

bool AllocationBitmap::AnyUsed(uint64_t first, uint64_t count) const {
  if (count == 0) return false;
  if (first >= ClusterCount() || count > ClusterCount() - first) return true;
  return FindCluster(first, true) < first + count;
}

}  // namespace engine::ntfs
