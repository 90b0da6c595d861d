// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/cluster/fragment_rounds.h"

#include <chrono>
#include <unordered_set>

#include "engine/cluster/fragment_search.h"

namespace engine::cluster {
namespace {

constexpr int kRounds = 3;

}  // namespace

Status SearchCandidatesInPieces(const std::vector<PieceCandidate>& candidates, const CandidateMap& mapOf,
                                const HeldCluster& held, const FragmentBounds& bounds, const PiecesFound& found,
                                std::vector<FragmentSearchStats>* stats) {
  std::unordered_set<uint64_t> taken;  // (group << 32) | cluster of files put together here
  std::chrono::microseconds spent{0};
  std::vector<uint8_t> done(candidates.size(), 0);
  bool foundAny = true;
  for (int round = 0; round < kRounds && foundAny; ++round) {
    foundAny = false;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (done[i] != 0) continue;
      const PieceCandidate& c = candidates[i];
      IClusterMap* map = CanReassemble(c.extension) ? mapOf(c) : nullptr;
      if (map == nullptr) {
        done[i] = 1;
        continue;
      }
      if (bounds.cancelled && bounds.cancelled()) return kStatusOk;
      if (spent >= bounds.volumeBudget) {  // past the volume's budget the files stay as they are
        if (stats != nullptr) {
          FragmentSearchStats skipped;
          skipped.boundReached = true;
          stats->push_back(skipped);
        }
        return kStatusOk;
      }
      const uint64_t groupKey = static_cast<uint64_t>(static_cast<uint32_t>(c.group)) << 32;
      const UsableCluster usable = [&](uint64_t cluster, bool* ok) -> Status {
        *ok = false;
        bool allocated = true;
        if (Status s = map->IsAllocated(cluster, &allocated); s != kStatusOk || allocated) return s;
        *ok = cluster <= UINT32_MAX && !held(c, cluster) && taken.count(groupKey | cluster) == 0;
        return kStatusOk;
      };
      FragmentSearch search(*map, bounds);
      std::vector<uint32_t> clusters;
      bool whole = false;
      const Status s = search.Find(c.start, c.bytes, c.extension, usable, &clusters, &whole);
      spent += search.Stats().spent;
      if (stats != nullptr) stats->push_back(search.Stats());
      if (s != kStatusOk) return s;
      if (!whole) continue;
      done[i] = 1;
      foundAny = true;
      for (uint32_t cluster : clusters) taken.insert(groupKey | cluster);
      if (Status f = found(i, clusters); f != kStatusOk) return f;
    }
  }
  return kStatusOk;
}

}  // namespace engine::cluster
