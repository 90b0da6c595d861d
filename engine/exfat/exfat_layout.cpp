// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_layout.h"

#include <algorithm>
#include <memory>

#include "engine/exfat/exfat_data_copy.h"
#include "engine/signatures/structure_check.h"

namespace engine::exfat {
namespace {

using signatures::StructureVerdict;
constexpr int kConsistent = static_cast<int>(StructureVerdict::kConsistent);
constexpr int kBroken = static_cast<int>(StructureVerdict::kBroken);

// A file's clusters presented as a source of its own, sector n holding file
// bytes [n * sector, (n + 1) * sector), for the structure check.
class LaidOutFile final : public storage::ISourceDevice {
 public:
  LaidOutFile(ExFatVolume& volume, const ExFatGeometry& geometry, const std::vector<uint32_t>& clusters)
      : m_volume(volume), m_geometry(geometry), m_clusters(clusters) {}

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
      const uint64_t at = m_geometry.ClusterOffset(m_clusters[static_cast<size_t>(index)]) + within;
      if (Status s = m_volume.Read(at, out, take); s != kStatusOk) {
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
  ExFatVolume& m_volume;
  const ExFatGeometry& m_geometry;
  const std::vector<uint32_t>& m_clusters;
  bool m_readFailed = false;
};

// How far past its start a file is searched for its clusters.
uint64_t SpanLimit(uint64_t clusters) {
  return clusters * 8 + 65536;
}

std::vector<uint32_t> RunOf(uint32_t start, uint64_t count) {
  std::vector<uint32_t> clusters;
  clusters.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) clusters.push_back(static_cast<uint32_t>(start + i));
  return clusters;
}

}  // namespace

bool ExFatLayout::IsFree(uint64_t cluster) const {
  if (!m_geometry.IsDataCluster(cluster) || m_directories->count(static_cast<uint32_t>(cluster)) != 0) return false;
  return !m_bitmap.IsLoaded() || !m_bitmap.IsAllocated(cluster);
}

int32_t ExFatLayout::OwnerOf(uint64_t cluster) const {
  auto it = m_owned.upper_bound(cluster);
  if (it == m_owned.begin()) return -1;
  --it;
  return cluster <= it->second.first ? it->second.second : -1;
}

void ExFatLayout::Own(const std::vector<uint32_t>& clusters, int32_t owner) {
  for (const store::DataExtent& run : ToRuns(clusters)) m_owned[run.first] = {run.first + run.count - 1, owner};
}

uint64_t ExFatLayout::ClustersOf(const FileClaim& claim) const {
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  return (claim.bytes + clusterBytes - 1) / clusterBytes;
}

int ExFatLayout::CheckLayout(const FileClaim& claim, const std::vector<uint32_t>& clusters) {
  const uint32_t sector = m_geometry.bytesPerSector;
  storage::SectorSource file;
  auto laidOut = std::make_unique<LaidOutFile>(m_volume, m_geometry, clusters);
  const LaidOutFile& reader = *laidOut;
  file.handle = std::move(laidOut);
  file.totalSectors = (claim.bytes + sector - 1) / sector;
  file.deviceSectorSize = sector;
  const auto verdict = signatures::CheckFileStructure(file, sector, claim.bytes, claim.extension);
  // An unreadable cluster says nothing about the structure: never "broken" for that.
  if (reader.ReadFailed()) return static_cast<int>(signatures::StructureVerdict::kNoCheck);
  return static_cast<int>(verdict);
}

void ExFatLayout::PlaceContiguousClaims(const std::vector<size_t>& indexes, std::vector<FileLayout>* out) {
  // Runs that leave the heap or hold a cluster someone else owns now were overwritten.
  std::vector<size_t> clean;
  for (size_t i : indexes) {
    const FileClaim& claim = m_claims[i];
    const uint64_t count = ClustersOf(claim);
    m_placed[i] = true;
    bool whole = m_geometry.IsDataRun(claim.start, count);
    for (uint64_t c = claim.start; whole && c < uint64_t{claim.start} + count; ++c) whole = IsFree(c);
    if (!whole) {
      out->push_back({claim.id, {}, false});
      continue;
    }
    clean.push_back(i);
  }
  // Of clean runs that overlap, one file overwrote the others: the one whose
  // structure alone holds, else the one created last.
  std::sort(clean.begin(), clean.end(), [&](size_t a, size_t b) { return m_claims[a].start < m_claims[b].start; });
  for (size_t k = 0; k < clean.size();) {
    std::vector<size_t> group{clean[k]};
    uint64_t end = m_claims[clean[k]].start + ClustersOf(m_claims[clean[k]]);
    size_t next = k + 1;
    while (next < clean.size() && m_claims[clean[next]].start < end) {
      end = std::max(end, m_claims[clean[next]].start + ClustersOf(m_claims[clean[next]]));
      group.push_back(clean[next++]);
    }
    k = next;
    size_t winner = group[0];
    if (group.size() > 1) {
      std::vector<size_t> whole;
      for (size_t i : group) {
        const FileClaim& claim = m_claims[i];
        if (CheckLayout(claim, RunOf(claim.start, ClustersOf(claim))) != kBroken) whole.push_back(i);
      }
      const std::vector<size_t>& pool = whole.empty() ? group : whole;
      winner = pool[0];
      for (size_t i : pool) {
        if (m_claims[i].created > m_claims[winner].created) winner = i;
      }
    }
    for (size_t i : group) {
      const FileClaim& claim = m_claims[i];
      if (i == winner) {
        Own(RunOf(claim.start, ClustersOf(claim)), static_cast<int32_t>(i));
      } else {
        out->push_back({claim.id, {}, false});
      }
    }
  }
}

Status ExFatLayout::ChainCandidate(size_t index, Candidate* out) {
  const FileClaim& claim = m_claims[index];
  out->clusters.clear();
  out->valid = false;
  bool complete = false;
  if (Status s = m_fat.Chain(claim.start, ClustersOf(claim), &out->clusters, &complete); s != kStatusOk) return s;
  if (!complete) return kStatusOk;
  // A chain that is still there has the file's length and stays on free, unclaimed clusters.
  uint32_t following = 0;
  if (Status s = m_fat.Next(out->clusters.back(), &following); s != kStatusOk) return s;
  if (following != 0) return kStatusOk;
  for (uint32_t c : out->clusters) {
    if (!IsFree(c) || OwnerOf(c) != -1) return kStatusOk;
    auto start = m_starts.find(c);
    if (start != m_starts.end() && start->second != index) return kStatusOk;
  }
  out->valid = true;
  return kStatusOk;
}

// The start, then the free clusters that no one owns and no other file starts at.
void ExFatLayout::SkipLayout(size_t index, Candidate* out) {
  const FileClaim& claim = m_claims[index];
  const uint64_t needed = ClustersOf(claim);
  out->clusters.clear();
  out->clusters.push_back(claim.start);
  const uint64_t limit = SpanLimit(needed);
  for (uint64_t c = uint64_t{claim.start} + 1; out->clusters.size() < needed && c <= m_geometry.maxCluster; ++c) {
    if (c - claim.start > limit) break;
    if (!IsFree(c) || OwnerOf(c) != -1) continue;
    auto start = m_starts.find(static_cast<uint32_t>(c));
    if (start != m_starts.end() && start->second != index) continue;
    out->clusters.push_back(static_cast<uint32_t>(c));
  }
  out->valid = out->clusters.size() == needed;
}

void ExFatLayout::GroupLayouts(size_t index, const std::vector<size_t>& order, std::vector<size_t>* members,
                               std::vector<Candidate>* out) {
  members->clear();
  out->clear();
  const FileClaim& first = m_claims[index];
  const uint64_t end = uint64_t{first.start} + ClustersOf(first);
  members->push_back(index);
  for (size_t j : order) {
    const FileClaim& other = m_claims[j];
    if (j == index || m_placed[j] || other.start <= first.start || other.start >= end) continue;
    if (other.start != m_claims[members->back()].start) members->push_back(j);
  }
  if (members->size() < 2) return;
  const uint64_t step = m_claims[(*members)[1]].start - first.start;
  for (size_t k = 2; k < members->size(); ++k) {
    if (m_claims[(*members)[k]].start - m_claims[(*members)[k - 1]].start != step) {
      members->clear();
      return;
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
  const uint64_t limit = SpanLimit(total);
  uint64_t cursor = first.start;
  uint64_t dealt = 0;
  while (dealt < total) {
    bool progress = false;
    for (size_t k = 0; k < members->size(); ++k) {
      for (uint64_t taken = 0; taken < step && remaining[k] > 0;) {
        if (cursor > m_geometry.maxCluster || cursor - first.start > limit) return;  // runs out: no layout
        if (IsFree(cursor) && OwnerOf(cursor) == -1) {
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
}

Status ExFatLayout::Compute(std::vector<FileClaim> claims, const std::unordered_set<uint32_t>& directories,
                            std::vector<FileLayout>* out) {
  out->clear();
  m_directories = &directories;
  m_owned.clear();
  m_starts.clear();
  m_claims.clear();
  for (FileClaim& c : claims) {
    if (c.bytes != 0) m_claims.push_back(std::move(c));
  }
  m_placed.assign(m_claims.size(), false);

  // Contiguous files first: their runs are known.
  std::vector<size_t> contiguous;
  std::vector<size_t> chained;
  for (size_t i = 0; i < m_claims.size(); ++i) {
    (m_claims[i].contiguous ? contiguous : chained).push_back(i);
  }
  PlaceContiguousClaims(contiguous, out);

  // Chained files whose start is no longer free were overwritten.
  std::vector<size_t> order;
  for (size_t i : chained) {
    if (!IsFree(m_claims[i].start) || OwnerOf(m_claims[i].start) != -1) {
      m_placed[i] = true;
      out->push_back({m_claims[i].id, {}, false});
      continue;
    }
    order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return m_claims[a].start != m_claims[b].start ? m_claims[a].start < m_claims[b].start
                                                  : m_claims[a].id < m_claims[b].id;
  });
  for (size_t i : order) m_starts.emplace(m_claims[i].start, i);

  // Chains the FAT still holds.
  for (size_t i : order) {
    Candidate chain;
    if (Status s = ChainCandidate(i, &chain); s != kStatusOk) return s;
    if (!chain.valid || CheckLayout(m_claims[i], chain.clusters) == kBroken) continue;
    Own(chain.clusters, static_cast<int32_t>(i));
    m_placed[i] = true;
    const std::vector<store::DataExtent> runs = ToRuns(chain.clusters);
    if (runs.size() > 1) out->push_back({m_claims[i].id, runs, true});
  }

  // Files whose whole run from the start is free, theirs alone, and inside no other file's run.
  uint64_t reach = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t i = order[k];
    const FileClaim& claim = m_claims[i];
    const uint64_t end = uint64_t{claim.start} + ClustersOf(claim);
    const bool insideAnother = claim.start < reach;
    bool whole = m_geometry.IsDataRun(claim.start, ClustersOf(claim));
    for (uint64_t c = claim.start; whole && c < end; ++c) whole = IsFree(c) && OwnerOf(c) == -1;
    if (whole) reach = std::max(reach, end);
    if (m_placed[i] || !whole || insideAnother) continue;
    bool holdsAnotherStart = false;
    for (size_t j = k + 1; j < order.size() && m_claims[order[j]].start < end; ++j) {
      holdsAnotherStart = holdsAnotherStart || !m_placed[order[j]];
    }
    if (holdsAnotherStart) continue;
    const std::vector<uint32_t> run = RunOf(claim.start, ClustersOf(claim));
    if (CheckLayout(claim, run) == kBroken) continue;
    Own(run, static_cast<int32_t>(i));
    m_placed[i] = true;
  }

  // The others in start order: the first layout that holds together.
  for (size_t i : order) {
    if (m_placed[i]) continue;
    Candidate skip;
    SkipLayout(i, &skip);
    std::vector<size_t> members;
    std::vector<Candidate> group;
    GroupLayouts(i, order, &members, &group);
    const bool haveGroup = !group.empty() && group[0].valid;
    if (skip.valid && CheckLayout(m_claims[i], skip.clusters) == kConsistent) {
      Own(skip.clusters, static_cast<int32_t>(i));
      m_placed[i] = true;
      out->push_back({m_claims[i].id, ToRuns(skip.clusters), true});
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
          out->push_back({m_claims[members[k]].id, ToRuns(group[k].clusters), true});
        }
        if (m_placed[i]) continue;
      }
    }
    // Nothing holds together: the start-and-skip layout when there is one
    // (else the run from the start), and the file is not to be trusted.
    m_placed[i] = true;
    if (!skip.valid) {
      out->push_back({m_claims[i].id, {}, false});
      continue;
    }
    Own(skip.clusters, static_cast<int32_t>(i));
    out->push_back({m_claims[i].id, ToRuns(skip.clusters), false});
  }
  return kStatusOk;
}

}  // namespace engine::exfat
