// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_directory_walk.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/categories.h"
#include "engine/fat_dir_entry.h"
#include "engine/signatures/signature_check.h"

namespace engine::fat {
namespace {

using namespace fat_entry;

// The format caps a directory at 65,536 entries.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * kBytes;
// Deleted FAT32 entries may have lost the high word of their start cluster;
// these high words are tried.
constexpr uint32_t kHighWordsTried = 257;

bool IsBlank(const uint8_t* bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != ' ') return false;
  }
  return true;
}

bool IsDotEntry(const uint8_t* e) {
  return e[0] == '.' && IsBlank(e, 1, 11);
}
bool IsDotDotEntry(const uint8_t* e) {
  return e[0] == '.' && e[1] == '.' && IsBlank(e, 2, 11);
}

// A directory's first unit: "." (dot, blank, directory bit) then "..".
bool BeginsWithDotPair(ByteView unit) {
  return unit.Has(0, 2 * kBytes) && unit.U8(0) == '.' && unit.U8(1) == ' ' && (unit.U8(kAttribute) & kDirectory) != 0 &&
         unit.U8(kBytes) == '.' && unit.U8(kBytes + 1) == '.';
}

}  // namespace

struct FatDirectoryWalk::DirectoryState {
  uint32_t cluster = 0;
  uint32_t depth = 0;
  bool deleted = false;
  LongNameBuffer longName;
  uint8_t longNameChecksum = 0;
  // The last name recorded and its short entry's creation stamp.
  std::string lastName;
  uint32_t lastCreated = 0;
};

FatDirectoryWalk::FatDirectoryWalk(VolumeReader& reader, FatTable& fat, store::ScanStore& store, uint16_t driveLetter)
    : m_reader(reader),
      m_fat(fat),
      m_geometry(fat.Geometry()),
      m_store(store),
      m_driveLetter(driveLetter),
      m_rootKey(fat.Geometry().type == FatType::kFat32 ? fat.Geometry().rootCluster : 0),
      m_continuations(reader, fat) {}

Status FatDirectoryWalk::WalkAll(const AfterDirectory& afterEach) {
  m_queue.push_back(m_rootKey);
  bool rootWalked = false;
  for (;;) {
    if (m_queue.empty()) {
      // Deleted claims still waiting found no live claim: walk them now.
      while (!m_deferred.empty() && m_queue.empty()) {
        const uint32_t cluster = m_deferred.back();
        m_deferred.pop_back();
        if (m_walked.count(cluster) == 0) {
          m_walked.insert(cluster);
          (void)WalkDirectory(cluster);  // an unreadable directory ends only itself
          if (m_storeFull) return kStatusOutOfMemory;
        }
      }
      if (m_queue.empty()) break;
    }
    const uint32_t cluster = m_queue.front();
    m_queue.pop_front();
    if (m_walked.count(cluster) == 0) {
      if (cluster != m_rootKey && ClaimNamesAnotherParent(cluster)) {
        m_deferred.push_back(cluster);
      } else {
        m_walked.insert(cluster);
        const Status s = WalkDirectory(cluster);
        // Nothing is reachable without the root: that is a failed scan, not an empty volume.
        if (!rootWalked && cluster == m_rootKey && s != kStatusOk) return s;
        rootWalked = rootWalked || cluster == m_rootKey;
        if (m_storeFull) return kStatusOutOfMemory;
      }
    }
    if (afterEach) {
      if (int32_t r = afterEach(); r != 0) return r;
    }
  }
  return kStatusOk;
}

bool FatDirectoryWalk::ClaimNamesAnotherParent(uint32_t cluster) {
  auto found = m_folders.find(cluster);
  if (found == m_folders.end() || found->second.isDeleted == 0) return false;
  if (ReadClusterSector(cluster, m_sector) != kStatusOk) return false;
  const ByteView sector(m_sector.data(), m_sector.size());
  if (!sector.Has(0, 2 * kBytes) || !IsDotDotEntry(m_sector.data() + kBytes)) return false;
  uint32_t parent = sector.U16(kBytes + kClusterLow);
  if (m_geometry.type == FatType::kFat32) parent |= static_cast<uint32_t>(sector.U16(kBytes + kClusterHigh)) << 16;
  const auto claimant = static_cast<uint32_t>(found->second.id);
  // ".." of a folder in the root names cluster 0 (some systems write the root's cluster).
  const bool claimantIsRoot = claimant == m_rootKey;
  return !(parent == claimant || (claimantIsRoot && parent == 0));
}

