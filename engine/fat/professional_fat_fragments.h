// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/cluster/fragment_bounds.h"
#include "engine/fat/professional_fat_geometry.h"
#include "engine/live_allocation.h"
#include "engine/store/scan_store.h"
#include "engine/volume_sectors.h"

namespace engine::fat {

// A file the professional FAT engine found (a directory entry's first
// cluster and size) whose data does not follow its first cluster: the
// clusters after it fail the file's check.
struct FatPieceCandidate {
  int32_t id = 0;  // its record in the store
  int32_t geometry = -1;
  uint32_t start = 0;
  uint64_t size = 0;
  std::string extension;
};

// Clusters [first, last] of a geometry that hold something known: a
// directory, or a file that was in use whose data checks out.
struct FatHeldClusters {
  int32_t geometry = -1;
  uint32_t first = 0;
  uint32_t last = 0;
};

// Searches each candidate's pieces (cluster::FragmentSearch) among the
// clusters the volume's live file system does not hold (live: null or not
// known: none), no held range covers and no file found earlier took. A file
// found whole gets its layout (clusters, in file order) in the store and is
// rewritten intact. All candidates share bounds.volumeBudget. A store or
// read error of the usable-cluster test is returned; a file not found
// stays as it was. stats (optional) gets one entry per file searched.
[[nodiscard]] Status SearchFatFilesInPieces(VolumeSectors& volume, const FatGeometryList& geometries,
                                            const LiveAllocation* live, std::vector<FatHeldClusters> held,
                                            const std::vector<FatPieceCandidate>& candidates,
                                            const cluster::FragmentBounds& bounds, store::ScanStore& st,
                                            std::vector<cluster::FragmentSearchStats>* stats);

}  // namespace engine::fat
