// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_tree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <numeric>
#include <set>
#include <unordered_map>
#include <utility>

#include "engine/fat_dir_entry.h"

namespace engine::fat {
namespace {

// Candidates looked at per piece in one checksum's list of unfinished long
// names, nearest first: bounds the time per piece.
constexpr int kCandidatesTried = 64;
// While no more directories are open, every one is scored for a piece.
constexpr size_t kScoreAllOpen = 256;
// More than one earlier piece could be continued.
constexpr int32_t kAmbiguous = -2;

using TailKey = std::pair<uint64_t, int32_t>;  // (first sector, piece)

class Assigner {
 public:
  Assigner(const std::vector<DirectoryPiece>& pieces, const std::vector<uint32_t>& subfolders,
           const FatGeometryList& geometries, uint32_t sectorSize, bool score, PieceOwnership& out)
      : m_pieces(pieces),
        m_subfolders(subfolders),
        m_geometries(geometries),
        m_sectorSize(sectorSize),
        m_score(score),
        m_out(out) {}

  void Run();

 private:
  int32_t BestPlacing(uint32_t cluster, uint64_t sector) const {
    for (int32_t g : m_out.byVotes) {
      if (m_geometries.Fits(static_cast<size_t>(g), cluster, sector)) return g;
    }
    return PieceOwnership::kNone;
  }
  bool OnClusterStart(int32_t geometry, uint64_t sector) const {
    uint32_t cluster = 0;
    return geometry < 0 || m_geometries.At(static_cast<size_t>(geometry)).cluster.ClusterAt(sector, &cluster);
  }
  void ChooseDirectories(const std::vector<int32_t>& order);
  bool PlaceInRoot(int32_t p);
  int32_t ContinuedByEntryOrder(int32_t p) const;
  int32_t ContinuedByScore(int32_t p);
  // The sector right behind the data of the file the tail of p lists last (0: unknown).
  uint64_t DataEnd(int32_t p) const;
  bool PlaceBySubfolders(int32_t p);
  void AddTail(int32_t p);
  void RemoveTail(int32_t p);
  void Continue(int32_t p, int32_t tail);

