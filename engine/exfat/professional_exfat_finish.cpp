// SPDX-License-Identifier: GPL-3.0-or-later
// FinishExFatScan: the directory runs read again, the geometry settled, the
// folder tree built and every record written.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/cluster/fragment_search.h"
#include "engine/exfat/exfat_directory_continuation.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/exfat_root_tables.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/professional_exfat_fragments.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/signature_check.h"
#include "engine/store/scan_store.h"

namespace engine::exfat {
namespace {

// Runs are read in pieces of this size (plus the longest set past the end).
constexpr uint64_t kPieceBytes = 4u << 20;
// The format caps a directory at 256 MiB.
constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;
// The key of the root folder: no cluster is 0.
constexpr uint32_t kRootKey = 0;
constexpr const char* kUnnamed = "unnamed";
// Files whose first bytes weigh the candidate geometries.
constexpr size_t kContentSamples = 256;
// Live sets needed before the boot region's bitmap may confirm its geometry.
constexpr size_t kMinConfirmations = 4;
// Times the directory clusters are linked again because a joined edge
// revealed the entry of a folder that heads one of them.
constexpr int kContinuationPasses = 4;

}  // namespace

struct CProfessionalExFatRecovery::Finish {
  struct FolderEntry {
    EntrySet set;
    uint64_t entryByte = 0;  // from the volume start
  };
  struct Directory {
    uint32_t parent = kRootKey;
    int32_t entry = -1;  // index into folders, -1 for a placeholder
    bool deleted = false;
    uint32_t depth = 0;
    bool settled = false;
  };
  using SetFound = std::function<void(const EntrySet&, uint64_t entryByte)>;

  CProfessionalExFatRecovery& engine;
  ExFatVolume& volume;
  store::ScanStore& store;
  Status firstError = kStatusOk;
  bool storeFull = false;

  std::vector<FolderEntry> folders;
  std::vector<uint64_t> rootMarkers;                      // byte offsets of allocation bitmap entries
  std::vector<std::pair<uint32_t, std::string>> samples;  // files' first clusters and extensions
  std::vector<uint32_t> liveClusters;                     // first clusters of live sets
  DeepGeometry geometry;
  bool haveGeometry = false;
  // Whether anything on the medium supports the geometry (the boot region's
  // bitmap, folders found where it puts them, files that begin as their
  // kind does there): data placed by a geometry nothing supports is a guess.
  bool geometrySupported = false;
  std::vector<uint64_t> fileStarts;  // every file's first cluster, sorted: another inside a file casts doubt
  uint32_t maxCluster = 1;
  std::unordered_map<uint32_t, uint32_t> owner;  // directory cluster → directory key
  std::map<uint32_t, Directory> directories;     // by key (first cluster); the root is not in it
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> sector;
  ExFatTable bootFat;  // the boot region's FAT, for sets that run into a directory's next cluster
  // Directory clusters followed by a cluster elsewhere, as the continuation scoring decided.
  std::unordered_map<uint32_t, uint32_t> continuedIn;
  std::vector<int32_t> cutFolders;  // indices into folders of entries found only across such an edge
  // Files whose data does not follow their first cluster, and the clusters
  // of files in use whose data checks out: for the search of files in pieces.
  std::vector<ExFatPieceCandidate> pieceCandidates;
  std::vector<std::pair<uint32_t, uint32_t>> heldClusters;

  Finish(CProfessionalExFatRecovery& e, store::ScanStore& s) : engine(e), volume(e.m_volume), store(s) {}

  void Note(Status s) {
    if (s != kStatusOk && firstError == kStatusOk) firstError = s;
  }

  uint64_t RunStartByte(const Run& run) const { return run.firstSector * volume.UnitBytes() - volume.StartByte(); }

