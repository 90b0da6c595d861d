// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

namespace engine::ntfs {

// The volume's cluster bitmap ($Bitmap): bit c (byte c >> 3, bit c & 7) is
// cluster c, set = in use. Clusters past the bitmap's end count as in use.
class AllocationBitmap {
 public:
  void Assign(std::vector<uint8_t> bytes) { m_bytes = std::move(bytes); }
  void Clear() { m_bytes.clear(); }
  bool Empty() const { return m_bytes.empty(); }
  uint64_t ClusterCount() const { return static_cast<uint64_t>(m_bytes.size()) * 8; }
  bool IsUsed(uint64_t cluster) const;
  // True when a cluster of [first, first + count) is in use (or past the bitmap).
  bool AnyUsed(uint64_t first, uint64_t count) const;

  // Free-extent walk in sectors relative to the volume (sectorCount sectors,
  // sectorsPerCluster > 0). Always returns 1. At or past the end:
  // *inoutSector = sectorCount, *outSectorCount = 0. Otherwise a sector in a
  // used cluster moves to the first sector of the next free cluster (it stays
  // put when none follows, with length 0), and *outSectorCount is the length
  // of the free run from *inoutSector up to the next used cluster or the
  // bitmap's end, clipped to the volume.
  int32_t NextFreeExtent(uint64_t sectorCount, uint32_t sectorsPerCluster, uint64_t* inoutSector,
                         uint64_t* outSectorCount) const;

 private:
  // First cluster at or after `from` whose bit equals `used`, or ClusterCount().
  uint64_t FindCluster(uint64_t from, bool used) const;
  std::vector<uint8_t> m_bytes;
};

}  // namespace engine::ntfs