  const std::vector<DirectoryPiece>& m_pieces;
  const std::vector<uint32_t>& m_subfolders;
  const FatGeometryList& m_geometries;
  const uint32_t m_sectorSize;
  const bool m_score;
  PieceOwnership& m_out;
  ContinuationIndex m_index;
  std::vector<uint64_t> m_dataEnd;  // by piece: what it was indexed under
  std::vector<int32_t> m_candidates;
  std::unordered_map<uint32_t, int32_t> m_directoryOf;  // own cluster -> piece
  std::set<TailKey> m_open;                             // pieces whose directory may go on
  std::array<std::set<TailKey>, 256> m_fragments;       // the same, ending in an unfinished long name, by checksum
};

void Assigner::ChooseDirectories(const std::vector<int32_t>& order) {
  for (int32_t p : order) {
    const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
    if (!piece.startsDirectory || piece.ownCluster < 2 || piece.ownCluster > kMaxFatCluster) continue;
    const int32_t g = BestPlacing(piece.ownCluster, piece.firstSector);
    auto [it, inserted] = m_directoryOf.emplace(piece.ownCluster, p);
    if (!inserted) {
      // Two starts name one cluster: the one its geometry places better stands for it.
      const int32_t other = m_out.entries[static_cast<size_t>(it->second)].geometry;
      const bool better =
          g >= 0 && (other < 0 || m_out.votes[static_cast<size_t>(g)] > m_out.votes[static_cast<size_t>(other)]);
      if (!better) continue;
      m_out.entries[static_cast<size_t>(it->second)] = PieceOwnership::Entry{};
      it->second = p;
    }
    PieceOwnership::Entry& e = m_out.entries[static_cast<size_t>(p)];
    e.isDirectory = true;
    e.owner = p;
    e.geometry = g;
  }
}

bool Assigner::PlaceInRoot(int32_t p) {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  PieceOwnership::Entry& e = m_out.entries[static_cast<size_t>(p)];
  for (int32_t g : m_out.byVotes) {
    const KnownGeometry& known = m_geometries.At(static_cast<size_t>(g));
    if (known.isFat32) {
      uint64_t rootSector = 0;
      if (known.rootCluster >= 2 && known.cluster.ClusterSector(known.rootCluster, &rootSector) &&
          rootSector == piece.firstSector) {
        e.owner = PieceOwnership::kRoot;
        e.geometry = g;
        AddTail(p);
        return true;
      }
    } else if (piece.firstSector >= known.RootAreaFirst() && piece.firstSector < known.RootAreaEnd()) {
      // A FAT12/16 root has a fixed size: nothing of it lies elsewhere.
      e.owner = PieceOwnership::kRoot;
      e.geometry = g;
      return true;
    }
  }
  return false;
}

int32_t Assigner::ContinuedByEntryOrder(int32_t p) const {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  // The one earlier unfinished long name in checksum's list that accepts
  // (among the nearest tried); kAmbiguous when several do: directories of
  // like names (ROUND_~1.TXT in every folder) share checksums, and a wrong
  // link would put files into a wrong folder.
  auto only = [&](uint8_t checksum, auto&& accepts) -> int32_t {
    const std::set<TailKey>& list = m_fragments[checksum];
    auto it = list.lower_bound({piece.firstSector, -1});
    int32_t found = PieceOwnership::kNone;
    for (int tried = 0; it != list.begin() && tried < kCandidatesTried; ++tried) {
      --it;
      const int32_t t = it->second;
      const DirectoryPiece& tail = m_pieces[static_cast<size_t>(t)];
      if (!OnClusterStart(m_out.entries[static_cast<size_t>(t)].geometry, piece.firstSector)) continue;
      if (!accepts(tail)) continue;
      if (found != PieceOwnership::kNone) return kAmbiguous;
      found = t;
    }
    return found;
  };
  auto complete = [](const DirectoryPiece& tail) { return tail.tailFragmentDeleted || tail.tailNextSequence == 0; };
  switch (piece.head) {
    case PieceHead::kLongName:
      return only(piece.headChecksum, [&](const DirectoryPiece& tail) {
        return tail.tailFragmentDeleted || tail.tailNextSequence == piece.headSequence;
      });
    case PieceHead::kDeletedLongName: return only(piece.headChecksum, [](const DirectoryPiece&) { return true; });
    case PieceHead::kLiveShort: return only(piece.headChecksum, complete);
    case PieceHead::kDeletedShort: {
      // The first byte is lost; the checksum of each candidate's long name
      // says which byte it must have been (one byte per checksum).
      std::array<uint8_t, 256> firstByteOf{};
      std::array<uint8_t, 11> name = piece.headName;
      for (int b = 0; b < 256; ++b) {
        name[0] = static_cast<uint8_t>(b);
        firstByteOf[ShortNameChecksum(name.data())] = static_cast<uint8_t>(b);
      }
      int32_t found = PieceOwnership::kNone;
      for (int checksum = 0; checksum < 256; ++checksum) {
        if (m_fragments[static_cast<size_t>(checksum)].empty()) continue;
        const uint8_t firstByte = firstByteOf[static_cast<size_t>(checksum)];
        if (!IsLegalFirstNameByte(firstByte)) continue;
        const int32_t t = only(static_cast<uint8_t>(checksum), [&](const DirectoryPiece& tail) {
          return complete(tail) && piece.firstSector - tail.EndSector() <= kFragmentReachSectors &&
                 FirstByteMatchesLongName(firstByte, tail.tailFirstChar);
        });
        if (t == PieceOwnership::kNone) continue;
        if (t == kAmbiguous || found != PieceOwnership::kNone) return kAmbiguous;
        found = t;
      }
      return found;
    }
    case PieceHead::kOther: break;
  }
  return PieceOwnership::kNone;
}

bool Assigner::PlaceBySubfolders(int32_t p) {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  std::map<uint32_t, uint32_t> parents;  // parent cluster named by a subfolder's ".." -> how many
  for (uint32_t i = 0; i < piece.subfolderCount; ++i) {
    const size_t at = static_cast<size_t>(piece.subfolderFirst) + i;
    if (at >= m_subfolders.size()) break;
    auto dir = m_directoryOf.find(m_subfolders[at]);
    if (dir == m_directoryOf.end()) continue;
    ++parents[m_pieces[static_cast<size_t>(dir->second)].parentCluster];
  }
  uint32_t parent = 0;
  uint32_t most = 0;
  for (const auto& [cluster, count] : parents) {
    if (count > most) {
      most = count;
      parent = cluster;
    }
  }
  if (most == 0) return false;
  PieceOwnership::Entry& e = m_out.entries[static_cast<size_t>(p)];
  bool isRoot = parent == 0;
  for (int32_t g : m_out.byVotes) {
    const KnownGeometry& known = m_geometries.At(static_cast<size_t>(g));
    if (known.isFat32 && known.rootCluster == parent) isRoot = true;
  }
  if (isRoot) {
    e.owner = PieceOwnership::kRoot;
  } else {
    auto dir = m_directoryOf.find(parent);
    if (dir == m_directoryOf.end()) return false;
    e.owner = dir->second;
  }
  // The piece lies in the geometry of its directory where that places it.
  const int32_t ownerGeometry = e.owner >= 0 ? m_out.entries[static_cast<size_t>(e.owner)].geometry : -1;
  e.geometry = ownerGeometry >= 0 && OnClusterStart(ownerGeometry, piece.firstSector) ? ownerGeometry : -1;
  if (e.geometry < 0) {
    for (int32_t g : m_out.byVotes) {
      if (OnClusterStart(g, piece.firstSector)) {
        e.geometry = g;
        break;
      }
    }
  }
  AddTail(p);
  return true;
}

void Assigner::AddTail(int32_t p) {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  if (!piece.tailOpen) return;
  // A directory goes on in another cluster only from the end of a cluster.
  if (!OnClusterStart(m_out.entries[static_cast<size_t>(p)].geometry, piece.EndSector())) return;
  m_open.insert({piece.firstSector, p});
  if (piece.tailFragment) m_fragments[piece.tailChecksum].insert({piece.firstSector, p});
  m_dataEnd[static_cast<size_t>(p)] = DataEnd(p);
  m_index.Add(p, piece, m_dataEnd[static_cast<size_t>(p)]);
}

void Assigner::RemoveTail(int32_t p) {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  m_open.erase({piece.firstSector, p});
  m_fragments[piece.tailChecksum].erase({piece.firstSector, p});
  m_index.Remove(p, piece, m_dataEnd[static_cast<size_t>(p)]);
}

uint64_t Assigner::DataEnd(int32_t p) const {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  const int32_t g = m_out.entries[static_cast<size_t>(p)].geometry;
  if (g < 0 || piece.lastStart < 2) return 0;
  const ClusterGeometry& cg = m_geometries.At(static_cast<size_t>(g)).cluster;
  const uint64_t clusterBytes = uint64_t{cg.sectorsPerCluster} * m_sectorSize;
  uint64_t first = 0;
  if (clusterBytes == 0 || !cg.ClusterSector(piece.lastStart, &first)) return 0;
  const uint64_t clusters = std::max<uint64_t>(1, (uint64_t{piece.lastStartSize} + clusterBytes - 1) / clusterBytes);
  return first + clusters * cg.sectorsPerCluster;
}

int32_t Assigner::ContinuedByScore(int32_t p) {
  const DirectoryPiece& piece = m_pieces[static_cast<size_t>(p)];
  m_candidates.clear();
  if (m_open.size() <= kScoreAllOpen) {
    for (const TailKey& key : m_open) {
      if (key.first < piece.firstSector) m_candidates.push_back(key.second);
    }
  } else {
    m_index.Candidates(piece, m_candidates);
    // Unfinished long names the piece may finish, nearest first.
    auto nearest = [&](uint8_t checksum, int count) {
      const std::set<TailKey>& list = m_fragments[checksum];
      auto it = list.lower_bound({piece.firstSector, -1});
      for (int n = 0; n < count && it != list.begin(); ++n) m_candidates.push_back((--it)->second);
    };
    if (piece.head == PieceHead::kDeletedShort) {
      for (int checksum = 0; checksum < 256; ++checksum) nearest(static_cast<uint8_t>(checksum), 2);
    } else if (piece.head != PieceHead::kOther) {
      nearest(piece.headChecksum, ContinuationIndex::kNearest);
    }
    std::sort(m_candidates.begin(), m_candidates.end());
    m_candidates.erase(std::unique(m_candidates.begin(), m_candidates.end()), m_candidates.end());
  }
  int32_t best = PieceOwnership::kNone;
  int32_t bestScore = kNoContinuation;
  int32_t secondScore = 0;  // no rival: the best must lead nothing by the margin
  for (int32_t t : m_candidates) {
    const DirectoryPiece& tail = m_pieces[static_cast<size_t>(t)];
    const int32_t g = m_out.entries[static_cast<size_t>(t)].geometry;
    if (tail.firstSector >= piece.firstSector || !OnClusterStart(g, piece.firstSector)) continue;
    ContinuationPlace place;
    if (g >= 0) {
      const ClusterGeometry& cg = m_geometries.At(static_cast<size_t>(g)).cluster;
      if (cg.ClusterHolding(piece.firstSector, &place.headCluster)) {
        place.clusterBytes = uint64_t{cg.sectorsPerCluster} * m_sectorSize;
      }
    }
    const int32_t score = ScoreContinuation(tail, piece, place);
    if (score > bestScore) {
      secondScore = std::max(secondScore, bestScore);
      bestScore = score;
      best = t;
    } else {
      secondScore = std::max(secondScore, score);
    }
  }
  if (best < 0 || bestScore < kContinuationScore || bestScore - secondScore < kContinuationMargin) {
    return PieceOwnership::kNone;
  }
  return best;
}

void Assigner::Continue(int32_t p, int32_t tail) {
  PieceOwnership::Entry& e = m_out.entries[static_cast<size_t>(p)];
  const PieceOwnership::Entry& t = m_out.entries[static_cast<size_t>(tail)];
  e.prev = tail;
  e.owner = t.owner;
  e.geometry = t.geometry;
  RemoveTail(tail);
  AddTail(p);
}

void Assigner::Run() {
  const size_t n = m_pieces.size();
  m_out.entries.assign(n, PieceOwnership::Entry{});
  m_dataEnd.assign(n, 0);
  m_out.votes.assign(m_geometries.Size(), 0);
  for (const DirectoryPiece& piece : m_pieces) {
    if (!piece.startsDirectory) continue;
    for (size_t g = 0; g < m_geometries.Size(); ++g) {
      if (m_geometries.Fits(g, piece.ownCluster, piece.firstSector)) ++m_out.votes[g];
    }
  }
  m_out.byVotes.resize(m_geometries.Size());
  std::iota(m_out.byVotes.begin(), m_out.byVotes.end(), 0);
  std::stable_sort(m_out.byVotes.begin(), m_out.byVotes.end(), [&](int32_t a, int32_t b) {
    return m_out.votes[static_cast<size_t>(a)] > m_out.votes[static_cast<size_t>(b)];
  });

  std::vector<int32_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return m_pieces[static_cast<size_t>(a)].firstSector < m_pieces[static_cast<size_t>(b)].firstSector;
  });
  ChooseDirectories(order);