uint32_t FatDirectoryWalk::DirectoryDepth(uint32_t cluster) {
  // Settled once per directory, walking up only to the first one settled.
  std::vector<uint32_t> chain;
  uint32_t current = cluster;
  uint32_t depth = 0;
  while (current != m_rootKey) {
    if (auto known = m_depths.find(current); known != m_depths.end()) {
      depth = known->second;
      break;
    }
    auto it = m_folders.find(current);
    // Parent links point to directories walked earlier, so this ends; the
    // bound guards against a map that does not keep that promise.
    if (it == m_folders.end() || chain.size() > m_folders.size()) break;
    chain.push_back(current);
    current = static_cast<uint32_t>(it->second.id);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) m_depths[*it] = ++depth;
  return chain.empty() ? depth : m_depths[cluster];
}

Status FatDirectoryWalk::WalkDirectory(uint32_t cluster) {
  DirectoryState dir;
  dir.cluster = cluster;
  const bool isRoot = cluster == m_rootKey;
  const bool fixedRoot = isRoot && m_geometry.type != FatType::kFat32;
  auto found = m_folders.find(cluster);
  const bool foundSubfolder = !isRoot && found != m_folders.end();
  dir.deleted = foundSubfolder && found->second.isDeleted == 1;
  dir.depth = DirectoryDepth(cluster);

  uint64_t unitSector = 0;
  size_t unitBytes = 0;
  if (fixedRoot) {
    unitSector = m_geometry.rootDirSector;
    unitBytes = static_cast<size_t>(
        std::min<uint64_t>(m_geometry.rootDirSectors * m_geometry.bytesPerSector, kMaxDirectoryBytes));
    if (unitBytes == 0) return kStatusOk;
  } else {
    if (!m_geometry.IsDataCluster(cluster)) return kStatusInvalidParameter;
    unitSector = m_geometry.ClusterSector(cluster);
    unitBytes = m_geometry.ClusterBytes();
  }
  m_unit.resize(unitBytes);

  std::unordered_set<uint32_t> visited{cluster};
  uint32_t current = cluster;
  bool firstUnit = true;
  bool reachedByFreedLink = false;
  bool supported = false;
  uint32_t lastWalked = cluster;
  uint64_t bytesWalked = 0;
  const uint64_t volumeStartSector = m_reader.VolumeStartByte() / m_geometry.bytesPerSector;
  for (;;) {
    if (Status s = m_reader.Read(unitSector * m_geometry.bytesPerSector, m_unit.data(), unitBytes); s != kStatusOk) {
      ++m_unreadableDirectories;
      return s;
    }
    ByteView unit(m_unit.data(), unitBytes);
    if (firstUnit && foundSubfolder && !BeginsWithDotPair(unit)) return kStatusOk;
    // A cluster reached only because its predecessor's entry is free is
    // taken for this directory's continuation only when it reads as one,
    // begins no directory of its own, is no file's first cluster and does
    // not contradict how the directory's last cluster ended.
    if (reachedByFreedLink && !supported &&
        (!IsDirectorySector(m_unit.data(), unitBytes) || BeginsWithDotPair(unit) ||
         m_claimedStarts.count(current) != 0 ||
         JudgeContinuation(EdgeOf(dir), unit) == EdgeVerdict::kContradicts)) {
      m_cutOffAt.push_back(lastWalked);
      return kStatusOk;
    }
    if (!fixedRoot) {
      m_directoryClusters.insert(current);
      m_continuations.Take(current);
    }
    const size_t entries = unitBytes / kBytes;
    for (size_t i = 0; i < entries; ++i) {
      const uint8_t* e = m_unit.data() + i * kBytes;
      if (e[0] == 0) return kStatusOk;
      const uint8_t* next = i + 1 < entries ? e + kBytes : nullptr;
      const uint64_t entrySector = volumeStartSector + unitSector + (i * kBytes) / m_geometry.bytesPerSector;
      if (ProcessEntry(dir, e, next, entrySector) == EntryResult::kEndDirectory) return kStatusOk;
      if (m_storeFull) return kStatusOutOfMemory;
    }
    bytesWalked += unitBytes;
    if (fixedRoot || bytesWalked >= kMaxDirectoryBytes) return kStatusOk;
    uint32_t next = 0;
    bool viaFreed = false;
    if (Status s = m_fat.NextCluster(current, &next, &viaFreed); s != kStatusOk) return s;
    // A freed chain: the directory went on in a free cluster after this one.
    // One whose entries show they go on from here is taken; without such
    // evidence, the next free cluster that no file of it claims (it grew
    // between its files' data).
    supported = false;
    if (viaFreed) {
      const uint32_t shown = ShownContinuation(dir, current, visited);
      supported = shown != 0;
      next = supported ? shown : next != 0 ? SkipClaimedRuns(next) : 0;
      if (next == 0) m_cutOffAt.push_back(current);
    }
    // Every cluster once: a chain that loops ends here.
    if (next == 0 || !visited.insert(next).second) return kStatusOk;
    lastWalked = current;
    current = next;
    unitSector = m_geometry.ClusterSector(current);
    firstUnit = false;
    reachedByFreedLink = viaFreed;
  }
}

