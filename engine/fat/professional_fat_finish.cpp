// SPDX-License-Identifier: GPL-3.0-or-later
// FinishFatScan: the folder tree and every record of the professional FAT
// engine, built from the directory pieces the scan kept.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/categories.h"
#include "engine/cluster/fragment_search.h"
#include "engine/fat/professional_fat_fragments.h"
#include "engine/fat/professional_fat_entries.h"
#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat/professional_fat_tree.h"
#include "engine/fat_dir_entry.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/signature_check.h"
#include "engine/store/scan_store.h"

namespace engine::fat {
namespace {

// Parents the scan did not see that are read from the volume, at most.
constexpr size_t kMaxResolvedDirectories = 65536;
// The format caps a directory at 65,536 entries.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * fat_entry::kBytes;
// Deleted FAT32 entries may have lost the high word of their first cluster;
// these high words are tried.
constexpr uint32_t kHighWordsTried = 257;
// The progress callback is asked after this many chains or records.
constexpr uint32_t kReportEvery = 256;
// Keys of folders that stand for lost directory pieces lie above every
// cluster number, so they never meet a directory's key.
constexpr uint32_t kLostLocatorBase = 0x10000000;

enum class NodeKind { kRoot, kDirectory, kResolved, kLost };

// The entry that names a folder, as good as found so far.
struct FolderName {
  static constexpr int kNone = 99;
  int rank = kNone;  // 0 live in its parent, 1 deleted in its parent, 2 live elsewhere, 3 deleted elsewhere
  std::string name;
  FatEntryTimes times;
  bool deleted = false;
  uint64_t entrySector = 0;
};

// A folder of the tree: the root, a directory the scan saw begin, a parent
// read from the volume, or a lost run of directory sectors.
struct Node {
  NodeKind kind = NodeKind::kRoot;
  uint32_t cluster = 0;        // own cluster (directories, resolved parents; lost runs: their first cluster or 0)
  uint32_t locator = 0;        // its key: the cluster, or kLostLocatorBase + n for lost runs
  uint32_t parentCluster = 0;  // what its ".." names
  int32_t parent = -1;         // node index; -1 for the root
  int32_t geometry = -1;
  uint64_t firstSector = 0;
  FolderName name;
  bool deleted = false;
  uint32_t keyDepth = 0;  // depth of its children's key: 0 for the root
};

// Clusters of a piece of directory under a geometry, [first, last].
struct ClusterRange {
  int32_t geometry = -1;
  uint32_t first = 0;
  uint32_t last = 0;
  bool operator<(const ClusterRange& o) const {
    return geometry != o.geometry ? geometry < o.geometry : first < o.first;
  }
};

std::string ExtensionText(const std::string& name) {
  return std::string(ExtensionOf(name));
}

}  // namespace

struct CProfessionalFatRecovery::Finish {
  explicit Finish(CProfessionalFatRecovery& e)
      : engine(e),
        pieces(refined.Pieces()),
        geometries(e.m_geometries),
        volume(e.m_volume),
        sectorSize(e.m_volume.SectorSize()) {}

  Status Run();
  // Puts together the candidates found in pieces (SearchFatFilesInPieces).
  [[nodiscard]] Status SearchPieces();

 private:
  void RefinePieces();
  void BuildNodes();
  // Reads the pieces of the chain that begins at head, in order, handing
  // every entry with the piece that holds it to sink.
  void ParseChain(int32_t head, const std::function<void(const ParsedEntry&, int32_t)>& sink);
  // Reads a directory's first cluster and the directory sectors right
  // behind it (a directory written in one go), entries to sink.
  void ParseRun(int32_t geometry, uint32_t cluster, const DirectoryEntryParser::Sink& sink);
  void OfferName(int32_t holder, const ParsedEntry& entry);
  void CollectNames();
  bool IsRootCluster(uint32_t cluster) const;
  bool HeldByParent(const Node& node, int32_t holder) const;
  int32_t Resolve(uint32_t cluster, int32_t geometry);
  void ResolveParents();
  void ReadRootForNames();
  void PlaceNodes();
  void CollectEvidence();
  // What a file read from start through the following clusters is worth.
  ItemState JudgeData(int32_t geometry, uint32_t start, uint64_t size, const std::string& name);
  uint32_t SearchHighWord(int32_t geometry, uint16_t lowWord, const std::string& extension);
  bool AppendRecord(ItemRecord& record);
  // Keeps a written file as a candidate of the search for files in pieces
  // (its data fails its check) or as holding its clusters (in use, intact).
  void NotePieces(const ItemRecord& record, int32_t geometry, uint32_t start, const std::string& extension);
  bool Report();
  Status WriteFolders();
  Status WriteFiles();
  std::string PlaceholderName(const Node& node) const;