  for (int32_t p : order) {
    PieceOwnership::Entry& e = m_out.entries[static_cast<size_t>(p)];
    if (e.isDirectory) {
      AddTail(p);
      continue;
    }
    if (PlaceInRoot(p)) continue;
    if (PlaceBySubfolders(p)) continue;
    if (m_score) {
      if (const int32_t tail = ContinuedByScore(p); tail >= 0) {
        Continue(p, tail);
        continue;
      }
    } else if (const int32_t tail = ContinuedByEntryOrder(p); tail >= 0) {
      Continue(p, tail);
      continue;
    }
    if (!m_score && m_open.size() == 1) {
      const int32_t tail = m_open.begin()->second;
      if (OnClusterStart(m_out.entries[static_cast<size_t>(tail)].geometry,
                         m_pieces[static_cast<size_t>(p)].firstSector)) {
        Continue(p, tail);
        continue;
      }
    }
    e.isLost = true;
    e.owner = p;
    e.geometry = PieceOwnership::kNone;
    for (int32_t g : m_out.byVotes) {
      uint32_t cluster = 0;
      if (m_geometries.At(static_cast<size_t>(g))
              .cluster.ClusterAt(m_pieces[static_cast<size_t>(p)].firstSector, &cluster)) {
        e.geometry = g;
        break;
      }
    }
    AddTail(p);
  }
}

}  // namespace

PieceOwnership AssignPieceOwners(const std::vector<DirectoryPiece>& pieces, const std::vector<uint32_t>& subfolders,
                                 const FatGeometryList& geometries, uint32_t sectorSize, bool scoreContinuations) {
  PieceOwnership out;
  Assigner(pieces, subfolders, geometries, sectorSize, scoreContinuations, out).Run();
  return out;
}

}  // namespace engine::fat