  // Every set that checks and begins in the run, or begins before it (in
  // the sector before, which did not pass the test alone) and ends inside
  // it; allocation bitmap entries go to rootMarkers when markRoots.
  void ParseRun(const Run& run, bool markRoots, const SetFound& found) {
    const uint64_t unit = volume.UnitBytes();
    if (run.firstSector < volume.StartUnit()) return;
    const uint64_t runStart = RunStartByte(run);
    const uint64_t runEnd = std::min(runStart + run.sectorCount * unit, volume.VolumeBytes());
    const uint64_t lookBack = std::min<uint64_t>(runStart, entry::kMaxSetBytes - entry::kBytes);
    uint64_t pos = runStart - lookBack;
    while (pos < runEnd) {
      const uint64_t pieceEnd = std::min(runEnd, std::max(pos, runStart) + kPieceBytes);
      const uint64_t readEnd = std::min(volume.VolumeBytes(), pieceEnd + entry::kMaxSetBytes);
      buffer.resize(static_cast<size_t>(readEnd - pos));
      if (Status s = volume.Read(pos, buffer.data(), buffer.size()); s != kStatusOk) {
        Note(s);
        pos = pieceEnd;
        continue;
      }
      const ByteView view(buffer.data(), buffer.size());
      uint64_t at = 0;
      while (pos + at < pieceEnd) {
        const uint8_t type = view.U8(static_cast<size_t>(at));
        if ((type | entry::kInUse) == entry::kFile) {
          EntrySet set;
          if (ParseEntrySet(view, static_cast<size_t>(at), nullptr, &set) == SetParse::kSet && set.checksumMatches &&
              pos + at + set.entryCount * entry::kBytes > runStart) {
            found(set, pos + at);
            at += set.entryCount * entry::kBytes;
            continue;
          }
          if (pos + at >= runStart) {
            uint64_t entriesHere = 0;
            if (AcrossCluster(view.Sub(static_cast<size_t>(at), view.size()), pos + at, &set, &entriesHere)) {
              found(set, pos + at);
              at += entriesHere * entry::kBytes;
              continue;
            }
          }
        } else if (markRoots && type == entry::kAllocationBitmap && pos + at >= runStart) {
          rootMarkers.push_back(pos + at);
        }
        at += entry::kBytes;
      }
      pos += at;
    }
  }

  // A set that runs over the end of its cluster into the next cluster of its
  // directory, which lies where the boot region's FAT says: the set put
  // together from both. bytes starts at the set. *entriesHere: its entries
  // in this cluster.
  bool AcrossCluster(ByteView bytes, uint64_t setByte, EntrySet* out, uint64_t* entriesHere) {
    if (AcrossContinuation(bytes, setByte, out, entriesHere)) return true;
    if (!bootFat.IsLoaded()) return false;
    const ExFatGeometry& g = *engine.m_bootLayout;
    const uint64_t heap = g.heapSector * g.bytesPerSector;
    if (setByte < heap) return false;
    const uint64_t cluster = (setByte - heap) / g.ClusterBytes() + 2;
    if (!g.IsDataCluster(cluster)) return false;
    const uint64_t clusterEnd = g.ClusterOffset(static_cast<uint32_t>(cluster)) + g.ClusterBytes();
    const uint64_t here = clusterEnd - setByte;
    if (here >= entry::kMaxSetBytes || here > bytes.size()) return false;
    uint32_t next = 0;
    if (bootFat.Next(static_cast<uint32_t>(cluster), &next) != kStatusOk || next == 0) return false;
    std::vector<uint8_t> joined(bytes.data(), bytes.data() + here);
    joined.resize(entry::kMaxSetBytes);
    const size_t rest = static_cast<size_t>(std::min<uint64_t>(entry::kMaxSetBytes - here, g.ClusterBytes()));
    if (volume.Read(g.ClusterOffset(next), joined.data() + here, rest) != kStatusOk) return false;
    joined.resize(static_cast<size_t>(here) + rest);
    if (ParseEntrySet(ByteView(joined.data(), joined.size()), 0, nullptr, out) != SetParse::kSet ||
        !out->checksumMatches || out->entryCount * entry::kBytes <= here) {
      return false;
    }
    *entriesHere = here / entry::kBytes;
    return true;
  }

  // The same over a continuation the scoring decided, in the settled geometry.
  bool AcrossContinuation(ByteView bytes, uint64_t setByte, EntrySet* out, uint64_t* entriesHere) {
    if (!haveGeometry || continuedIn.empty() || setByte < geometry.heapByte) return false;
    const uint32_t cluster = geometry.ClusterOf(setByte);
    auto next = continuedIn.find(cluster);
    if (next == continuedIn.end()) return false;
    const uint64_t clusterEnd = geometry.ClusterByte(cluster) + geometry.clusterBytes;
    const uint64_t here = clusterEnd - setByte;
    if (here >= entry::kMaxSetBytes || here > bytes.size()) return false;
    const uint64_t nextByte = geometry.ClusterByte(next->second);
    const uint64_t rest = std::min<uint64_t>(entry::kMaxSetBytes - here, geometry.clusterBytes);
    if (nextByte > volume.VolumeBytes() || rest > volume.VolumeBytes() - nextByte) return false;
    std::vector<uint8_t> joined(bytes.data(), bytes.data() + here);
    joined.resize(static_cast<size_t>(here + rest));
    if (volume.Read(nextByte, joined.data() + here, static_cast<size_t>(rest)) != kStatusOk) return false;
    if (ParseEntrySet(ByteView(joined.data(), joined.size()), 0, nullptr, out) != SetParse::kSet ||
        !out->checksumMatches || out->entryCount * entry::kBytes <= here) {
      return false;
    }
    *entriesHere = here / entry::kBytes;
    return true;
  }