  CProfessionalFatRecovery& engine;
  // The scan's pieces, split where a cluster that lies right behind another
  // directory's cluster is not its continuation.
  DirectoryPieceLog refined;
  const std::vector<DirectoryPiece>& pieces;
  const FatGeometryList& geometries;
  VolumeSectors& volume;
  const uint32_t sectorSize;

  PieceOwnership owners;
  std::vector<Node> nodes;
  std::vector<int32_t> nodeOfPiece;  // the folder a piece's entries belong to
  std::vector<int32_t> nextPiece;    // the piece that continues a piece, or -1
  std::unordered_map<uint32_t, int32_t> nodeOfCluster;
  std::unordered_multimap<uint16_t, int32_t> nodesByLowWord;  // directories past cluster 65535
  std::unordered_set<uint32_t> unresolvable;
  std::vector<int32_t> order;  // nodes from the root down (breadth-first)
  bool rootHasPieces = false;

  struct LiveStart {
    int32_t holder;
    int32_t geometry;
    uint32_t cluster;
  };
  std::vector<LiveStart> liveStarts;
  std::vector<std::pair<int32_t, uint32_t>> liveStartIndex;  // (geometry, cluster), sorted
  std::vector<std::pair<int32_t, uint32_t>> fileStartIndex;  // every file's, live or deleted, sorted
  std::vector<ClusterRange> directoryRanges;                 // sorted
  std::vector<uint32_t> longestRange;                        // by geometry

  // Files whose data does not follow their first cluster, and what found
  // files that were in use hold: for the search of files in pieces.
  std::vector<FatPieceCandidate> pieceCandidates;
  std::vector<FatHeldClusters> heldClusters;

  std::vector<uint8_t> buffer;
  std::vector<uint8_t> sector;
  Status firstReadError = kStatusOk;
  Status stopStatus = kStatusOk;
  uint32_t sinceReport = 0;
};

void CProfessionalFatRecovery::Finish::RefinePieces() {
  const std::vector<DirectoryPiece>& scanned = engine.m_pieces.Pieces();
  // The geometry each piece lies in: for a directory start the placing one
  // most directories agree on; else the first, in that order, under which it
  // begins a cluster.
  std::vector<uint32_t> votes(geometries.Size(), 0);
  std::unordered_map<uint32_t, uint32_t> parentOf;  // directory cluster -> what its ".." names
  for (const DirectoryPiece& piece : scanned) {
    if (!piece.startsDirectory) continue;
    parentOf.emplace(piece.ownCluster, piece.parentCluster);
    for (size_t g = 0; g < geometries.Size(); ++g) {
      if (geometries.Fits(g, piece.ownCluster, piece.firstSector)) ++votes[g];
    }
  }
  auto geometryOf = [&](const DirectoryPiece& piece) -> const ClusterGeometry* {
    const ClusterGeometry* best = nullptr;
    uint32_t bestVotes = 0;
    for (size_t g = 0; g < geometries.Size(); ++g) {
      uint32_t cluster = 0;
      const bool places = piece.startsDirectory ? geometries.Fits(g, piece.ownCluster, piece.firstSector)
                                                : geometries.At(g).cluster.ClusterAt(piece.firstSector, &cluster);
      if (places && (best == nullptr || votes[g] > bestVotes)) {
        best = &geometries.At(g).cluster;
        bestVotes = votes[g];
      }
    }
    return best;
  };
  const uint32_t perRead = static_cast<uint32_t>(buffer.size() / sectorSize);
  for (const DirectoryPiece& piece : scanned) {
    const ClusterGeometry* g = geometryOf(piece);
    uint32_t directory = piece.startsDirectory ? piece.ownCluster : 0;
    refined.SetListedElsewhere(piece.listedElsewhere);
    for (uint64_t at = 0; at < piece.sectorCount;) {
      const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(perRead, piece.sectorCount - at));
      if (Status s = volume.Read(piece.firstSector + at, count, buffer.data()); s != kStatusOk) {
        if (firstReadError == kStatusOk) firstReadError = s;
        // A piece that cannot be read again still stands for its directory
        // (its folder keeps its place and name); its entries are lost.
        if (at == 0) {
          const std::vector<uint32_t>& clusters = engine.m_pieces.SubfolderClusters();
          refined.AddSummary(piece,
                             piece.subfolderFirst < clusters.size() ? clusters.data() + piece.subfolderFirst : nullptr);
        }
        break;
      }
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* bytes = buffer.data() + static_cast<size_t>(i) * sectorSize;
        const uint64_t absolute = piece.firstSector + at + i;
        if (at + i == 0) {
          if (piece.startsDirectory) {
            refined.AddDirectoryStart(bytes, sectorSize, absolute, piece.ownCluster, piece.parentCluster);
          } else {
            refined.AddDirectorySector(bytes, sectorSize, absolute, false);
          }
          continue;
        }
        uint32_t cluster = 0;
        bool mayContinue = true;
        if (g != nullptr && g->ClusterAt(absolute, &cluster) && !refined.Pieces().empty()) {
          // A new cluster right behind: it goes on only if its entries can
          // follow, and not when its subfolders name another parent.
          DirectoryPieceLog alone;
          alone.AddDirectorySector(bytes, sectorSize, absolute, false);
          const DirectoryPiece& head = alone.Pieces().front();
          mayContinue = EntriesMayFollow(refined.Pieces().back(), head);
          std::unordered_map<uint32_t, uint32_t> parents;
          for (uint32_t k = 0; k < head.subfolderCount; ++k) {
            auto it = parentOf.find(alone.SubfolderClusters()[head.subfolderFirst + k]);
            if (it != parentOf.end()) ++parents[it->second];
          }
          uint32_t most = 0;
          uint32_t parent = 0;
          for (const auto& [candidate, n] : parents) {
            if (n > most || (n == most && candidate < parent)) {
              most = n;
              parent = candidate;
            }
          }
          if (most != 0 && directory != 0 && parent != directory) mayContinue = false;
          if (!mayContinue) directory = 0;
        }
        refined.AddDirectorySector(bytes, sectorSize, absolute, mayContinue);
      }
      at += count;
    }
  }
}

