// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_layout.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/signatures/structure_check.h"

namespace engine::fat {
namespace {

using signatures::StructureVerdict;

// A file's clusters presented as a source of its own, sector n holding file
// bytes [n * sector, (n + 1) * sector), for the structure check.
class LaidOutFile final : public storage::ISourceDevice {
 public:
  LaidOutFile(VolumeReader& reader, const FatGeometry& geometry, const std::vector<uint32_t>& clusters)
      : m_reader(reader), m_geometry(geometry), m_clusters(clusters) {}

  // Whether a read of the medium failed: then the layout's structure could not be told.
  bool ReadFailed() const { return m_readFailed; }

  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    *bytesRead = 0;
    const uint64_t clusterBytes = m_geometry.ClusterBytes();
    auto* out = static_cast<uint8_t*>(buffer);
    while (byteCount > 0) {
      const uint64_t index = byteOffset / clusterBytes;
      if (index >= m_clusters.size()) return kStatusOk;  // past the file: end of data
      const uint64_t within = byteOffset % clusterBytes;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(byteCount, clusterBytes - within));
      const uint64_t at = m_geometry.ClusterSector(m_clusters[static_cast<size_t>(index)]) * m_geometry.bytesPerSector;
      if (Status s = m_reader.Read(at + within, out, take); s != kStatusOk) {
        m_readFailed = true;
        return s;
      }
      out += take;
      byteOffset += take;
      byteCount -= take;
      *bytesRead += take;
    }
    return kStatusOk;
  }

 private:
  VolumeReader& m_reader;
  const FatGeometry& m_geometry;
  const std::vector<uint32_t>& m_clusters;
  bool m_readFailed = false;
};

std::vector<store::DataExtent> ToExtents(const std::vector<uint32_t>& clusters) {
  std::vector<store::DataExtent> extents;
  for (uint32_t c : clusters) {
    if (!extents.empty() && extents.back().first + extents.back().count == c) {
      ++extents.back().count;
    } else {
      extents.push_back({c, 1});
    }
  }
  return extents;
}

// How far past its start a file is searched for its clusters.
uint64_t SpanLimit(uint64_t clusters) {
  return clusters * 8 + 65536;
}

}  // namespace

Status FatLayout::IsFree(uint32_t cluster, bool* free) {
  *free = false;
  if (!m_fat.Geometry().IsDataCluster(cluster) || m_directories->count(cluster) != 0) return kStatusOk;
  uint32_t value = 0;
  if (Status s = m_fat.Entry(cluster, &value); s != kStatusOk) return s;
  *free = value == 0;
  return kStatusOk;
}

int32_t FatLayout::OwnerOf(uint32_t cluster) const {
  auto it = m_owned.upper_bound(cluster);
  if (it == m_owned.begin()) return -1;
  --it;
  return cluster <= it->second.first ? it->second.second : -1;
}

void FatLayout::Own(const std::vector<uint32_t>& clusters, int32_t owner) {
  for (const store::DataExtent& e : ToExtents(clusters)) {
    m_owned[static_cast<uint32_t>(e.first)] = {static_cast<uint32_t>(e.first + e.count - 1), owner};
  }
}

uint64_t FatLayout::ClustersOf(const FileClaim& claim) const {
  const uint64_t clusterBytes = m_fat.Geometry().ClusterBytes();
  return (claim.size + clusterBytes - 1) / clusterBytes;
}

// The start, then the free clusters that no other file claims.
Status FatLayout::SkipLayout(size_t index, Candidate* out) {
  const FileClaim& claim = m_claims[index];
  const uint64_t needed = ClustersOf(claim);
  const uint32_t last = m_fat.Geometry().maxCluster;
  out->clusters.clear();
  out->clusters.push_back(claim.start);
  const uint64_t limit = SpanLimit(needed);
  for (uint64_t c = uint64_t{claim.start} + 1; out->clusters.size() < needed && c <= last; ++c) {
    if (c - claim.start > limit) break;
    bool free = false;
    if (Status s = IsFree(static_cast<uint32_t>(c), &free); s != kStatusOk) return s;
    if (!free || OwnerOf(static_cast<uint32_t>(c)) != -1) continue;
    auto start = m_starts.find(static_cast<uint32_t>(c));
    if (start != m_starts.end() && start->second != index) continue;
    out->clusters.push_back(static_cast<uint32_t>(c));
  }
  out->valid = out->clusters.size() == needed;
  return kStatusOk;
}