FatDirectoryWalk::EntryResult FatDirectoryWalk::ProcessEntry(DirectoryState& dir, const uint8_t* e, const uint8_t* next,
                                                             uint64_t entrySector) {
  if (!IsValidDirEntry(e, next)) {
    dir.longName.Clear();
    return EntryResult::kContinue;
  }
  const uint8_t attribute = e[kAttribute];
  if (attribute == kLongName) {
    // A live entry with bit 0x40 starts a name: anything pending is an orphan.
    if (e[0] != kDeletedMark && (e[0] & 0x40) != 0) dir.longName.Clear();
    if (!dir.longName.Prepend(e)) return EntryResult::kEndDirectory;
    dir.longNameChecksum = e[kLongNameChecksum];
    return EntryResult::kContinue;
  }
  const bool deleted = e[0] == kDeletedMark;
  std::string name;
  // A live short entry keeps a long name only when the name's checksum is its
  // own; a deleted one lost its first byte, so the checksum cannot tell.
  const bool longNameFits = dir.longName.IsPending() && (deleted || ShortNameChecksum(e) == dir.longNameChecksum);
  // A volume label names no file; anything else valid is a folder or a file
  // (many systems leave the archive bit clear: attribute 0 is common).
  const bool label = (attribute & kVolumeLabel) != 0 && (attribute & kDirectory) == 0;
  if (!label) {
    name = longNameFits ? dir.longName.ToUtf8() : std::string();
    if (name.empty()) name = ShortEntryName(e);
  }
  dir.longName.Clear();
  if (label) return EntryResult::kContinue;
  dir.lastName = name;
  dir.lastCreated = (static_cast<uint32_t>(ByteView(e, kBytes).U16(kCreateDate)) << 16) |
                    ByteView(e, kBytes).U16(kCreateTime);
  if ((attribute & kDirectory) != 0) {
    if (IsDotEntry(e) || IsDotDotEntry(e)) return EntryResult::kContinue;
    RecordFolderEntry(dir, e, std::move(name), entrySector);
  } else {
    RecordFileEntry(dir, e, std::move(name), entrySector);
  }
  return EntryResult::kContinue;
}

uint32_t FatDirectoryWalk::StartCluster(const uint8_t* e) const {
  ByteView view(e, kBytes);
  uint32_t cluster = view.U16(kClusterLow);
  if (m_geometry.type == FatType::kFat32) cluster |= static_cast<uint32_t>(view.U16(kClusterHigh)) << 16;
  return cluster & 0x0FFFFFFF;
}

ItemRecord FatDirectoryWalk::BaseRecord(const uint8_t* e, std::string_view name, uint32_t locator,
                                        uint64_t entrySector) const {
  ItemRecord r = ZeroRecord();
  r.driveLetter = m_driveLetter;
  r.sourceKind = static_cast<int32_t>(SourceKind::kFastFat);
  r.isIntact = 1;
  r.locator = static_cast<int32_t>(locator);
  r.clusterBytes = static_cast<int32_t>(m_geometry.ClusterBytes());
  const FatEntryTimes times = ConvertEntryTimes(e);
  r.created = times.created;
  r.accessed = times.accessed;
  r.modified = times.modified;
  r.dataStartSector = m_geometry.dataStartSector;
  r.entrySector = entrySector;
  r.volumeStartSector = m_reader.VolumeStartByte() / m_geometry.bytesPerSector;
  SetItemName(r, name);
  return r;
}