void CProfessionalFatRecovery::Finish::BuildNodes() {
  nodes.push_back(Node{});  // the root
  nodeOfPiece.assign(pieces.size(), -1);
  nextPiece.assign(pieces.size(), -1);
  uint32_t lost = 0;
  for (size_t p = 0; p < pieces.size(); ++p) {
    const PieceOwnership::Entry& e = owners.entries[p];
    if (!e.isDirectory && !e.isLost) continue;
    Node node;
    node.geometry = e.geometry;
    node.firstSector = pieces[p].firstSector;
    node.parent = 0;
    if (e.isDirectory) {
      node.kind = NodeKind::kDirectory;
      node.cluster = pieces[p].ownCluster;
      node.locator = node.cluster;
      node.parentCluster = pieces[p].parentCluster;
    } else {
      node.kind = NodeKind::kLost;
      uint32_t cluster = 0;
      if (e.geometry >= 0 &&
          geometries.At(static_cast<size_t>(e.geometry)).cluster.ClusterHolding(pieces[p].firstSector, &cluster)) {
        node.cluster = cluster;
      }
      node.locator = kLostLocatorBase + lost++;
    }
    nodeOfPiece[p] = static_cast<int32_t>(nodes.size());
    if (e.isDirectory) {
      nodeOfCluster[node.cluster] = static_cast<int32_t>(nodes.size());
      if (node.cluster > 0xFFFF) {
        nodesByLowWord.emplace(static_cast<uint16_t>(node.cluster & 0xFFFF), static_cast<int32_t>(nodes.size()));
      }
    }
    nodes.push_back(std::move(node));
  }
  for (size_t p = 0; p < pieces.size(); ++p) {
    const PieceOwnership::Entry& e = owners.entries[p];
    if (e.prev >= 0) nextPiece[static_cast<size_t>(e.prev)] = static_cast<int32_t>(p);
    if (nodeOfPiece[p] >= 0) continue;
    if (e.owner == PieceOwnership::kRoot) {
      nodeOfPiece[p] = 0;
      rootHasPieces = true;
    } else {
      nodeOfPiece[p] = nodeOfPiece[static_cast<size_t>(e.owner)];
    }
  }
}

void CProfessionalFatRecovery::Finish::ParseChain(int32_t head,
                                                  const std::function<void(const ParsedEntry&, int32_t)>& sink) {
  DirectoryEntryParser parser;
  parser.Reset();
  const uint32_t perRead = static_cast<uint32_t>(buffer.size() / sectorSize);
  // Each piece continues at most one other, all earlier: the chain ends.
  for (int32_t p = head; p >= 0 && !parser.Ended(); p = nextPiece[static_cast<size_t>(p)]) {
    const DirectoryPiece& piece = pieces[static_cast<size_t>(p)];
    for (uint64_t at = 0; at < piece.sectorCount && !parser.Ended();) {
      const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(perRead, piece.sectorCount - at));
      if (Status s = volume.Read(piece.firstSector + at, count, buffer.data()); s != kStatusOk) {
        if (firstReadError == kStatusOk) firstReadError = s;
        break;
      }
      for (uint32_t i = 0; i < count && !parser.Ended(); ++i) {
        parser.Feed(buffer.data() + static_cast<size_t>(i) * sectorSize, sectorSize, piece.firstSector + at + i,
                    [&](const ParsedEntry& entry) { sink(entry, p); });
      }
      at += count;
    }
  }
}