Status FatLayout::GroupLayouts(size_t index, std::vector<size_t>* members, std::vector<Candidate>* out) {
  members->clear();
  out->clear();
  const FileClaim& first = m_claims[index];
  const uint64_t end = uint64_t{first.start} + ClustersOf(first);
  members->push_back(index);
  for (size_t j = index + 1; j < m_claims.size() && m_claims[j].start < end; ++j) {
    if (!m_placed[j] && m_claims[j].start != m_claims[members->back()].start) members->push_back(j);
  }
  if (members->size() < 2) return kStatusOk;
  const uint32_t step = m_claims[(*members)[1]].start - first.start;
  for (size_t k = 2; k < members->size(); ++k) {
    if (m_claims[(*members)[k]].start - m_claims[(*members)[k - 1]].start != step) {
      members->clear();
      return kStatusOk;
    }
  }
  // Deal free clusters out chunk by chunk, in turn, to the files not yet whole.
  std::vector<uint64_t> remaining;
  uint64_t total = 0;
  for (size_t m : *members) {
    remaining.push_back(ClustersOf(m_claims[m]));
    total += remaining.back();
  }
  out->assign(members->size(), Candidate{});
  const uint32_t last = m_fat.Geometry().maxCluster;
  const uint64_t limit = SpanLimit(total);
  uint64_t cursor = first.start;
  uint64_t dealt = 0;
  while (dealt < total) {
    bool progress = false;
    for (size_t k = 0; k < members->size(); ++k) {
      for (uint32_t taken = 0; taken < step && remaining[k] > 0;) {
        if (cursor > last || cursor - first.start > limit) return kStatusOk;  // runs out: no layout
        bool free = false;
        if (Status s = IsFree(static_cast<uint32_t>(cursor), &free); s != kStatusOk) return s;
        if (free && OwnerOf(static_cast<uint32_t>(cursor)) == -1) {
          (*out)[k].clusters.push_back(static_cast<uint32_t>(cursor));
          ++taken;
          --remaining[k];
          ++dealt;
          progress = true;
        }
        ++cursor;
      }
    }
    if (!progress) break;
  }
  for (size_t k = 0; k < members->size(); ++k) {
    Candidate& c = (*out)[k];
    // Each file's first chunk must begin at its own start for the turns to be right.
    c.valid = remaining[k] == 0 && !c.clusters.empty() && c.clusters.front() == m_claims[(*members)[k]].start;
  }
  return kStatusOk;
}

int FatLayout::CheckLayout(const FileClaim& claim, const std::vector<uint32_t>& clusters) {
  const FatGeometry& g = m_fat.Geometry();
  storage::SectorSource file;
  auto laidOut = std::make_unique<LaidOutFile>(m_reader, g, clusters);
  const LaidOutFile& reader = *laidOut;
  file.handle = std::move(laidOut);
  file.totalSectors = (claim.size + g.bytesPerSector - 1) / g.bytesPerSector;
  file.deviceSectorSize = g.bytesPerSector;
  const auto verdict = signatures::CheckFileStructure(file, g.bytesPerSector, claim.size, claim.extension);
  // An unreadable cluster says nothing about the structure: never "broken" for that.
  if (reader.ReadFailed()) return static_cast<int>(signatures::StructureVerdict::kNoCheck);
  return static_cast<int>(verdict);
}

