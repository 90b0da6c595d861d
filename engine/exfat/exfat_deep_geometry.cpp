// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_deep_geometry.h"

#include <algorithm>
#include <map>
#include <unordered_set>

namespace engine::exfat {
namespace {

// Clusters are at most 32 MiB.
constexpr uint64_t kMaxClusterBytes = 32ull << 20;

// Every n-th element, so that at most `limit` are taken, spread over the list.
template <typename T>
std::vector<T> Spread(const std::vector<T>& all, size_t limit) {
  if (all.size() <= limit) return all;
  std::vector<T> out;
  out.reserve(limit);
  for (size_t i = 0; i < limit; ++i) out.push_back(all[i * all.size() / limit]);
  return out;
}

bool InRuns(const std::vector<std::pair<uint64_t, uint64_t>>& runs, uint64_t byte) {
  auto it = std::upper_bound(runs.begin(), runs.end(), std::make_pair(byte, UINT64_MAX));
  if (it == runs.begin()) return false;
  --it;
  return byte >= it->first && byte < it->second;
}

void CountVotes(DeepGeometry& g, const GeometryEvidence& evidence, const std::unordered_set<uint64_t>& starts) {
  g.folderVotes = 0;
  g.startVotes = 0;
  for (uint32_t f : evidence.folderClusters) {
    if (f < 2) continue;
    const uint64_t byte = g.ClusterByte(f);
    if (byte < g.heapByte) continue;  // wrapped
    if (starts.count(byte) != 0) ++g.startVotes;
    if (InRuns(evidence.runs, byte)) ++g.folderVotes;
  }
}

}  // namespace

uint32_t DeepGeometry::ClusterOf(uint64_t byte) const {
  if (byte < heapByte || clusterBytes == 0) return 0;
  const uint64_t cluster = (byte - heapByte) / clusterBytes + 2;
  return cluster > UINT32_MAX ? 0 : static_cast<uint32_t>(cluster);
}

std::vector<DeepGeometry> ProposeDeepGeometries(const GeometryEvidence& evidence,
                                                const std::optional<DeepGeometry>& boot, uint32_t unitBytes,
                                                uint64_t volumeBytes) {
  std::vector<DeepGeometry> out;
  std::unordered_set<uint64_t> starts;
  std::vector<uint64_t> startList;
  for (const auto& run : evidence.runs) {
    starts.insert(run.first);
    startList.push_back(run.first);
  }
  if (boot) {
    out.push_back(*boot);
    CountVotes(out.back(), evidence, starts);
  }
  if (unitBytes == 0) return out;
  // Each sampled folder placed at each sampled run start proposes a heap for every cluster size.
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> proposals;  // (cluster bytes, heap) → folders
  const std::vector<uint32_t> folders = Spread(evidence.folderClusters, kSampledFolders);
  const std::vector<uint64_t> runStarts = Spread(startList, kSampledRuns);
  for (uint64_t clusterBytes = unitBytes; clusterBytes <= kMaxClusterBytes; clusterBytes *= 2) {
    for (uint32_t f : folders) {
      if (f < 2) continue;
      const uint64_t offset = uint64_t{f - 2} * clusterBytes;
      for (uint64_t r : runStarts) {
        if (r < offset || r - offset >= volumeBytes || (r - offset) % unitBytes != 0) continue;
        ++proposals[{clusterBytes, r - offset}];
      }
    }
  }
  std::vector<std::pair<uint32_t, std::pair<uint64_t, uint64_t>>> ranked;
  for (const auto& [key, count] : proposals) {
    if (count >= 2) ranked.push_back({count, key});
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  if (ranked.size() > kFinalists) ranked.resize(kFinalists);
  for (const auto& [count, key] : ranked) {
    if (boot && key.first == boot->clusterBytes && key.second == boot->heapByte) continue;
    DeepGeometry g;
    g.clusterBytes = key.first;
    g.heapByte = key.second;
    CountVotes(g, evidence, starts);
    if (g.folderVotes >= 2) out.push_back(g);
  }
  return out;
}

std::optional<DeepGeometry> ChooseDeepGeometry(std::vector<DeepGeometry> proposals,
                                               const std::function<uint32_t(const DeepGeometry&)>& contentVotes) {
  std::optional<DeepGeometry> best;
  for (DeepGeometry& g : proposals) {
    if (!g.fromBoot && g.folderVotes < 2) continue;
    g.contentVotes = contentVotes ? contentVotes(g) : 0;

    if (!best) {
      best = g;
      continue;
    }
    // A tie goes to more start votes, then stays with the earlier (the boot region's comes first).
    if (g.Score() > best->Score() || (g.Score() == best->Score() && g.startVotes > best->startVotes)) best = g;
  }
  return best;
}

}  // namespace engine::exfat