void CProfessionalFatRecovery::Finish::ParseRun(int32_t geometry, uint32_t cluster,
                                                const DirectoryEntryParser::Sink& sink) {
  if (geometry < 0) return;
  const ClusterGeometry& g = geometries.At(static_cast<size_t>(geometry)).cluster;
  uint64_t first = 0;
  if (!g.ClusterSector(cluster, &first)) return;
  DirectoryEntryParser parser;
  parser.Reset();
  const uint64_t maxSectors = kMaxDirectoryBytes / sectorSize;
  for (uint64_t i = 0; i < maxSectors && !parser.Ended(); ++i) {
    if (!volume.Contains(first + i, 1)) return;
    if (Status s = volume.Read(first + i, 1, sector.data()); s != kStatusOk) {
      if (firstReadError == kStatusOk) firstReadError = s;
      return;
    }
    // Past its first cluster a directory goes on only while the sectors read as its own.
    if (i >= g.sectorsPerCluster &&
        (IsDirectoryStart(sector.data(), sectorSize) || !IsDirectorySector(sector.data(), sectorSize))) {
      return;
    }
    parser.Feed(sector.data(), sectorSize, first + i, sink);
  }
}

bool CProfessionalFatRecovery::Finish::IsRootCluster(uint32_t cluster) const {
  if (cluster == 0) return true;
  for (const KnownGeometry& g : geometries.All()) {
    if (g.isFat32 && g.rootCluster == cluster) return true;
  }
  return false;
}

bool CProfessionalFatRecovery::Finish::HeldByParent(const Node& node, int32_t holder) const {
  const Node& h = nodes[static_cast<size_t>(holder)];
  if (h.kind == NodeKind::kRoot) return IsRootCluster(node.parentCluster);
  return (h.kind == NodeKind::kDirectory || h.kind == NodeKind::kResolved) && h.cluster == node.parentCluster;
}

void CProfessionalFatRecovery::Finish::OfferName(int32_t holder, const ParsedEntry& entry) {
  auto offer = [&](int32_t target, int rank) {
    Node& node = nodes[static_cast<size_t>(target)];
    if (target == holder || rank >= node.name.rank) return;
    node.name.rank = rank;
    node.name.name = entry.name;
    node.name.times = ConvertEntryTimes(entry.raw);
    node.name.deleted = entry.deleted;
    node.name.entrySector = entry.entrySector;
  };
  auto exact = nodeOfCluster.find(entry.cluster);
  if (exact != nodeOfCluster.end()) {
    const bool inParent = HeldByParent(nodes[static_cast<size_t>(exact->second)], holder);
    offer(exact->second, (inParent ? 0 : 2) + (entry.deleted ? 1 : 0));
    return;
  }
  // A deleted FAT32 entry may have lost its high word: only its parent's
  // entry is believed then.
  if (entry.deleted && entry.highWord == 0) {
    auto [from, to] = nodesByLowWord.equal_range(entry.lowWord);
    for (auto it = from; it != to; ++it) {
      if (HeldByParent(nodes[static_cast<size_t>(it->second)], holder)) offer(it->second, 1);
    }
  }
}

void CProfessionalFatRecovery::Finish::CollectNames() {
  for (size_t p = 0; p < pieces.size(); ++p) {
    if (owners.entries[p].prev >= 0) continue;
    const int32_t holder = nodeOfPiece[p];
    const int32_t geometry = owners.entries[p].geometry;
    ParseChain(static_cast<int32_t>(p), [&](const ParsedEntry& entry, int32_t) {
      if (entry.isFolder) {
        OfferName(holder, entry);
      } else if (entry.cluster >= 2 && geometry >= 0) {
        fileStartIndex.emplace_back(geometry, entry.cluster);
        if (!entry.deleted) liveStarts.push_back({holder, geometry, entry.cluster});
      }
    });
  }
}

int32_t CProfessionalFatRecovery::Finish::Resolve(uint32_t cluster, int32_t geometry) {
  if (geometry < 0 || unresolvable.count(cluster) != 0 || nodes.size() - 1 >= pieces.size() + kMaxResolvedDirectories) {
    return -1;
  }
  uint64_t first = 0;
  if (!geometries.At(static_cast<size_t>(geometry)).cluster.ClusterSector(cluster, &first) ||
      !volume.Contains(first, 1) || volume.Read(first, 1, sector.data()) != kStatusOk ||
      !IsDirectoryStart(sector.data(), sectorSize) || EntryCluster(sector.data()) != cluster) {
    unresolvable.insert(cluster);
    return -1;
  }
  Node node;
  node.kind = NodeKind::kResolved;
  node.cluster = cluster;
  node.locator = cluster;
  node.parentCluster = EntryCluster(sector.data() + fat_entry::kBytes);
  node.geometry = geometry;
  node.firstSector = first;
  node.parent = 0;
  const int32_t index = static_cast<int32_t>(nodes.size());
  nodes.push_back(std::move(node));
  nodeOfCluster[cluster] = index;
  // Its entries name its subfolders; its files are not this scan's (it was not handed over).
  ParseRun(geometry, cluster, [&](const ParsedEntry& entry) {
    if (entry.isFolder) OfferName(index, entry);
  });
  return index;
}