void FatDirectoryWalk::RecordFolderEntry(DirectoryState& dir, const uint8_t* e, std::string name,
                                         uint64_t entrySector) {
  const bool deleted = e[0] == kDeletedMark;
  uint32_t start = StartCluster(e);
  ByteView view(e, kBytes);
  if (m_geometry.type == FatType::kFat32 && deleted && view.U16(kClusterHigh) == 0 && start != 0) {
    bool found = false;
    start = SearchHighWord(view.U16(kClusterLow), true, {}, &found);
  }
  if (start == 0 || start == dir.cluster || !m_geometry.IsDataCluster(start)) return;
  // A directory walked already (the root, an ancestor, a folder reached by
  // another entry) is never walked again nor re-parented.
  if (m_walked.count(start) != 0) return;
  const int32_t isDeleted = (deleted || dir.deleted) ? 1 : 0;
  // Two entries may claim one directory before it is walked (a moved folder
  // leaves a deleted entry behind; a deleted folder's cluster may be reused).
  // A live claim is the directory's truth and is never replaced by a deleted
  // one; otherwise the later claim wins.
  auto claimed = m_folders.find(start);
  if (claimed != m_folders.end() && claimed->second.isDeleted == 0 && isDeleted == 1) return;
  ItemRecord r = BaseRecord(e, name, start, entrySector);
  r.isFolder = 1;
  r.isDeleted = isDeleted;
  r.id = static_cast<int32_t>(dir.cluster);  // the parent, until the record is appended
  m_folders[start] = r;
  m_queue.push_back(start);
}

void FatDirectoryWalk::RecordFileEntry(DirectoryState& dir, const uint8_t* e, std::string name, uint64_t entrySector) {
  const bool deleted = e[0] == kDeletedMark;
  if (!deleted && !dir.deleted) return;
  ByteView view(e, kBytes);
  uint32_t start = StartCluster(e);
  const std::string_view extension = ExtensionOf(name);
  bool reused = false;
  if (m_geometry.type == FatType::kFat32 && deleted && view.U16(kClusterHigh) == 0 && start != 0) {
    bool found = false;
    start = SearchHighWord(view.U16(kClusterLow), false, extension, &found);
    // Without evidence the stored cluster stands; taken by a live file now, it holds other data.
    reused = !found && IsAllocated(start);
  } else if (deleted && start != 0) {
    // A deleted file's clusters were freed: allocated again, they hold another file now.
    reused = IsAllocated(start);
  }
  ItemRecord r = BaseRecord(e, name, start, entrySector);
  r.isFolder = 0;
  r.isDeleted = 1;
  r.size = view.U32(kSize);
  // A start the live file system holds now holds another file's data. The
  // others' first sectors are checked against their kind once the walk
  // ends, read in sorted, coalesced pieces.
  SetState(r, reused ? ItemState::kOverwritten : ItemState::kIntact);
  int32_t id = 0;
  if (!AppendToStore(r, &id)) return;
  if (!reused && !extension.empty() && m_geometry.IsDataCluster(start)) {
    m_startChecks.push_back(StartCheck{start, id, std::string(extension)});
  }
  m_store.AddChild(dir.cluster, dir.depth, id, r.locator, nullptr);
  ++m_filesRecorded;
  MarkNeeded(dir.cluster);
  if (reused || r.size == 0) return;
  // Every deleted file with data is laid out, also one whose start lies
  // outside the data clusters (its data cannot be had: it is damaged).
  const uint64_t created = r.created;  // copies: the record's fields are not aligned
  const uint64_t modified = r.modified;
  m_claims.push_back(cluster::ClusterClaim{id, start, r.size, false, std::max(created, modified),
                                           std::string(extension)});
  if (m_geometry.IsDataCluster(start)) {
    m_claimedStarts.insert(start);
    const uint64_t clusters = (r.size + m_geometry.ClusterBytes() - 1) / m_geometry.ClusterBytes();
    const uint64_t end = std::min<uint64_t>(uint64_t{start} + clusters, uint64_t{m_geometry.maxCluster} + 1);
    uint32_t& known = m_claimedRuns[start];
    known = std::max(known, static_cast<uint32_t>(end));
  }
}

uint64_t FatDirectoryWalk::FoldersCutOff() const {
  // A listing that ends with a full cluster may simply end there: it counts
  // only while a cluster that may go on with it is left that no directory took.
  uint64_t count = 0;
  for (uint32_t cluster : m_cutOffAt) count += m_continuations.AnyLeftAfter(cluster) ? 1 : 0;
  return count;
}

