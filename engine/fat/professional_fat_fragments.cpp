// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_fragments.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "engine/cluster/cluster_layout.h"
#include "engine/cluster/fragment_search.h"

namespace engine::fat {
namespace {

// Rounds over the files not found yet.
constexpr int kRounds = 3;

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
  std::unordered_set<uint64_t> taken;  // (geometry << 32) | cluster of files put together here
  std::chrono::microseconds spent{0};
  // A file found makes its clusters no one else's, which may settle another
  // file's search: rounds go on while one finds something.
  std::vector<uint8_t> done(candidates.size(), 0);
  bool foundAny = true;
  for (int round = 0; round < kRounds && foundAny; ++round) {
    foundAny = false;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (done[i] != 0) continue;
      const FatPieceCandidate& c = candidates[i];
      if (c.geometry < 0 || static_cast<size_t>(c.geometry) >= geometries.Size() ||
          !cluster::CanReassemble(c.extension)) {
        done[i] = 1;
        continue;
      }
      if (bounds.cancelled && bounds.cancelled()) return kStatusOk;
      if (spent >= bounds.volumeBudget) {  // past the volume's budget the files stay as they are
        if (stats != nullptr) {
          cluster::FragmentSearchStats skipped;
          skipped.boundReached = true;
          stats->push_back(skipped);
        }
        return kStatusOk;
      }
      ProfessionalFatClusterMap map(volume, geometries.At(static_cast<size_t>(c.geometry)).cluster, live);
      const uint64_t geometryKey = static_cast<uint64_t>(static_cast<uint32_t>(c.geometry)) << 32;
      const cluster::UsableCluster usable = [&](uint64_t cluster, bool* ok) -> Status {
        *ok = false;
        bool allocated = true;
        if (Status s = map.IsAllocated(cluster, &allocated); s != kStatusOk || allocated) return s;
        *ok = !Covered(held, c.geometry, cluster) && taken.count(geometryKey | cluster) == 0;
        return kStatusOk;
      };
      cluster::FragmentSearch search(map, bounds);
      std::vector<uint32_t> clusters;
      bool found = false;
      const Status s = search.Find(c.start, c.size, c.extension, usable, &clusters, &found);
      spent += search.Stats().spent;
      if (stats != nullptr) stats->push_back(search.Stats());
      if (s != kStatusOk) return s;
      if (!found) continue;
      done[i] = 1;
      foundAny = true;
      ItemRecord record{};
      if (Status r = st.ReadRecord(c.id, &record); r != kStatusOk) return r;
      for (uint32_t cluster : clusters) taken.insert(geometryKey | cluster);
      st.SetLayout(c.id, cluster::ToRuns(clusters));
      SetState(record, ItemState::kIntact);
      if (Status u = st.UpdateRecord(record); u != kStatusOk) return u;
    }
  }
  return kStatusOk;
}

}  // namespace engine::fat