void CProfessionalFatRecovery::Finish::ResolveParents() {
  // Nodes appended while resolving are handled in turn.
  for (size_t i = 1; i < nodes.size(); ++i) {
    Node& node = nodes[i];
    if (node.kind != NodeKind::kDirectory && node.kind != NodeKind::kResolved) continue;
    const uint32_t parent = node.parentCluster;
    if (IsRootCluster(parent) || parent == node.cluster) {
      node.parent = 0;
      continue;
    }
    auto known = nodeOfCluster.find(parent);
    if (known != nodeOfCluster.end()) {
      nodes[i].parent = known->second;
      continue;
    }
    const int32_t geometry = node.geometry;
    const int32_t resolved = Resolve(parent, geometry);  // may grow nodes: no reference held across it
    nodes[i].parent = resolved >= 0 ? resolved : 0;
  }
}

void CProfessionalFatRecovery::Finish::ReadRootForNames() {
  if (rootHasPieces || owners.byVotes.empty()) return;
  bool wanted = false;
  for (const Node& node : nodes) {
    if (node.kind != NodeKind::kRoot && node.parent == 0 && node.name.rank > 1 && node.kind != NodeKind::kLost) {
      wanted = true;
    }
  }
  if (!wanted) return;
  // The root the geometry most directories agree on puts where it is.
  const int32_t geometry = owners.byVotes.front();
  const KnownGeometry& g = geometries.At(static_cast<size_t>(geometry));
  auto sink = [&](const ParsedEntry& entry) {
    if (entry.isFolder) OfferName(0, entry);
  };
  if (g.isFat32) {
    if (g.rootCluster >= 2) ParseRun(geometry, g.rootCluster, sink);
    return;
  }
  DirectoryEntryParser parser;
  parser.Reset();
  for (uint64_t s = g.RootAreaFirst(); s < g.RootAreaEnd() && !parser.Ended(); ++s) {
    if (!volume.Contains(s, 1) || volume.Read(s, 1, sector.data()) != kStatusOk) return;
    if (!IsDirectorySector(sector.data(), sectorSize) || IsDirectoryStart(sector.data(), sectorSize)) {
      parser.Reset();
      continue;
    }
    parser.Feed(sector.data(), sectorSize, s, sink);
  }
}

void CProfessionalFatRecovery::Finish::PlaceNodes() {
  // ".." entries may form loops: a node whose walk up meets itself is put under the root.
  enum : uint8_t { kUnseen, kOnPath, kDone };
  std::vector<uint8_t> state(nodes.size(), kUnseen);
  state[0] = kDone;
  std::vector<int32_t> path;
  for (size_t start = 1; start < nodes.size(); ++start) {
    path.clear();
    int32_t x = static_cast<int32_t>(start);
    while (state[static_cast<size_t>(x)] == kUnseen) {
      state[static_cast<size_t>(x)] = kOnPath;
      path.push_back(x);
      x = nodes[static_cast<size_t>(x)].parent;
      if (x < 0) x = 0;
    }
    if (state[static_cast<size_t>(x)] == kOnPath) nodes[static_cast<size_t>(path.back())].parent = 0;
    for (int32_t n : path) state[static_cast<size_t>(n)] = kDone;
  }
  std::vector<std::vector<int32_t>> children(nodes.size());
  for (size_t i = 1; i < nodes.size(); ++i) {
    children[static_cast<size_t>(std::max(nodes[i].parent, 0))].push_back(static_cast<int32_t>(i));
  }
  order.clear();
  std::deque<int32_t> queue{0};
  while (!queue.empty()) {
    const int32_t n = queue.front();
    queue.pop_front();
    if (n != 0) order.push_back(n);
    for (int32_t child : children[static_cast<size_t>(n)]) {
      Node& c = nodes[static_cast<size_t>(child)];
      const Node& parent = nodes[static_cast<size_t>(n)];
      c.keyDepth = parent.keyDepth + 1;
      c.deleted = c.name.deleted || parent.deleted;
      queue.push_back(child);
    }
  }
}

