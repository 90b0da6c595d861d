// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/cluster/fragment_bounds.h"
#include "engine/exfat/exfat_deep_geometry.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/live_allocation.h"
#include "engine/store/scan_store.h"

namespace engine::exfat {

// A file the professional exFAT engine found (an old entry set's first
// cluster and valid length) whose data does not follow its first cluster.
struct ExFatPieceCandidate {
  int32_t id = 0;  // its record in the store
  uint32_t start = 0;
  uint64_t validBytes = 0;
  std::string extension;
};

// Searches each candidate's pieces among the heap's clusters (2..maxCluster)
// the live file system (if known) does not hold and held (sorted, joined
// [first, last] ranges of directories and of files in use whose data checks
// out) does not cover (cluster::SearchCandidatesInPieces). A file found gets
// its runs in the store (ItemData, no chain) and is rewritten intact.
[[nodiscard]] Status SearchExFatFilesInPieces(ExFatVolume& volume, const DeepGeometry& geometry, uint32_t maxCluster,
                                              const LiveAllocation* live,
                                              std::vector<std::pair<uint32_t, uint32_t>> held,
                                              const std::vector<ExFatPieceCandidate>& candidates,
                                              const cluster::FragmentBounds& bounds, store::ScanStore& st,
                                              std::vector<cluster::FragmentSearchStats>* stats);

}  // namespace engine::exfat
