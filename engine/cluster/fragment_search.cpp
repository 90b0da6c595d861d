// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/cluster/fragment_search.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/structure_check.h"

namespace engine::cluster {
namespace {

using signatures::DecodedKind;

// How a kind's file ends: its last bytes; 0x100 marks a byte that may be anything.
constexpr std::array<uint16_t, 2> kJpegEnd = {0xFF, 0xD9};
constexpr std::array<uint16_t, 12> kPngEnd = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// A ZIP's end of central directory without a comment.
constexpr std::array<uint16_t, 22> kZipEnd = {'P',   'K',   5,     6,     0x100, 0x100, 0x100, 0x100,
                                              0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100,
                                              0x100, 0x100, 0x100, 0x100, 0,     0};

struct Ending {
  const uint16_t* bytes = nullptr;
  size_t count = 0;
};

Ending EndingOf(std::string_view extension) {
  switch (signatures::DecodedKindOf(extension)) {
    case DecodedKind::kJpeg: return {kJpegEnd.data(), kJpegEnd.size()};
    case DecodedKind::kPng: return {kPngEnd.data(), kPngEnd.size()};
    case DecodedKind::kZip: return {kZipEnd.data(), kZipEnd.size()};
    case DecodedKind::kNone: break;
  }
  return {};
}

// A decoder notices foreign bytes some way after they begin (PNG at the end
// of the chunk, 8 KiB as libpng writes them): how many clusters before the
// one it broke in the cut is looked for.
uint64_t ClustersBack(uint64_t clusterBytes) {
  return std::max<uint64_t>(2, (9000 + clusterBytes - 1) / clusterBytes);
}

// Candidates for the next piece tried at each cut of the piece-by-piece search.
constexpr size_t kPiecePlaces = 64;
// Clusters of the file's last piece ending where the kind's end lies, tried per search.
constexpr size_t kEndPlaces = 64;

}  // namespace

bool CanReassemble(std::string_view extension) {
  return signatures::DecodedKindOf(extension) != DecodedKind::kNone;
}

bool FragmentSearch::OutOfBounds() {
  if (m_stopped) return true;
  const bool cancelled = m_bounds.cancelled && ++m_asked % 64 == 0 && m_bounds.cancelled();
  if (cancelled || m_stats.decodes >= m_bounds.maxDecodes || m_stats.quickChecks >= m_bounds.maxQuickChecks ||
      std::chrono::steady_clock::now() >= m_deadline) {
    m_stopped = true;
    m_stats.boundReached = true;
  }
  return m_stopped;
}

FragmentSearch::Outcome FragmentSearch::Decode(const std::vector<uint32_t>& clusters, uint64_t* held) {
  ++m_stats.decodes;
  const uint64_t clusterBytes = m_map.ClusterBytes();
  std::vector<ByteRun> runs;
  for (const store::DataExtent& run : ToRuns(clusters)) {
    runs.push_back(ByteRun{m_map.ClusterOffset(run.first), run.count * clusterBytes});
  }
  bool unreadable = false;
  const auto verdict = signatures::CheckLaidOutStructure(m_map.Reader(), runs, m_bytes, m_map.SectorBytes(),
                                                         m_extension, &unreadable, held);
  if (unreadable) return Outcome::kUntold;
  return verdict == signatures::StructureVerdict::kConsistent ? Outcome::kHolds
         : verdict == signatures::StructureVerdict::kBroken   ? Outcome::kBroken
                                                              : Outcome::kUntold;
}

FragmentSearch::Outcome FragmentSearch::Try(const std::vector<uint32_t>& clusters, uint64_t* held) {
  ++m_stats.quickChecks;
  const uint64_t clusterBytes = m_map.ClusterBytes();
  std::vector<ByteRun> runs;
  for (const store::DataExtent& run : ToRuns(clusters)) {
    runs.push_back(ByteRun{m_map.ClusterOffset(run.first), run.count * clusterBytes});
  }
  bool unreadable = false;
  const auto quick = signatures::CheckLaidOutStructure(m_map.Reader(), runs, m_bytes, m_map.SectorBytes(), m_extension,
                                                       &unreadable, nullptr, signatures::CheckDepth::kQuick);
  if (unreadable) return Outcome::kUntold;
  if (quick == signatures::StructureVerdict::kBroken) return Outcome::kBroken;
  return Decode(clusters, held);
}

Status FragmentSearch::Usable(uint64_t cluster, const std::unordered_set<uint32_t>& taken, bool* usable) {
  *usable = false;
  if (cluster < 2 || cluster > m_map.LastCluster() || taken.count(static_cast<uint32_t>(cluster)) != 0) {
    return kStatusOk;
  }
  return (*m_usable)(cluster, usable);
}

Status FragmentSearch::EndsAsItsKind(uint64_t cluster, bool* ends) {
  *ends = false;
  const Ending ending = EndingOf(m_extension);
  const uint64_t clusterBytes = m_map.ClusterBytes();
  const uint64_t tail = m_bytes - (m_needed - 1) * clusterBytes;  // bytes of the file in its last cluster
  const size_t count = static_cast<size_t>(std::min<uint64_t>(tail, ending.count));
  if (count == 0) return kStatusOk;
  std::array<uint8_t, 32> got{};
  if (m_map.Reader()(m_map.ClusterOffset(cluster) + tail - count, got.data(), count) != kStatusOk) {
    return kStatusOk;  // an unreadable cluster is no end of this file
  }
  const uint16_t* expected = ending.bytes + (ending.count - count);
  for (size_t i = 0; i < count; ++i) {
    if (expected[i] != 0x100 && expected[i] != got[i]) return kStatusOk;
  }
  *ends = true;
  return kStatusOk;
}

Status FragmentSearch::Candidates(uint64_t after, const std::vector<uint32_t>& taken, size_t most,
                                  const std::function<Status(uint64_t, bool*)>& accept, std::vector<uint32_t>* out) {
  out->clear();
  const uint64_t last = m_map.LastCluster();
  const std::unordered_set<uint32_t> takenSet(taken.begin(), taken.end());
  uint64_t looked = 0;
  auto look = [&](uint64_t c, bool* stop) -> Status {
    *stop = out->size() >= most || looked >= m_bounds.maxCandidates || (looked % 256 == 0 && OutOfBounds());
    if (*stop) return kStatusOk;
    ++looked;
    ++m_stats.candidates;
    bool usable = false;
    if (Status s = Usable(c, takenSet, &usable); s != kStatusOk || !usable) return s;
    bool take = false;
    if (Status s = accept(c, &take); s != kStatusOk) return s;
    if (take) out->push_back(static_cast<uint32_t>(c));
    return kStatusOk;
  };
  bool stop = false;
  for (uint64_t c = after + 1; c <= last && !stop; ++c) {
    if (Status s = look(c, &stop); s != kStatusOk) return s;
  }
  for (uint64_t c = 2; c < after && !stop; ++c) {
    if (Status s = look(c, &stop); s != kStatusOk) return s;
  }
  return kStatusOk;
}

Status FragmentSearch::FillFrom(uint64_t from, std::vector<uint32_t>* clusters) {
  const uint64_t limit = m_needed * 8 + 65536;  // how far past `from` the rest is looked for
  std::unordered_set<uint32_t> taken(clusters->begin(), clusters->end());
  for (uint64_t c = from; clusters->size() < m_needed && c <= m_map.LastCluster() && c - from <= limit; ++c) {
    bool usable = false;
    if (Status s = Usable(c, taken, &usable); s != kStatusOk) return s;
    if (!usable) continue;
    clusters->push_back(static_cast<uint32_t>(c));
    taken.insert(static_cast<uint32_t>(c));
  }
  return kStatusOk;
}

Status FragmentSearch::TwoPieces(const std::vector<uint32_t>& firstRun, std::vector<uint32_t>* clusters, bool* found) {
  std::vector<uint32_t> ends;
  const std::vector<uint32_t> none;
  if (Status s = Candidates(firstRun.front(), none, kEndPlaces,
                            [&](uint64_t c, bool* take) { return EndsAsItsKind(c, take); }, &ends);
      s != kStatusOk) {
    return s;
  }
  const uint64_t limit = m_needed * 8 + 65536;
  // Every cut is tried: a layout is taken only when it is the one that holds.
  std::vector<uint32_t> holding;
  for (uint32_t end : ends) {
    for (size_t keep = std::min<size_t>(firstRun.size(), m_needed - 1); keep >= 1; --keep) {
      if (OutOfBounds()) return kStatusOk;  // not tried through: nothing is taken
      std::vector<uint32_t> layout(firstRun.begin(), firstRun.begin() + static_cast<std::ptrdiff_t>(keep));
      if (end >= layout.front() && end <= layout.back()) continue;
      // The second piece: the usable clusters that end at `end`, back to the first piece.
      std::vector<uint32_t> second;
      for (uint64_t c = end; second.size() < m_needed - keep && c >= 2 && end - c <= limit; --c) {
        if (c == layout.back()) break;
        // The first piece is the clusters from the start on, one after another.
        const bool inFirst = c >= layout.front() && c <= layout.back();
        bool usable = c == end && !inFirst;
        if (!usable && !inFirst) {
          if (Status s = Usable(c, {}, &usable); s != kStatusOk) return s;
        }
        if (usable) second.push_back(static_cast<uint32_t>(c));
      }
      if (second.size() != m_needed - keep) continue;
      layout.insert(layout.end(), second.rbegin(), second.rend());
      if (layout == holding) continue;  // another cut that comes to the same clusters
      uint64_t held = 0;
      if (Try(layout, &held) != Outcome::kHolds) continue;
      if (!holding.empty()) {
        m_stats.ambiguous = true;  // two layouts hold: neither is proven
        return kStatusOk;
      }
      holding = std::move(layout);
    }
  }
  if (!holding.empty()) {
    *clusters = std::move(holding);
    *found = true;
  }
  return kStatusOk;
}

Status FragmentSearch::PieceByPiece(const std::vector<uint32_t>& plain, uint64_t plainHeld,
                                    std::vector<uint32_t>* clusters, bool* found) {
  const uint64_t clusterBytes = m_map.ClusterBytes();
  const uint64_t back = ClustersBack(clusterBytes);
  std::vector<uint32_t> layout = plain;
  uint64_t held = plainHeld;
  size_t settled = 1;  // clusters of the layout no cut goes before
  for (uint32_t piece = 2; piece <= m_bounds.maxPieces && !OutOfBounds(); ++piece) {
    const uint64_t brokeIn = held / clusterBytes;  // the cluster the decoder broke in
    const uint64_t highest = std::min<uint64_t>(brokeIn + 1, layout.size() - 1);
    const uint64_t lowest = std::max<uint64_t>(settled, brokeIn > back ? brokeIn - back : 1);
    if (highest < lowest) return kStatusOk;
    // Cuts nearest the point of breaking first.
    std::vector<uint64_t> cuts;
    for (uint64_t keep = std::min(brokeIn, highest); keep >= lowest; --keep) cuts.push_back(keep);
    if (brokeIn + 1 <= highest && brokeIn + 1 >= lowest) cuts.push_back(brokeIn + 1);
    // At each cut the nearest place the decode goes on from is taken (a file
    // system hands out the next free cluster); a layout that holds is taken
    // only when no other place at that cut holds too.
    std::vector<uint32_t> next;
    uint64_t nextHeld = 0;
    uint64_t nextKeep = 0;
    for (uint64_t keep : cuts) {
      std::vector<uint32_t> prefix(layout.begin(), layout.begin() + static_cast<std::ptrdiff_t>(keep));
      std::vector<uint32_t> places;
      if (Status s = Candidates(prefix.back(), prefix, kPiecePlaces,
                                [](uint64_t, bool* take) {
                                  *take = true;
                                  return kStatusOk;
                                },
                                &places);
          s != kStatusOk) {
        return s;
      }
      std::vector<uint32_t> holding;
      for (uint32_t place : places) {
        if (OutOfBounds()) return kStatusOk;  // not tried through: nothing is taken
        if (place == layout[keep]) continue;  // the layout that broke
        std::vector<uint32_t> trial = prefix;
        if (Status s = FillFrom(place, &trial); s != kStatusOk) return s;
        if (trial.size() != m_needed) continue;
        uint64_t trialHeld = 0;
        const Outcome outcome = Decode(trial, &trialHeld);
        if (outcome == Outcome::kHolds) {
          if (!holding.empty()) {
            m_stats.ambiguous = true;
            return kStatusOk;
          }
          holding = std::move(trial);
        } else if (holding.empty() && next.empty() && outcome == Outcome::kBroken && trialHeld > held &&
                   trialHeld >= (keep + 1) * clusterBytes) {
          // The decode went on past where the layout broke, and over a whole cluster of the new piece.
          next = std::move(trial);
          nextHeld = trialHeld;
          nextKeep = keep;
          break;
        }
      }
      if (!holding.empty()) {
        *clusters = std::move(holding);
        *found = true;
        return kStatusOk;
      }
      if (!next.empty()) break;
    }
    if (next.empty()) return kStatusOk;
    layout = std::move(next);
    held = nextHeld;
    settled = nextKeep + 1;
  }
  return kStatusOk;
}

Status FragmentSearch::Find(uint32_t start, uint64_t bytes, std::string_view extension, const UsableCluster& usable,
                            std::vector<uint32_t>* clusters, bool* found) {
  *found = false;
  clusters->clear();
  m_stats = FragmentSearchStats{};
  m_stopped = false;
  m_asked = 0;
  const auto began = std::chrono::steady_clock::now();
  m_deadline = began + m_bounds.budget;
  auto done = [&](Status s) {
    m_stats.spent = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    return s;
  };
  const uint64_t clusterBytes = m_map.ClusterBytes();
  if (!CanReassemble(extension) || clusterBytes == 0 || bytes == 0 ||
      bytes > signatures::StructureCheckLimit(extension) || start < 2 || start > m_map.LastCluster()) {
    return done(kStatusOk);
  }
  m_usable = &usable;
  m_bytes = bytes;
  m_extension = extension;
  m_needed = (bytes + clusterBytes - 1) / clusterBytes;
  if (m_needed < 2) return done(kStatusOk);
  // The first piece reaches at most over the usable clusters next to the start.
  std::vector<uint32_t> firstRun{start};
  for (uint64_t c = uint64_t{start} + 1; firstRun.size() < m_needed - 1 && c <= m_map.LastCluster(); ++c) {
    bool next = false;
    if (Status s = Usable(c, {}, &next); s != kStatusOk) return done(s);
    if (!next) break;
    firstRun.push_back(static_cast<uint32_t>(c));
  }
  if (Status s = TwoPieces(firstRun, clusters, found); s != kStatusOk || *found) return done(s);
  const DecodedKind kind = signatures::DecodedKindOf(extension);
  if ((kind != DecodedKind::kJpeg && kind != DecodedKind::kPng) || OutOfBounds()) return done(kStatusOk);
  // More pieces: the plain layout, cut where its decode broke.
  std::vector<uint32_t> plain{start};
  if (Status s = FillFrom(uint64_t{start} + 1, &plain); s != kStatusOk) return done(s);
  if (plain.size() != m_needed) return done(kStatusOk);
  uint64_t held = 0;
  switch (Decode(plain, &held)) {
    case Outcome::kHolds:
      *clusters = std::move(plain);
      *found = true;
      return done(kStatusOk);
    case Outcome::kUntold: return done(kStatusOk);
    case Outcome::kBroken: break;
  }
  return done(PieceByPiece(plain, held, clusters, found));
}

}  // namespace engine::cluster