void CProfessionalFatRecovery::Finish::CollectEvidence() {
  for (const LiveStart& s : liveStarts) {
    if (!nodes[static_cast<size_t>(s.holder)].deleted) liveStartIndex.emplace_back(s.geometry, s.cluster);
  }
  liveStarts.clear();
  liveStarts.shrink_to_fit();
  std::sort(liveStartIndex.begin(), liveStartIndex.end());
  std::sort(fileStartIndex.begin(), fileStartIndex.end());
  longestRange.assign(geometries.Size(), 0);
  for (size_t p = 0; p < pieces.size(); ++p) {
    const int32_t g = owners.entries[p].geometry;
    if (g < 0) continue;
    const ClusterGeometry& cg = geometries.At(static_cast<size_t>(g)).cluster;
    ClusterRange range;
    range.geometry = g;
    if (!cg.ClusterHolding(pieces[p].firstSector, &range.first) ||
        !cg.ClusterHolding(pieces[p].EndSector() - 1, &range.last)) {
      continue;
    }
    directoryRanges.push_back(range);
    longestRange[static_cast<size_t>(g)] = std::max(longestRange[static_cast<size_t>(g)], range.last - range.first);
  }
  std::sort(directoryRanges.begin(), directoryRanges.end());
}

ItemState CProfessionalFatRecovery::Finish::JudgeData(int32_t geometry, uint32_t start, uint64_t size,
                                                     const std::string& name) {
  const KnownGeometry& known = geometries.At(static_cast<size_t>(geometry));
  const ClusterGeometry& g = known.cluster;
  uint64_t first = 0;
  if (!g.ClusterSector(start, &first)) return ItemState::kDamaged;  // clusters 0 and 1 hold no data
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * sectorSize;
  const uint64_t clusters = (size + clusterBytes - 1) / clusterBytes;
  const uint64_t sectors = (size + sectorSize - 1) / sectorSize;
  // Data that would run past the volume is not all there.
  if (!volume.Contains(first, sectors) || clusters - 1 > kMaxFatCluster - start) return ItemState::kDamaged;
  // The live file system keeps its own data in these clusters now.
  if (engine.m_live != nullptr && engine.m_live->Holds(first * sectorSize, clusters * clusterBytes)) {
    return ItemState::kOverwritten;
  }
  const uint32_t last = static_cast<uint32_t>(start + clusters - 1);
  // A directory inside the clusters that would follow: the file skipped them.
  auto it = std::upper_bound(directoryRanges.begin(), directoryRanges.end(), ClusterRange{geometry, last, 0});
  const uint32_t reach = longestRange[static_cast<size_t>(geometry)];
  while (it != directoryRanges.begin()) {
    --it;
    if (it->geometry != geometry || uint64_t{it->first} + reach < start) break;
    if (it->last >= start) return ItemState::kDamaged;
  }
  // Another file that was in use begins there: the two cannot both be contiguous.
  auto other = std::upper_bound(liveStartIndex.begin(), liveStartIndex.end(), std::make_pair(geometry, start));
  if (other != liveStartIndex.end() && other->first == geometry && other->second <= last) return ItemState::kDamaged;
  // The first cluster must still begin as the extension promises.
  if (volume.Read(first, 1, sector.data()) != kStatusOk) return ItemState::kIntact;
  const std::string extension = ExtensionText(name);
  if (signatures::MatchesExtension(sector.data(), sectorSize, extension) == 0) return ItemState::kDamaged;
  // The file's own structure: decoded through its whole data when another
  // file found starts inside it (one of the two overwrote the other), else
  // by its framing.
  const auto from = std::lower_bound(fileStartIndex.begin(), fileStartIndex.end(), std::make_pair(geometry, start));
  const auto to = std::upper_bound(fileStartIndex.begin(), fileStartIndex.end(), std::make_pair(geometry, last));
  const bool doubt = to - from > 1;
  const signatures::ByteReader read = [this](uint64_t at, void* out, size_t n) { return volume.ReadBytes(at, out, n); };
  const std::vector<ByteRun> runs{ByteRun{first * sectorSize, clusters * clusterBytes}};
  const auto verdict = signatures::CheckLaidOutStructure(
      read, runs, size, sectorSize, extension, nullptr, nullptr,
      doubt ? signatures::CheckDepth::kFull : signatures::CheckDepth::kQuick);
  return verdict == signatures::StructureVerdict::kBroken ? ItemState::kDamaged : ItemState::kIntact;
}

uint32_t CProfessionalFatRecovery::Finish::SearchHighWord(int32_t geometry, uint16_t lowWord,
                                                          const std::string& extension) {
  const ClusterGeometry& g = geometries.At(static_cast<size_t>(geometry)).cluster;
  for (uint32_t high = 0; high < kHighWordsTried; ++high) {
    const uint32_t candidate = (high << 16) | lowWord;
    if (candidate > kMaxFatCluster) break;
    uint64_t first = 0;
    if (!g.ClusterSector(candidate, &first) || !volume.Contains(first, 1)) break;  // past the volume's end
    if (volume.Read(first, 1, sector.data()) != kStatusOk) break;
    if (signatures::CheckPlausibleStart(sector.data(), sectorSize, extension) == signatures::StartVerdict::kPlausible) {
      return candidate;
    }
  }
  return lowWord;
}

