// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_fragments.h"

#include <algorithm>
#include <memory>

#include "engine/cluster/cluster_layout.h"
#include "engine/cluster/fragment_rounds.h"

namespace engine::fat {
namespace {

// The clusters of one geometry as the search sees them: no table is left,
// so a cluster is held only where the live file system (if any) keeps data.
class ProfessionalFatClusterMap final : public cluster::IClusterMap {
 public:
  ProfessionalFatClusterMap(VolumeSectors& volume, const ClusterGeometry& g, const LiveAllocation* live)
      : m_volume(volume),
        m_geometry(g),
        m_live(live != nullptr && live->IsKnown() ? live : nullptr),
        m_read([&volume](uint64_t at, void* out, size_t n) { return volume.ReadBytes(at, out, n); }) {}

  uint64_t ClusterBytes() const override { return uint64_t{m_geometry.sectorsPerCluster} * m_volume.SectorSize(); }
  uint32_t SectorBytes() const override { return m_volume.SectorSize(); }
  uint64_t LastCluster() const override {
    uint64_t dataStart = 0;
    if (!m_geometry.DataStart(&dataStart) || m_geometry.sectorsPerCluster == 0 || m_volume.EndSector() <= dataStart) {
      return 1;
    }
    const uint64_t clusters = (m_volume.EndSector() - dataStart) / m_geometry.sectorsPerCluster;
    return std::min<uint64_t>(clusters + 1, kMaxFatCluster);
  }
  [[nodiscard]] Status IsAllocated(uint64_t cluster, bool* allocated) override {
    *allocated = true;
    uint64_t sector = 0;
    if (cluster > kMaxFatCluster || !m_geometry.ClusterSector(static_cast<uint32_t>(cluster), &sector)) return kStatusOk;
    *allocated = m_live != nullptr && m_live->Holds(sector * m_volume.SectorSize(), ClusterBytes());
    return kStatusOk;
  }
  uint64_t ClusterOffset(uint64_t cluster) const override {
    uint64_t sector = 0;
    if (cluster > kMaxFatCluster || !m_geometry.ClusterSector(static_cast<uint32_t>(cluster), &sector)) return 0;
    return sector * m_volume.SectorSize();
  }
  const signatures::ByteReader& Reader() const override { return m_read; }

 private:
  VolumeSectors& m_volume;
  ClusterGeometry m_geometry;
  const LiveAllocation* m_live;
  signatures::ByteReader m_read;
};

// held sorted by (geometry, first) with overlapping ranges joined.
void JoinRanges(std::vector<FatHeldClusters>* held) {
  std::sort(held->begin(), held->end(), [](const FatHeldClusters& a, const FatHeldClusters& b) {
    return a.geometry != b.geometry ? a.geometry < b.geometry : a.first < b.first;
  });
  std::vector<FatHeldClusters> joined;
  for (const FatHeldClusters& r : *held) {
    if (!joined.empty() && joined.back().geometry == r.geometry && uint64_t{joined.back().last} + 1 >= r.first) {
      joined.back().last = std::max(joined.back().last, r.last);
    } else {
      joined.push_back(r);
    }
  }
  *held = std::move(joined);
}

bool Covered(const std::vector<FatHeldClusters>& held, int32_t geometry, uint64_t cluster) {
  auto it = std::upper_bound(held.begin(), held.end(), std::make_pair(geometry, cluster),
                             [](const std::pair<int32_t, uint64_t>& key, const FatHeldClusters& r) {
                               return key.first != r.geometry ? key.first < r.geometry : key.second < r.first;
                             });
  if (it == held.begin()) return false;
  --it;
  return it->geometry == geometry && cluster >= it->first && cluster <= it->last;
}

}  // namespace

Status SearchFatFilesInPieces(VolumeSectors& volume, const FatGeometryList& geometries, const LiveAllocation* live,
                              std::vector<FatHeldClusters> held, const std::vector<FatPieceCandidate>& candidates,
                              const cluster::FragmentBounds& bounds, store::ScanStore& st,
                              std::vector<cluster::FragmentSearchStats>* stats) {
  JoinRanges(&held);
  std::vector<cluster::PieceCandidate> searched;
  searched.reserve(candidates.size());
  for (const FatPieceCandidate& c : candidates) searched.push_back({c.start, c.size, c.extension, c.geometry});
  std::vector<std::unique_ptr<ProfessionalFatClusterMap>> maps(geometries.Size());
  const cluster::CandidateMap mapOf = [&](const cluster::PieceCandidate& c) -> cluster::IClusterMap* {
    if (c.group < 0 || static_cast<size_t>(c.group) >= geometries.Size()) return nullptr;
    auto& map = maps[static_cast<size_t>(c.group)];
    if (!map) {
      map = std::make_unique<ProfessionalFatClusterMap>(volume, geometries.At(static_cast<size_t>(c.group)).cluster,
                                                        live);
    }
    return map.get();
  };
  const cluster::HeldCluster isHeld = [&](const cluster::PieceCandidate& c, uint64_t cluster) {
    return Covered(held, c.group, cluster);
  };
  const cluster::PiecesFound found = [&](size_t index, const std::vector<uint32_t>& clusters) -> Status {
    ItemRecord record{};
    if (Status r = st.ReadRecord(candidates[index].id, &record); r != kStatusOk) return r;
    st.SetLayout(candidates[index].id, cluster::ToRuns(clusters));
    SetState(record, ItemState::kIntact);
    return st.UpdateRecord(record);
  };
  return cluster::SearchCandidatesInPieces(searched, mapOf, isHeld, bounds, found, stats);
}

}  // namespace engine::fat
