// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/cluster/cluster_layout.h"
#include "engine/cluster/fragment_bounds.h"
#include "engine/status.h"

namespace engine::cluster {

// A file found by an old directory entry (first cluster, bytes of data)
// whose data does not follow its first cluster. group tells clusters of
// different geometries apart (0 where a volume has one).
struct PieceCandidate {
  uint32_t start = 0;
  uint64_t bytes = 0;
  std::string extension;
  int32_t group = 0;
};

// The map a candidate's clusters are read through (null: not searched).
using CandidateMap = std::function<IClusterMap*(const PieceCandidate&)>;
// Whether something known (a directory, a file whose data checks out)
// holds a cluster of the candidate's group.
using HeldCluster = std::function<bool(const PieceCandidate&, uint64_t cluster)>;
// A candidate put together: its clusters in file order.
using PiecesFound = std::function<Status(size_t index, const std::vector<uint32_t>& clusters)>;

// Searches each candidate's pieces (FragmentSearch) among the clusters its
// map does not call allocated, held does not claim and no candidate found
// earlier took, in up to three rounds while a round finds something (a
// find makes its clusters no one else's). All candidates share
// bounds.volumeBudget; a cancel ends the search (what was found stays). An
// error of found or of the usable-cluster test is returned. stats
// (optional) gets one entry per search.
[[nodiscard]] Status SearchCandidatesInPieces(const std::vector<PieceCandidate>& candidates, const CandidateMap& mapOf,
                                              const HeldCluster& held, const FragmentBounds& bounds,
                                              const PiecesFound& found, std::vector<FragmentSearchStats>* stats);

}  // namespace engine::cluster