bool CProfessionalFatRecovery::Finish::AppendRecord(ItemRecord& record) {
  store::ScanStore* st = engine.m_browser.Store();
  ItemRecord* slot = st->AppendRecord();
  if (slot == nullptr) {
    stopStatus = kStatusOutOfMemory;
    return false;
  }
  record.id = st->RecordCount();
  std::memcpy(static_cast<void*>(slot), &record, sizeof record);
  return true;
}

void CProfessionalFatRecovery::Finish::NotePieces(const ItemRecord& record, int32_t geometry, uint32_t start,
                                                  const std::string& extension) {
  const uint64_t size = record.size;  // copies: the record's fields are not aligned
  const int32_t clusterBytes = record.clusterBytes;
  if (geometry < 0 || size == 0 || clusterBytes <= 0) return;
  const uint64_t clusters = (size + static_cast<uint64_t>(clusterBytes) - 1) / static_cast<uint64_t>(clusterBytes);
  const ItemState state = StateOf(record);
  if (state == ItemState::kIntact && record.isDeleted == 0 && clusters - 1 <= kMaxFatCluster - start) {
    heldClusters.push_back({geometry, start, static_cast<uint32_t>(start + clusters - 1)});
  } else if (state == ItemState::kDamaged && clusters > 1 && engine.m_searchPieces &&
             cluster::CanReassemble(extension)) {
    pieceCandidates.push_back({record.id, geometry, start, size, extension});
  }
}

Status CProfessionalFatRecovery::Finish::SearchPieces() {
  if (pieceCandidates.empty()) return kStatusOk;
  std::vector<FatHeldClusters> held = std::move(heldClusters);
  for (const ClusterRange& r : directoryRanges) held.push_back({r.geometry, r.first, r.last});
  cluster::FragmentBounds bounds;
  bounds.cancelled = [this] {
    if (engine.m_scanFn == nullptr) return false;
    return engine.m_scanFn(engine.m_userData, 100, engine.m_weight, -1, 0, 0, engine.GetItemCount(), 0) != 0;
  };
  engine.m_pieceSearches.clear();
  return SearchFatFilesInPieces(volume, geometries, engine.m_live, std::move(held), pieceCandidates, bounds,
                                *engine.m_browser.Store(), &engine.m_pieceSearches);
}

bool CProfessionalFatRecovery::Finish::Report() {
  if (++sinceReport < kReportEvery || engine.m_scanFn == nullptr) return true;
  sinceReport = 0;
  const int32_t r = engine.m_scanFn(engine.m_userData, 100, engine.m_weight, -1, 0, 0, engine.GetItemCount(), 0);
  if (r != 0) stopStatus = r;
  return r == 0;
}

std::string CProfessionalFatRecovery::Finish::PlaceholderName(const Node& node) const {
  char text[48];
  if (node.kind == NodeKind::kLost && node.cluster == 0) {
    std::snprintf(text, sizeof text, "LostSector%llu", static_cast<unsigned long long>(node.firstSector));
  } else {
    std::snprintf(text, sizeof text, "LostFolder%u", node.cluster);
  }
  return text;
}

Status CProfessionalFatRecovery::Finish::WriteFolders() {
  store::ScanStore* st = engine.m_browser.Store();
  // A directory another engine lists is written only when clusters of it
  // that engine did not list hold entries; a parent read from the volume
  // only when something below it is written.
  std::vector<uint8_t> own(nodes.size(), 0);
  std::vector<uint8_t> listed(nodes.size(), 0);
  for (size_t p = 0; p < pieces.size(); ++p) {
    const auto n = static_cast<size_t>(std::max(nodeOfPiece[p], 0));
    (pieces[p].listedElsewhere ? listed : own)[n] = 1;
  }
  std::vector<uint8_t> written(nodes.size(), 0);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const auto n = static_cast<size_t>(*it);
    if (own[n] != 0 || (nodes[n].kind != NodeKind::kResolved && listed[n] == 0)) written[n] = 1;
    if (written[n] != 0) written[static_cast<size_t>(std::max(nodes[n].parent, 0))] = 1;
  }
  for (int32_t n : order) {
    if (written[static_cast<size_t>(n)] == 0) continue;
    const Node& node = nodes[static_cast<size_t>(n)];
    const Node& parent = nodes[static_cast<size_t>(std::max(node.parent, 0))];
    const bool named = node.name.rank != FolderName::kNone;
    ItemRecord r = ZeroRecord();
    r.driveLetter = engine.m_driveLetter;
    r.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalFat);
    r.isFolder = 1;
    r.isDeleted = node.deleted ? 1 : 0;
    r.isIntact = 1;
    r.locator = static_cast<int32_t>(node.locator);
    r.clusterBytes = -1;
    r.volumeStartSector = volume.StartSector();
    if (node.geometry >= 0) {
      const ClusterGeometry& g = geometries.At(static_cast<size_t>(node.geometry)).cluster;
      r.dataStartSector = g.dataStartSector;
      r.volumeStartSector = g.volumeStartSector;
      if (named) r.clusterBytes = static_cast<int32_t>(g.sectorsPerCluster * sectorSize);
    }
    r.entrySector = named ? node.name.entrySector : node.firstSector;
    if (named) {
      r.created = node.name.times.created;
      r.accessed = node.name.times.accessed;
      r.modified = node.name.times.modified;
    }
    const std::string name = named ? node.name.name : PlaceholderName(node);
    SetItemName(r, name);
    if (!AppendRecord(r)) return stopStatus;
    st->AddChild(parent.locator, parent.keyDepth, r.id, r.locator, r.name);
    if (!Report()) return stopStatus;
  }
  return kStatusOk;
}

