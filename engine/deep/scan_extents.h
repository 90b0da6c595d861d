// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/metadata_runs.h"

namespace engine::deep {

// A run of sectors relative to the volume's start.
struct SectorExtent {
  uint64_t start = 0;
  uint64_t count = 0;
};

// The parts of a volume a deep scan reads, sorted and disjoint, in the
// coordinator's sectors. Memory: one extent per run of free space.
class ScanExtents {
 public:
  // The whole volume.
  void SetWhole(uint64_t sectorCount);
  // The free space a fast engine maps (GetNextFreeExtent from sector 0 on,
  // its sectors fastSectorBytes long), clipped to the volume's sectorCount
  // sectors of sectorBytes. False, with the list empty, when the engine
  // does not map free space (it answers 0). The walk never loops: the
  // length is cleared before every call and the walk ends when an extent
  // is empty or does not lie past the previous one.
  bool CollectFree(IFileRecoveryParse& fast, uint32_t fastSectorBytes, uint32_t sectorBytes, uint64_t sectorCount);
  // Leaves out every sector that lies wholly inside one of runs (byte runs
  // relative to the volume, sorted and disjoint).
  void Subtract(const std::vector<ByteRun>& runs, uint32_t sectorBytes);

  // Adds the sectors from fileSystemSectors to sectorCount: what lies past
  // the file system's end in its partition or image (the data of an older,
  // larger volume) is read as well. Nothing when the file system fills it.
  void AddPastEnd(uint64_t fileSystemSectors, uint64_t sectorCount);

  void Assign(std::vector<SectorExtent> extents) { m_extents = std::move(extents); }
  const std::vector<SectorExtent>& Extents() const { return m_extents; }
  uint64_t TotalSectors() const;

 private:
  void Append(uint64_t start, uint64_t count);

  std::vector<SectorExtent> m_extents;
};

}  // namespace engine::deep