  void GatherFolders() {
    for (const Run& run : engine.m_runs) {
      ParseRun(run, true, [&](const EntrySet& set, uint64_t entryByte) {
        if (!set.deleted && set.firstCluster >= 2 && liveClusters.size() < kContentSamples) {
          liveClusters.push_back(set.firstCluster);
        }
        if (set.IsDirectory()) {
          folders.push_back({set, entryByte});
          return;
        }
        if (set.firstCluster >= 2 && set.validDataLength != 0) fileStarts.push_back(set.firstCluster);
        // Files whose kind can tell from its first bytes weigh the geometries.
        const std::string_view extension = ExtensionOf(set.name);
        if (samples.size() < kContentSamples && set.firstCluster >= 2 && set.validDataLength != 0 &&
            signatures::CheckPlausibleStart(nullptr, 0, extension) != signatures::StartVerdict::kNoRule) {
          samples.push_back({set.firstCluster, std::string(extension)});
        }
      });
    }
  }

  // What the medium says about a geometry: sampled files that begin as
  // their extension says there, and sampled folders whose first sector is
  // empty there (an empty directory holds only zeros).
  uint32_t ContentVotes(const DeepGeometry& g) {
    uint32_t votes = 0;
    sector.resize(volume.UnitBytes());
    auto read = [&](uint32_t cluster) {
      const uint64_t at = g.ClusterByte(cluster);
      return cluster >= 2 && at >= g.heapByte && at <= volume.VolumeBytes() - sector.size() &&
             volume.Read(at, sector.data(), sector.size()) == kStatusOk;
    };
    for (const auto& [cluster, extension] : samples) {
      if (!read(cluster)) continue;
      votes += signatures::CheckPlausibleStart(sector.data(), sector.size(), extension) ==
               signatures::StartVerdict::kPlausible;
    }
    const size_t step = std::max<size_t>(1, folders.size() / kContentSamples);
    for (size_t i = 0; i < folders.size(); i += step) {
      if (!read(folders[i].set.firstCluster)) continue;
      votes += std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; });
    }
    return votes;
  }

  // True when the boot region still describes the volume the entries were
  // written on: its allocation bitmap has the first clusters of most live
  // sets in use (after a format it has none of them).
  bool BootBitmapConfirms() {
    if (!bootFat.IsLoaded() || liveClusters.size() < kMinConfirmations) return false;
    ExFatBitmap bitmap;
    LoadRootTables(volume, *engine.m_bootLayout, bootFat, &bitmap, nullptr);
    if (!bitmap.IsLoaded()) return false;
    size_t inUse = 0;
    for (uint32_t c : liveClusters) inUse += engine.m_bootLayout->IsDataCluster(c) && bitmap.IsAllocated(c);
    return inUse * 2 >= liveClusters.size();
  }

  void SettleGeometry() {
    if (engine.m_bootGeometry && BootBitmapConfirms()) {
      engine.m_geometry = engine.m_bootGeometry;
      geometry = *engine.m_bootGeometry;
      haveGeometry = true;
      geometrySupported = true;
      const uint64_t clusters = (volume.VolumeBytes() - geometry.heapByte) / geometry.clusterBytes;
      maxCluster = static_cast<uint32_t>(std::min<uint64_t>(clusters + 1, 0xFFFFFFF6u));
      return;
    }
    GeometryEvidence evidence;
    for (const FolderEntry& f : folders) evidence.folderClusters.push_back(f.set.firstCluster);
    std::vector<uint64_t> markers = rootMarkers;
    std::sort(markers.begin(), markers.end());
    for (const Run& run : engine.m_runs) {
      if (run.firstSector < volume.StartUnit()) continue;
      const uint64_t start = RunStartByte(run);
      const uint64_t end = start + run.sectorCount * volume.UnitBytes();
      // No folder names the root: its runs are no folder's evidence.
      auto marker = std::lower_bound(markers.begin(), markers.end(), start);
      if (marker != markers.end() && *marker < end) continue;
      evidence.runs.push_back({start, end});
    }
    std::sort(evidence.runs.begin(), evidence.runs.end());
    std::vector<DeepGeometry> proposals =
        ProposeDeepGeometries(evidence, engine.m_bootGeometry, volume.UnitBytes(), volume.VolumeBytes());
    const std::optional<DeepGeometry> chosen =
        ChooseDeepGeometry(std::move(proposals), [&](const DeepGeometry& g) { return ContentVotes(g); });
    engine.m_geometry = chosen;
    if (!chosen || chosen->clusterBytes % volume.UnitBytes() != 0 || chosen->heapByte >= volume.VolumeBytes()) return;
    geometry = *chosen;
    haveGeometry = true;
    geometrySupported = chosen->Score() > 0;
    const uint64_t clusters = (volume.VolumeBytes() - geometry.heapByte) / geometry.clusterBytes;
    maxCluster = static_cast<uint32_t>(std::min<uint64_t>(clusters + 1, 0xFFFFFFF6u));
  }

  // Gives every directory cluster to a folder: the one whose entry names it
  // (and the clusters its length covers), the root, or a placeholder.
  void BuildDirectories() {
    std::vector<uint32_t> clusters;
    for (const Run& run : engine.m_runs) {
      if (run.firstSector < volume.StartUnit()) continue;
      const uint64_t start = RunStartByte(run);
      const uint64_t end = std::min(start + run.sectorCount * volume.UnitBytes(), volume.VolumeBytes());
      if (end <= geometry.heapByte) continue;
      const uint32_t first = geometry.ClusterOf(std::max(start, geometry.heapByte));
      const uint32_t last = geometry.ClusterOf(end - 1);
      for (uint64_t c = first; c <= last && c <= maxCluster; ++c) clusters.push_back(static_cast<uint32_t>(c));
    }
    std::sort(clusters.begin(), clusters.end());
    clusters.erase(std::unique(clusters.begin(), clusters.end()), clusters.end());
    const std::unordered_set<uint32_t> isDirectory(clusters.begin(), clusters.end());

    std::unordered_set<uint32_t> roots;
    for (uint64_t marker : rootMarkers) {
      if (const uint32_t c = geometry.ClusterOf(marker); c != 0) roots.insert(c);
    }
    if (geometry.fromBoot && isDirectory.count(geometry.rootCluster) != 0) roots.insert(geometry.rootCluster);
    for (uint32_t c : roots) owner[c] = kRootKey;

    // The FAT of the boot region, when its geometry is the one settled on:
    // it may still chain the directories of a volume that was not formatted.
    ExFatTable fat;
    const bool haveFat =
        geometry.fromBoot && engine.m_bootLayout && fat.Load(volume, *engine.m_bootLayout) == kStatusOk;
    const uint64_t cap = std::max<uint64_t>(kMaxDirectoryBytes / geometry.clusterBytes, 1);
    auto follow = [&](uint32_t first, uint32_t key, uint64_t length, const std::unordered_set<uint32_t>& stops) {
      std::vector<uint32_t> chain;
      bool complete = false;
      if (!haveFat || fat.Chain(first, length, &chain, &complete) != kStatusOk) return false;
      for (size_t i = 1; i < chain.size(); ++i) {
        const uint32_t c = chain[i];
        if (isDirectory.count(c) == 0 || owner.count(c) != 0 || stops.count(c) != 0) break;
        owner[c] = key;
      }
      return chain.size() > 1;
    };

    // One entry per directory: a live one before a deleted one, else the first seen.
    std::map<uint32_t, int32_t> chosen;
    for (size_t i = 0; i < folders.size(); ++i) {
      const uint32_t f = folders[i].set.firstCluster;
      if (f < 2 || f > maxCluster || roots.count(f) != 0) continue;
      auto [it, fresh] = chosen.emplace(f, static_cast<int32_t>(i));
      if (!fresh && folders[static_cast<size_t>(it->second)].set.deleted && !folders[i].set.deleted) {
        it->second = static_cast<int32_t>(i);
      }
    }
    std::unordered_set<uint32_t> firsts;
    for (const auto& [first, index] : chosen) firsts.insert(first);
    for (uint32_t root : roots) (void)follow(root, kRootKey, cap, firsts);
    std::vector<DirectoryChain> chains;
    for (const auto& [first, index] : chosen) {
      if (isDirectory.count(first) == 0 || owner.count(first) != 0) continue;
      Directory d;
      d.entry = index;
      directories[first] = d;
      owner[first] = first;
      const EntrySet& set = folders[static_cast<size_t>(index)].set;
      const uint64_t length =
          std::clamp<uint64_t>((set.dataLength + geometry.clusterBytes - 1) / geometry.clusterBytes, 1, cap);
      if (!set.NoFatChain() && follow(first, first, length, firsts)) continue;
      DirectoryChain chain;
      chain.first = chain.last = first;
      chain.capacity = static_cast<uint32_t>(length);
      chain.headed = true;
      // A contiguous directory goes on only into its next clusters; a chained
      // one wherever the scoring finds it (the next cluster is but one choice).
      chain.closed = set.NoFatChain();
      const bool scored = engine.m_scoreContinuations && !chain.closed;
      for (uint64_t i = 1; i < length && !scored; ++i) {
        const uint64_t c = uint64_t{first} + i;
        if (c > maxCluster || isDirectory.count(static_cast<uint32_t>(c)) == 0 ||
            owner.count(static_cast<uint32_t>(c)) != 0 || firsts.count(static_cast<uint32_t>(c)) != 0) {
          break;
        }
        owner[static_cast<uint32_t>(c)] = first;
        chain.last = static_cast<uint32_t>(c);
        ++chain.clusters;
      }
      chains.push_back(chain);
    }
    if (engine.m_scoreContinuations) ContinueDirectories(clusters, std::move(chains));
    // What no entry names: placeholder folders over runs of adjacent clusters.
    for (size_t i = 0; i < clusters.size(); ++i) {
      const uint32_t c = clusters[i];
      if (owner.count(c) != 0) continue;
      directories[c] = Directory{};
      owner[c] = c;
      for (size_t k = i + 1; k < clusters.size() && clusters[k] == clusters[k - 1] + 1 &&
                             owner.count(clusters[k]) == 0 && firsts.count(clusters[k]) == 0;
           ++k) {
        owner[clusters[k]] = c;
      }
    }
    // Folders whose directory was not seen (empty, or overwritten) are listed
    // empty, unless a directory seen holds their first cluster.
    for (const auto& [first, index] : chosen) {
      if (owner.count(first) != 0 || directories.count(first) != 0) continue;
      Directory d;
      d.entry = index;
      directories[first] = d;
    }
    // Folders whose entry was cut at a cluster edge name the chains they head.
    for (int32_t index : cutFolders) {
      const uint32_t first = folders[static_cast<size_t>(index)].set.firstCluster;
      if (first < 2 || first > maxCluster || chosen.count(first) != 0 || roots.count(first) != 0) continue;
      auto it = directories.find(first);
      if (it != directories.end()) {
        if (it->second.entry < 0) it->second.entry = index;
      } else if (owner.count(first) == 0) {
        Directory d;
        d.entry = index;
        directories[first] = d;
      }
    }
  }

  // Gives the directory clusters no folder took yet to the folder (or
  // placeholder chain) they convincingly continue; see LinkDirectoryChains.
  void ContinueDirectories(const std::vector<uint32_t>& clusters, std::vector<DirectoryChain> chains) {
    for (uint32_t c : clusters) {
      if (owner.count(c) != 0) continue;
      DirectoryChain chain;
      chain.first = chain.last = c;
      chain.held = engine.m_live != nullptr &&
                   engine.m_live->Holds(volume.StartByte() + geometry.ClusterByte(c), geometry.clusterBytes);
      chains.push_back(chain);
    }
    // What each tail and each head says, read once.
    std::unordered_map<uint32_t, DirectoryClusterSummary> summaries;
    std::vector<uint8_t> bytes;
    for (const DirectoryChain& chain : chains) {
      for (uint32_t c : {chain.last, chain.first}) {
        if (summaries.count(c) != 0 || (chain.headed && c != chain.last)) continue;
        const uint64_t at = geometry.ClusterByte(c);
        if (at > volume.VolumeBytes() || geometry.clusterBytes > volume.VolumeBytes() - at) continue;
        bytes.resize(static_cast<size_t>(geometry.clusterBytes));
        if (Status s = volume.Read(at, bytes.data(), bytes.size()); s != kStatusOk) {
          Note(s);
          continue;
        }
        summaries.emplace(
            c, SummarizeDirectoryCluster(ByteView(bytes.data(), bytes.size()), geometry.clusterBytes, maxCluster));
      }
    }
    // A folder's own entry may be a set cut at a cluster edge: known only
    // once the edge is joined. Such a folder heads its chain: link again
    // (a folder found in the last pass is listed where its cluster went).
    std::unordered_map<uint32_t, size_t> chainAt;
    for (size_t i = 0; i < chains.size(); ++i) {
      if (!chains[i].headed) chainAt.emplace(chains[i].first, i);
    }
    std::vector<DirectoryChain> linked;
    std::vector<DirectoryLink> links;
    std::vector<FolderEntry> cut;
    for (int pass = 0; pass < kContinuationPasses; ++pass) {
      linked = chains;
      links = LinkDirectoryChains(linked, summaries);
      cut = CutFolders(links, summaries);
      bool headed = false;
      for (const FolderEntry& f : cut) {
        auto at = chainAt.find(f.set.firstCluster);
        if (at == chainAt.end() || chains[at->second].headed) continue;
        DirectoryChain& chain = chains[at->second];
        chain.headed = true;
        chain.capacity = static_cast<uint32_t>(std::clamp<uint64_t>(
            (f.set.dataLength + geometry.clusterBytes - 1) / geometry.clusterBytes, 1, kMaxDirectoryBytes / geometry.clusterBytes));
        chain.closed = f.set.NoFatChain();
        headed = true;
      }
      if (!headed) break;
    }
    for (const DirectoryLink& link : links) continuedIn[link.from] = link.to;
    for (FolderEntry& f : cut) {
      cutFolders.push_back(static_cast<int32_t>(folders.size()));
      folders.push_back(std::move(f));
    }
    // Every joined chain's cluster goes to the chain it ended in.
    for (size_t i = 0; i < linked.size(); ++i) {
      if (linked[i].joinedTo == SIZE_MAX) continue;
      size_t survivor = linked[i].joinedTo;
      while (linked[survivor].joinedTo != SIZE_MAX) survivor = linked[survivor].joinedTo;
      const uint32_t key = linked[survivor].first;
      directories.emplace(key, Directory{});
      owner[key] = key;
      owner[linked[i].first] = key;  // a chain no folder heads is one cluster until joined
    }
  }

  // The folder entries among the sets cut by the edges that links join.
  std::vector<FolderEntry> CutFolders(const std::vector<DirectoryLink>& links,
                                      const std::unordered_map<uint32_t, DirectoryClusterSummary>& summaries) const {
    std::vector<FolderEntry> found;
    for (const DirectoryLink& link : links) {
      auto from = summaries.find(link.from);
      auto to = summaries.find(link.to);
      if (from == summaries.end() || to == summaries.end() || from->second.missingEntries == 0) continue;
      std::vector<uint8_t> joined(from->second.tail);
      joined.insert(joined.end(), to->second.head.begin(), to->second.head.end());
      EntrySet set;
      if (ParseEntrySet(ByteView(joined.data(), joined.size()), 0, nullptr, &set) != SetParse::kSet ||
          !set.checksumMatches || !set.IsDirectory()) {
        continue;
      }
      const uint64_t entryByte = geometry.ClusterByte(link.from) + geometry.clusterBytes - from->second.tail.size();
      found.push_back({std::move(set), entryByte});
    }
    return found;
  }

  // The folder that holds the entry at entryByte (the root when none does).
  uint32_t HolderOf(uint64_t entryByte) const {
    if (!haveGeometry) return kRootKey;
    auto it = owner.find(geometry.ClusterOf(entryByte));
    return it == owner.end() ? kRootKey : it->second;
  }

  // Parents, depths and the deleted mark, settled top-down; a folder that
  // would be its own ancestor is put under the root.
  void LinkDirectories() {
    for (auto& [key, d] : directories) {
      if (d.entry >= 0) d.parent = HolderOf(folders[static_cast<size_t>(d.entry)].entryByte);
      if (d.parent == key) d.parent = kRootKey;
    }
    for (const auto& item : directories) {
      const uint32_t key = item.first;
      std::vector<uint32_t> chain;
      std::unordered_set<uint32_t> onChain;
      uint32_t current = key;
      while (current != kRootKey) {
        Directory& c = directories.at(current);
        if (c.settled) break;
        if (!onChain.insert(current).second) {
          // A loop: the folder that closed it goes under the root.
          directories.at(chain.back()).parent = kRootKey;
          break;
        }
        chain.push_back(current);
        current = directories.count(c.parent) != 0 ? c.parent : kRootKey;
        if (current == kRootKey) c.parent = kRootKey;
      }
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Directory& c = directories.at(*it);
        if (c.settled) continue;
        const bool parentIsRoot = c.parent == kRootKey || directories.count(c.parent) == 0;
        const Directory* parent = parentIsRoot ? nullptr : &directories.at(c.parent);
        c.depth = parentIsRoot ? 1 : parent->depth + 1;
        const bool ownDeleted = c.entry >= 0 && folders[static_cast<size_t>(c.entry)].set.deleted;
        c.deleted = ownDeleted || (parent != nullptr && parent->deleted);
        c.settled = true;
      }
    }
  }

  uint32_t DepthOf(uint32_t key) const {
    if (key == kRootKey) return 0;
    auto it = directories.find(key);
    return it == directories.end() ? 0 : it->second.depth;
  }

  ItemRecord BaseRecord(const EntrySet* set, uint64_t entryByte) const {
    ItemRecord r = ZeroRecord();
    r.driveLetter = engine.m_driveLetter;
    r.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalExFat);
    r.isIntact = 1;
    r.clusterBytes = haveGeometry ? static_cast<int32_t>(geometry.clusterBytes) : -1;
    r.dataStartSector = haveGeometry ? geometry.heapByte / volume.UnitBytes() : 0;
    r.entrySector = (volume.StartByte() + entryByte) / volume.UnitBytes();
    r.volumeStartSector = volume.StartUnit();
    if (set != nullptr) {
      r.locator = static_cast<int32_t>(set->firstCluster);
      r.created = set->created;
      r.accessed = set->accessed;
      r.modified = set->modified;
      SetItemName(r, set->name.empty() ? std::string_view(kUnnamed) : std::string_view(set->name));
    }
    return r;
  }

  bool Append(const ItemRecord& record, int32_t* id) {
    ItemRecord* slot = store.AppendRecord();
    if (slot == nullptr) {
      storeFull = true;
      return false;
    }
    std::memcpy(static_cast<void*>(slot), &record, sizeof record);
    *id = store.RecordCount();
    slot->id = *id;
    return true;
  }

  void WriteDirectories() {
    for (const auto& [key, d] : directories) {
      if (storeFull) return;
      const EntrySet* set = d.entry >= 0 ? &folders[static_cast<size_t>(d.entry)].set : nullptr;
      ItemRecord r = BaseRecord(set, set != nullptr ? folders[static_cast<size_t>(d.entry)].entryByte : 0);
      r.isFolder = 1;
      r.isDeleted = d.deleted ? 1 : 0;
      r.locator = static_cast<int32_t>(key);
      if (set == nullptr) {
        r.entrySector = (volume.StartByte() + geometry.ClusterByte(key)) / volume.UnitBytes();
        SetItemName(r, "LostFolder" + std::to_string(key));
      }
      int32_t id = 0;
      if (!Append(r, &id)) return;
      store.AddChild(d.parent, DepthOf(d.parent), id, r.locator, r.name);
    }
  }

  int32_t ContentIntact(std::string_view name, uint32_t cluster) {
    const std::string_view extension = ExtensionOf(name);
    if (extension.empty()) return 1;
    sector.resize(volume.UnitBytes());
    if (volume.Read(geometry.ClusterByte(cluster), sector.data(), sector.size()) != kStatusOk) return 1;
    return signatures::MatchesExtension(sector.data(), sector.size(), extension);
  }

  // What a file read from its first cluster through the following ones is worth.
  ItemState JudgeData(const EntrySet& set) {
    if (!haveGeometry || !geometrySupported || set.validLengthTooLong) return ItemState::kDamaged;
    // More than every cluster of the volume holds: no file of it is that long.
    if (maxCluster < 2 || set.dataLength > (uint64_t{maxCluster} - 1) * geometry.clusterBytes) {
      return ItemState::kDamaged;
    }
    if (set.validDataLength == 0) return ItemState::kIntact;
    const uint64_t clusters = (set.validDataLength + geometry.clusterBytes - 1) / geometry.clusterBytes;
    // Its data lies in the heap, inside the volume, and not where a directory was found.
    if (set.firstCluster < 2 || set.firstCluster > maxCluster || clusters - 1 > maxCluster - set.firstCluster ||
        owner.count(set.firstCluster) != 0) {
      return ItemState::kDamaged;
    }
    const uint64_t first = geometry.ClusterByte(set.firstCluster);
    if (engine.m_live != nullptr && engine.m_live->Holds(volume.StartByte() + first, clusters * geometry.clusterBytes)) {
      return ItemState::kOverwritten;
    }
    if (ContentIntact(set.name, set.firstCluster) == 0) return ItemState::kDamaged;
    // Decoded through its whole data when another file found starts inside it, else checked by its framing.
    const auto from = std::lower_bound(fileStarts.begin(), fileStarts.end(), set.firstCluster);
    const auto to = std::upper_bound(fileStarts.begin(), fileStarts.end(), set.firstCluster + clusters - 1);
    const bool doubt = to - from > 1;
    const signatures::ByteReader read = [this](uint64_t at, void* out, size_t n) { return volume.Read(at, out, n); };
    const std::vector<ByteRun> runs{ByteRun{first, clusters * geometry.clusterBytes}};
    const auto verdict = signatures::CheckLaidOutStructure(
        read, runs, set.validDataLength, volume.UnitBytes(), ExtensionOf(set.name), nullptr, nullptr,
        doubt ? signatures::CheckDepth::kFull : signatures::CheckDepth::kQuick);
    return verdict == signatures::StructureVerdict::kBroken ? ItemState::kDamaged : ItemState::kIntact;
  }

  // Keeps a written file as a candidate of the search for files in pieces
  // (its data fails its check) or as holding its clusters (in use, intact).
  void NotePieces(const EntrySet& set, int32_t id, ItemState state, bool deleted) {
    if (!haveGeometry || geometry.clusterBytes == 0 || set.validDataLength == 0) return;
    const uint64_t clusters = (set.validDataLength + geometry.clusterBytes - 1) / geometry.clusterBytes;
    if (set.firstCluster < 2 || set.firstCluster > maxCluster || clusters - 1 > maxCluster - set.firstCluster) return;
    if (state == ItemState::kIntact && !deleted) {
      heldClusters.emplace_back(set.firstCluster, static_cast<uint32_t>(set.firstCluster + clusters - 1));
    } else if (state == ItemState::kDamaged && clusters > 1 && engine.m_searchPieces &&
               cluster::CanReassemble(ExtensionOf(set.name))) {
      pieceCandidates.push_back({id, set.firstCluster, set.validDataLength, std::string(ExtensionOf(set.name))});
    }
  }

  Status SearchPieces() {
    engine.m_pieceSearches.clear();
    if (pieceCandidates.empty()) return kStatusOk;
    std::vector<std::pair<uint32_t, uint32_t>> held = std::move(heldClusters);
    for (const auto& [cluster, key] : owner) held.emplace_back(cluster, cluster);
    cluster::FragmentBounds bounds;
    bounds.cancelled = [this] {
      if (engine.m_scanFn == nullptr) return false;
      return engine.m_scanFn(engine.m_userData, 100, engine.m_weight, -1, 0, 0, engine.GetItemCount(), 0) != 0;
    };
    return SearchExFatFilesInPieces(volume, geometry, maxCluster, engine.m_live, std::move(held), pieceCandidates,
                                    bounds, store, &engine.m_pieceSearches);
  }

  void WriteFile(const EntrySet& set, uint64_t entryByte) {
    if (storeFull || set.IsDirectory()) return;
    ItemRecord r = BaseRecord(&set, entryByte);
    r.isFolder = 0;
    r.size = set.dataLength;
    const uint32_t holder = HolderOf(entryByte);
    auto dir = directories.find(holder);
    r.isDeleted = set.deleted || (dir != directories.end() && dir->second.deleted) ? 1 : 0;
    const ItemState state = JudgeData(set);
    SetState(r, state);
    int32_t id = 0;
    if (!Append(r, &id)) return;
    store.AddChild(holder, DepthOf(holder), id, r.locator, nullptr);
    NotePieces(set, id, state, r.isDeleted != 0);
    if (set.validDataLength < set.dataLength) {
      ItemData data;
      data.validBytes = set.validDataLength;
      store.SetLayout(id, data.Encode());
    }
  }

  Status Execute() {
    if (engine.m_bootLayout && bootFat.Load(volume, *engine.m_bootLayout) != kStatusOk) bootFat = ExFatTable();
    GatherFolders();
    std::sort(fileStarts.begin(), fileStarts.end());
    SettleGeometry();
    if (haveGeometry) {
      BuildDirectories();
      LinkDirectories();
      WriteDirectories();
    }
    for (const Run& run : engine.m_runs) {
      if (storeFull) break;
      ParseRun(run, false, [&](const EntrySet& set, uint64_t entryByte) { WriteFile(set, entryByte); });
    }
    if (!storeFull && firstError == kStatusOk) firstError = SearchPieces();
    const Status flushed = store.FlushStore();
    if (storeFull) return kStatusOutOfMemory;
    if (firstError != kStatusOk) return firstError;
    return flushed;
  }
};

Status CProfessionalExFatRecovery::FinishExFatScan() {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen() || !m_volume.IsOpen()) return kStatusInvalidParameter;
  Finish finish(*this, *st);
  return finish.Execute();
}

}  // namespace engine::exfat