Status CProfessionalFatRecovery::Finish::WriteFiles() {
  store::ScanStore* st = engine.m_browser.Store();
  for (size_t p = 0; p < pieces.size() && stopStatus == kStatusOk; ++p) {
    if (owners.entries[p].prev >= 0) continue;
    const Node& holder = nodes[static_cast<size_t>(nodeOfPiece[p])];
    const int32_t geometry = owners.entries[p].geometry;
    ParseChain(static_cast<int32_t>(p), [&](const ParsedEntry& entry, int32_t piece) {
      if (entry.isFolder || stopStatus != kStatusOk || pieces[static_cast<size_t>(piece)].listedElsewhere) return;
      const ByteView raw(entry.raw, fat_entry::kBytes);
      const std::string extension = ExtensionText(entry.name);
      ItemRecord r = ZeroRecord();
      r.driveLetter = engine.m_driveLetter;
      r.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalFat);
      r.isDeleted = (entry.deleted || holder.deleted) ? 1 : 0;
      r.isIntact = 1;
      r.size = raw.U32(fat_entry::kSize);
      r.entrySector = entry.entrySector;
      r.volumeStartSector = volume.StartSector();
      r.clusterBytes = -1;
      const FatEntryTimes times = ConvertEntryTimes(entry.raw);
      r.created = times.created;
      r.accessed = times.accessed;
      r.modified = times.modified;
      uint32_t start = entry.cluster;
      if (geometry >= 0) {
        const KnownGeometry& known = geometries.At(static_cast<size_t>(geometry));
        if (entry.deleted && entry.highWord == 0 && entry.lowWord >= 2 && !extension.empty() && !known.isFat12Or16) {
          start = SearchHighWord(geometry, entry.lowWord, extension);
        }
        r.clusterBytes = static_cast<int32_t>(known.cluster.sectorsPerCluster * sectorSize);
        r.dataStartSector = known.cluster.dataStartSector;
        r.volumeStartSector = known.cluster.volumeStartSector;
        const uint64_t size = r.size;
        if (size != 0) SetState(r, JudgeData(geometry, start, size, entry.name));
      }
      r.locator = static_cast<int32_t>(start);
      SetItemName(r, entry.name);
      if (!AppendRecord(r)) return;
      NotePieces(r, geometry, start, extension);
      st->AddChild(holder.locator, holder.keyDepth, r.id, r.locator, nullptr);
      (void)Report();  // a stop is kept in stopStatus
    });
  }
  return stopStatus;
}

Status CProfessionalFatRecovery::Finish::Run() {
  buffer.resize(std::max<size_t>(65536, sectorSize));
  sector.resize(sectorSize);
  RefinePieces();
  owners = AssignPieceOwners(pieces, refined.SubfolderClusters(), geometries, sectorSize, engine.m_scoreContinuations);
  BuildNodes();
  CollectNames();
  ResolveParents();
  ReadRootForNames();
  PlaceNodes();
  CollectEvidence();
  Status status = WriteFolders();
  if (status == kStatusOk) status = WriteFiles();
  if (status == kStatusOk) status = SearchPieces();
  const Status flushed = engine.m_browser.Store()->FlushStore();
  if (status != kStatusOk) return status;
  if (firstReadError != kStatusOk) return firstReadError;
  return flushed;
}

Status CProfessionalFatRecovery::FinishFatScan() {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen() || !m_volume.IsOpen()) return kStatusInvalidParameter;
  Finish finish(*this);
  return finish.Run();
}

}  // namespace engine::fat
