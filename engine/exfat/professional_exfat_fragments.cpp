// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/professional_exfat_fragments.h"

#include <algorithm>

#include "engine/cluster/cluster_layout.h"
#include "engine/cluster/fragment_rounds.h"
#include "engine/exfat/exfat_data_copy.h"

namespace engine::exfat {
namespace {

// The heap's clusters as the search sees them: no table is left, so a
// cluster is held only where the live file system (if any) keeps data.
class ProfessionalExFatClusterMap final : public cluster::IClusterMap {
 public:
  ProfessionalExFatClusterMap(ExFatVolume& volume, const DeepGeometry& g, uint32_t maxCluster,
                              const LiveAllocation* live)
      : m_volume(volume),
        m_geometry(g),
        m_maxCluster(maxCluster),
        m_live(live != nullptr && live->IsKnown() ? live : nullptr),
        m_read([&volume](uint64_t at, void* out, size_t n) { return volume.Read(at, out, n); }) {}

  uint64_t ClusterBytes() const override { return m_geometry.clusterBytes; }
  uint32_t SectorBytes() const override { return m_volume.UnitBytes(); }
  uint64_t LastCluster() const override { return m_maxCluster; }
  [[nodiscard]] Status IsAllocated(uint64_t cluster, bool* allocated) override {
    *allocated = cluster < 2 || cluster > m_maxCluster ||
                 (m_live != nullptr &&
                  m_live->Holds(m_volume.StartByte() + ClusterOffset(cluster), m_geometry.clusterBytes));
    return kStatusOk;
  }
  uint64_t ClusterOffset(uint64_t cluster) const override {
    return cluster < 2 || cluster > m_maxCluster ? 0 : m_geometry.ClusterByte(static_cast<uint32_t>(cluster));
  }
  const signatures::ByteReader& Reader() const override { return m_read; }

 private:
  ExFatVolume& m_volume;
  DeepGeometry m_geometry;
  uint32_t m_maxCluster;
  const LiveAllocation* m_live;
  signatures::ByteReader m_read;
};

}  // namespace

Status SearchExFatFilesInPieces(ExFatVolume& volume, const DeepGeometry& geometry, uint32_t maxCluster,
                                const LiveAllocation* live, std::vector<std::pair<uint32_t, uint32_t>> held,
                                const std::vector<ExFatPieceCandidate>& candidates,
                                const cluster::FragmentBounds& bounds, store::ScanStore& st,
                                std::vector<cluster::FragmentSearchStats>* stats) {
  if (geometry.clusterBytes == 0 || maxCluster < 2) return kStatusOk;
  std::sort(held.begin(), held.end());
  std::vector<std::pair<uint32_t, uint32_t>> joined;
  for (const auto& r : held) {
    if (!joined.empty() && uint64_t{joined.back().second} + 1 >= r.first) {
      joined.back().second = std::max(joined.back().second, r.second);
    } else {
      joined.push_back(r);
    }
  }
  ProfessionalExFatClusterMap map(volume, geometry, maxCluster, live);
  std::vector<cluster::PieceCandidate> searched;
  searched.reserve(candidates.size());
  for (const ExFatPieceCandidate& c : candidates) searched.push_back({c.start, c.validBytes, c.extension, 0});
  const cluster::CandidateMap mapOf = [&map](const cluster::PieceCandidate&) -> cluster::IClusterMap* { return &map; };
  const cluster::HeldCluster isHeld = [&joined](const cluster::PieceCandidate&, uint64_t cluster) {
    auto it = std::upper_bound(joined.begin(), joined.end(), cluster,
                               [](uint64_t c, const std::pair<uint32_t, uint32_t>& r) { return c < r.first; });
    return it != joined.begin() && cluster <= std::prev(it)->second;
  };
  const cluster::PiecesFound found = [&](size_t index, const std::vector<uint32_t>& clusters) -> Status {
    const ExFatPieceCandidate& c = candidates[index];
    ItemRecord record{};
    if (Status r = st.ReadRecord(c.id, &record); r != kStatusOk) return r;
    ItemData data;
    data.validBytes = c.validBytes;
    data.runs = cluster::ToRuns(clusters);
    st.SetLayout(c.id, data.Encode());
    SetState(record, ItemState::kIntact);
    return st.UpdateRecord(record);
  };
  return cluster::SearchCandidatesInPieces(searched, mapOf, isHeld, bounds, found, stats);
}

}  // namespace engine::exfat