DirectoryEdge FatDirectoryWalk::EdgeOf(const DirectoryState& dir) const {
  DirectoryEdge edge;
  edge.longNamePending = dir.longName.IsPending();
  edge.longNameChecksum = dir.longNameChecksum;
  if (edge.longNamePending) {
    edge.pendingName = dir.longName.ToUtf8();
    const std::string& pending = edge.pendingName;
    edge.pendingFirst = !pending.empty() && static_cast<unsigned char>(pending[0]) < 0x80 ? pending[0] : 0;
  }
  edge.lastName = dir.lastName;
  edge.lastCreated = dir.lastCreated;
  return edge;
}

uint32_t FatDirectoryWalk::ShownContinuation(const DirectoryState& dir, uint32_t cluster,
                                             const std::unordered_set<uint32_t>& visited) {
  std::vector<uint32_t> candidates;
  // A window that could not be read wholly is judged on what was read.
  (void)m_continuations.Find(cluster, &candidates);
  const DirectoryEdge edge = EdgeOf(dir);
  // The one candidate whose names go on from here, else the one whose
  // long-name set goes on; two alike leave the choice open.
  uint32_t supported = 0;
  uint32_t fitting = 0;
  bool supportedTwice = false;
  bool fittingTwice = false;
  for (uint32_t candidate : candidates) {
    if (visited.count(candidate) != 0 || m_claimedStarts.count(candidate) != 0 ||
        m_directoryClusters.count(candidate) != 0) {
      continue;
    }
    const ClusterHead* head = m_continuations.Head(candidate);
    if (head == nullptr) continue;
    const EdgeVerdict verdict = JudgeContinuation(edge, *head);
    if (verdict == EdgeVerdict::kSupports) {
      supportedTwice = supportedTwice || supported != 0;
      supported = candidate;
    } else if (verdict == EdgeVerdict::kFits) {
      fittingTwice = fittingTwice || fitting != 0;
      fitting = candidate;
    }
  }
  if (supported != 0) return supportedTwice ? 0 : supported;
  return fittingTwice ? 0 : fitting;
}

bool FatDirectoryWalk::AppendToStore(const ItemRecord& record, int32_t* id) {
  ItemRecord* slot = m_store.AppendRecord();
  if (slot == nullptr) {
    m_storeFull = true;
    return false;
  }
  std::memcpy(static_cast<void*>(slot), &record, sizeof record);
  *id = m_store.RecordCount();
  slot->id = *id;
  return true;
}

void FatDirectoryWalk::MarkNeeded(uint32_t directory) {
  uint32_t current = directory;
  while (current != m_rootKey) {
    auto it = m_folders.find(current);
    if (it == m_folders.end() || !m_neededSet.insert(current).second) return;
    m_needed.push_back(current);
    current = static_cast<uint32_t>(it->second.id);
  }
}

Status FatDirectoryWalk::AppendNeededFolders() {
  for (uint32_t cluster : m_needed) {
    auto it = m_folders.find(cluster);
    if (it == m_folders.end()) continue;
    ItemRecord r = it->second;
    const uint32_t parent = static_cast<uint32_t>(r.id);
    r.isIntact = 1;
    int32_t id = 0;
    if (!AppendToStore(r, &id)) return kStatusOutOfMemory;
    m_store.AddChild(parent, DirectoryDepth(parent), id, r.locator, r.name);
  }
  return kStatusOk;
}

Status FatDirectoryWalk::ReadClusterSector(uint32_t cluster, std::vector<uint8_t>& sector) {
  if (!m_geometry.IsDataCluster(cluster)) return kStatusInvalidParameter;
  sector.resize(m_geometry.bytesPerSector);
  return m_reader.Read(m_geometry.ClusterSector(cluster) * m_geometry.bytesPerSector, sector.data(), sector.size());
}

uint32_t FatDirectoryWalk::SkipClaimedRuns(uint32_t cluster) {
  constexpr int kMaxRunsSkipped = 256;
  uint32_t candidate = cluster;
  for (int hop = 0; hop < kMaxRunsSkipped && candidate != 0; ++hop) {
    auto run = m_claimedRuns.upper_bound(candidate);
    if (run == m_claimedRuns.begin()) return candidate;
    --run;
    if (candidate >= run->second) return candidate;  // not inside a claimed run
    uint32_t next = 0;
    if (m_fat.NextFreeCluster(run->second - 1, &next) != kStatusOk) return 0;
    candidate = next;
  }
  return 0;
}