Status FatLayout::Compute(std::vector<FileClaim> claims, const std::unordered_set<uint32_t>& directories,
                          std::vector<FileLayout>* out) {
  out->clear();
  m_directories = &directories;
  m_owned.clear();
  m_starts.clear();
  // Only files that need clusters and whose start is free take part.
  m_claims.clear();
  for (FileClaim& c : claims) {
    bool free = false;
    if (Status s = IsFree(c.start, &free); s != kStatusOk) return s;
    if (free && c.size != 0) m_claims.push_back(std::move(c));
  }
  std::sort(m_claims.begin(), m_claims.end(), [](const FileClaim& a, const FileClaim& b) {
    return a.start != b.start ? a.start < b.start : a.id < b.id;
  });
  for (size_t i = 0; i < m_claims.size(); ++i) m_starts.emplace(m_claims[i].start, i);
  m_placed.assign(m_claims.size(), false);

  // A file's run from its start is blocked when a cluster of it is not free
  // (allocated, or a directory): such a file is fragmented for sure, and its
  // run says nothing about files that start inside it.
  std::vector<bool> blocked(m_claims.size(), false);
  for (size_t i = 0; i < m_claims.size(); ++i) {
    const uint64_t end = uint64_t{m_claims[i].start} + ClustersOf(m_claims[i]);
    if (end - 1 > m_fat.Geometry().maxCluster) {
      blocked[i] = true;
      continue;
    }
    for (uint64_t c = m_claims[i].start; c < end && !blocked[i]; ++c) {
      bool free = false;
      if (Status s = IsFree(static_cast<uint32_t>(c), &free); s != kStatusOk) return s;
      blocked[i] = !free;
    }
  }
  // Files whose whole run is theirs first: free, holding no other file's
  // start, and starting inside no other file's free run (a file that starts
  // there was written between that file's pieces).
  uint64_t reach = 0;  // the furthest end of the free runs of the files before
  for (size_t i = 0; i < m_claims.size(); ++i) {
    const FileClaim& claim = m_claims[i];
    const uint64_t end = uint64_t{claim.start} + ClustersOf(claim);
    const bool insideAnother = claim.start < reach;
    if (!blocked[i]) reach = std::max(reach, end);
    if (blocked[i] || insideAnother || (i + 1 < m_claims.size() && m_claims[i + 1].start < end)) continue;
    m_owned[claim.start] = {static_cast<uint32_t>(end - 1), static_cast<int32_t>(i)};
    m_placed[i] = true;
  }

  // The others in start order: the first layout that holds together.
  constexpr int kConsistent = static_cast<int>(StructureVerdict::kConsistent);
  constexpr int kBroken = static_cast<int>(StructureVerdict::kBroken);
  for (size_t i = 0; i < m_claims.size(); ++i) {
    if (m_placed[i]) continue;
    Candidate skip;
    if (Status s = SkipLayout(i, &skip); s != kStatusOk) return s;
    std::vector<size_t> members;
    std::vector<Candidate> group;
    if (Status s = GroupLayouts(i, &members, &group); s != kStatusOk) return s;
    const bool haveGroup = !group.empty() && group[0].valid;

    int skipVerdict = skip.valid ? CheckLayout(m_claims[i], skip.clusters) : kBroken;
    if (skipVerdict == kConsistent) {
      Own(skip.clusters, static_cast<int32_t>(i));
      m_placed[i] = true;
      out->push_back({m_claims[i].id, ToExtents(skip.clusters), true});
      continue;
    }
    if (haveGroup) {
      // The group's layout holds when the members that can tell say so and none says otherwise.
      std::vector<int> verdicts(members.size(), kBroken);
      bool confirmed = false;
      for (size_t k = 0; k < members.size(); ++k) {
        if (!group[k].valid) continue;
        verdicts[k] = CheckLayout(m_claims[members[k]], group[k].clusters);
        confirmed = confirmed || verdicts[k] == kConsistent;
      }
      if (confirmed && verdicts[0] != kBroken) {
        for (size_t k = 0; k < members.size(); ++k) {
          if (!group[k].valid || verdicts[k] == kBroken) continue;  // checked on its own turn
          Own(group[k].clusters, static_cast<int32_t>(members[k]));
          m_placed[members[k]] = true;
          out->push_back({m_claims[members[k]].id, ToExtents(group[k].clusters), true});
        }
        if (m_placed[i]) continue;
      }
    }
    // Nothing holds together: the start-and-skip layout when there is one
    // (else the plain chain rule), and the file is not to be trusted.
    m_placed[i] = true;
    if (!skip.valid) {
      out->push_back({m_claims[i].id, {}, false});
      continue;
    }
    Own(skip.clusters, static_cast<int32_t>(i));
    out->push_back({m_claims[i].id, ToExtents(skip.clusters), false});
  }
  return kStatusOk;
}

}  // namespace engine::fat
