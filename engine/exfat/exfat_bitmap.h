// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/exfat/exfat_geometry.h"

namespace engine::exfat {

// The allocation bitmap of an exFAT volume: bit k (byte k / 8, bit k % 8,
// least significant first) stands for cluster k + 2; 1 = in use. It is the
// volume's own free-space map (the FAT says nothing about unchained
// streams). Clusters past its end count as in use. Plain value.
class ExFatBitmap {
 public:
  // Takes the bitmap's bytes for a volume of `maxCluster` clusters; bytes
  // past what those clusters need are dropped.
  void Assign(std::vector<uint8_t> bytes, uint32_t maxCluster);
  void Clear() { m_bits.clear(); }
  bool IsLoaded() const { return !m_bits.empty(); }
  bool IsAllocated(uint64_t cluster) const;
  const std::vector<uint8_t>& Bytes() const { return m_bits; }

  // From *inoutSector (relative to the volume, in its own sectors) moves to
  // the first sector of the first free cluster at or after it (staying put
  // inside a free cluster) and sets *outSectorCount to the sectors from
  // there to the end of that run of free clusters, clipped to the volume.
  // Sectors before the cluster heap count as in use. At or past the
  // volume's end: *inoutSector = volume sectors, the count left alone. No
  // free cluster left: *inoutSector = volume sectors, count 0.
  void NextFreeExtent(const ExFatGeometry& geometry, uint64_t* inoutSector, uint64_t* outSectorCount) const;

 private:
  std::vector<uint8_t> m_bits;
  uint32_t m_maxCluster = 1;
};

}  // namespace engine::exfat