bool FatDirectoryWalk::IsAllocated(uint32_t cluster) {
  uint32_t value = 0;
  return m_geometry.IsDataCluster(cluster) && m_fat.Entry(cluster, &value) == kStatusOk && value != 0;
}

uint32_t FatDirectoryWalk::SearchHighWord(uint16_t lowWord, bool folder, std::string_view extension, bool* found) {
  *found = false;
  // A file kind without a start rule gives no evidence: no cluster is guessed.
  if (!folder && signatures::CheckPlausibleStart(nullptr, 0, extension) == signatures::StartVerdict::kNoRule) {
    return lowWord;
  }
  for (uint32_t high = 0; high < kHighWordsTried; ++high) {
    const uint32_t candidate = (high << 16) | lowWord;
    if (candidate > m_geometry.maxCluster) break;  // past the volume's end
    if (candidate < 2) continue;
    if (ReadClusterSector(candidate, m_sector) != kStatusOk) break;
    ByteView sector(m_sector.data(), m_sector.size());
    bool matches = false;
    if (folder) {
      const uint32_t dotCluster =
          static_cast<uint32_t>(sector.U16(kClusterLow)) | (static_cast<uint32_t>(sector.U16(kClusterHigh)) << 16);
      matches = sector.U8(0) == '.' && sector.U8(1) == ' ' && sector.U8(kBytes) == '.' &&
                sector.U8(kBytes + 1) == '.' && (dotCluster == candidate || dotCluster == 0);
    } else {
      matches = signatures::CheckPlausibleStart(m_sector.data(), m_sector.size(), extension) ==
                signatures::StartVerdict::kPlausible;
    }
    if (!matches) continue;
    // The clusters of a deleted entry are free; an allocated one holds
    // another file. Asked only on a match, so the FAT window rarely moves.
    uint32_t entry = 0;
    if (m_fat.Entry(candidate, &entry) != kStatusOk) break;
    if (entry == 0) {
      *found = true;
      return candidate;
    }
  }
  return lowWord;
}

Status FatDirectoryWalk::CheckStarts() {
  // Sorted by place; one read serves every start in a piece of at most
  // kPieceBytes whose gaps are small (reading over them costs less than a call).
  constexpr uint64_t kPieceBytes = 1u << 20;
  constexpr uint64_t kMaxGapBytes = 64u << 10;
  std::sort(m_startChecks.begin(), m_startChecks.end(),
            [](const StartCheck& a, const StartCheck& b) { return a.cluster < b.cluster; });
  const uint64_t sectorBytes = m_geometry.bytesPerSector;
  std::vector<uint8_t> piece;
  Status result = kStatusOk;
  for (size_t first = 0; first < m_startChecks.size();) {
    const uint64_t begin = m_geometry.ClusterSector(m_startChecks[first].cluster) * sectorBytes;
    size_t last = first;
    uint64_t end = begin + sectorBytes;
    while (last + 1 < m_startChecks.size()) {
      const uint64_t at = m_geometry.ClusterSector(m_startChecks[last + 1].cluster) * sectorBytes;
      if (at - std::min(at, end) > kMaxGapBytes || at + sectorBytes - begin > kPieceBytes) break;
      end = std::max(end, at + sectorBytes);
      ++last;
    }
    piece.resize(static_cast<size_t>(end - begin));
    // A piece that cannot be read whole is read sector by sector; a sector
    // that cannot be read leaves its file as it is (their layout still
    // judges them), as when each was read alone.
    const bool whole = m_reader.Read(begin, piece.data(), piece.size()) == kStatusOk;
    for (size_t k = first; k <= last; ++k) {
      const StartCheck& check = m_startChecks[k];
      const uint64_t at = m_geometry.ClusterSector(check.cluster) * sectorBytes - begin;
      if (!whole && m_reader.Read(begin + at, piece.data() + at, static_cast<size_t>(sectorBytes)) != kStatusOk) {
        continue;
      }
      if (signatures::MatchesExtension(piece.data() + at, static_cast<size_t>(sectorBytes), check.extension) != 0) {
        continue;
      }
      ItemRecord record;
      Status s = m_store.ReadRecord(check.id, &record);
      if (s == kStatusOk) {
        SetState(record, WorseState(StateOf(record), ItemState::kDamaged));
        s = m_store.UpdateRecord(record);
      }
      if (s != kStatusOk && result == kStatusOk) result = s;
    }
    first = last + 1;
  }
  m_startChecks.clear();
  m_startChecks.shrink_to_fit();
  return result;
}

}  // namespace engine::fat
