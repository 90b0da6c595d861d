// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_directory_walk.h"

#include <algorithm>
#include <cstring>

#include "engine/categories.h"
#include "engine/signatures/signature_check.h"

namespace engine::exfat {
namespace {

// The format caps a directory at 256 MiB.
constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;
// What a file whose name is lost is called.
constexpr const char* kUnnamed = "unnamed";

// True when a cluster's entries hold the end-of-directory marker.
bool HoldsEndMarker(const uint8_t* bytes, size_t length) {
  for (size_t at = 0; at + entry::kBytes <= length; at += entry::kBytes) {
    if (bytes[at] == entry::kEndOfDirectory) return true;
  }
  return false;
}

}  // namespace

ExFatDirectoryWalk::ExFatDirectoryWalk(ExFatVolume& volume, const ExFatGeometry& geometry, ExFatTable& fat,
                                       const ExFatBitmap& bitmap, const UpcaseTable& upcase, store::ScanStore& store,
                                       uint16_t driveLetter)
    : m_volume(volume),
      m_geometry(geometry),
      m_fat(fat),
      m_bitmap(bitmap),
      m_upcase(upcase),
      m_store(store),
      m_driveLetter(driveLetter),
      m_volumeStartSector(volume.StartByte() / geometry.bytesPerSector) {}

Status ExFatDirectoryWalk::WalkAll(const AfterDirectory& afterEach) {
  const uint32_t root = m_geometry.rootCluster;
  m_walked.insert(root);
  // Nothing is reachable without the root: that is a failed scan, not an empty volume.
  if (Status s = WalkDirectory(root, false); s != kStatusOk) return s;
  if (m_storeFull) return kStatusOutOfMemory;
  if (afterEach) {
    if (int32_t r = afterEach(); r != 0) return r;
  }
  for (;;) {
    std::deque<uint32_t>& queue = !m_liveQueue.empty() ? m_liveQueue : m_deletedQueue;
    if (queue.empty()) break;
    const uint32_t cluster = queue.front();
    queue.pop_front();
    if (!m_walked.insert(cluster).second) continue;
    auto folder = m_folders.find(cluster);
    const bool deleted = folder != m_folders.end() && folder->second.record.isDeleted != 0;
    (void)WalkDirectory(cluster, deleted);  // an unreadable directory ends only itself
    if (m_storeFull) return kStatusOutOfMemory;
    if (afterEach) {
      if (int32_t r = afterEach(); r != 0) return r;
    }
  }
  return kStatusOk;
}

Status ExFatDirectoryWalk::ReadDirectory(const DirectoryStream& stream, bool deleted, std::vector<uint32_t>* clusters) {
  clusters->clear();
  m_bytes.clear();
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  const uint64_t cap = std::max<uint64_t>(kMaxDirectoryBytes / clusterBytes, 1);
  const uint64_t wanted =
      stream.dataLength == 0 ? cap : std::min(cap, (stream.dataLength + clusterBytes - 1) / clusterBytes);
  if (!m_geometry.IsDataCluster(stream.firstCluster)) return kStatusInvalidParameter;
  bool chained = !stream.noFatChain;
  if (chained) {
    bool complete = false;
    if (Status s = m_fat.Chain(stream.firstCluster, wanted, clusters, &complete); s != kStatusOk) return s;
    if (deleted) {
      // A deleted directory keeps its chain only while the FAT still holds
      // its whole length on clusters nobody took since.
      bool kept = complete || stream.dataLength == 0;
      for (uint32_t c : *clusters) kept = kept && !(m_bitmap.IsLoaded() && m_bitmap.IsAllocated(c));
      if (!kept || clusters->size() < 2) chained = false;
    }
  }
  if (!chained) {
    clusters->clear();
    const uint64_t last = std::min<uint64_t>(uint64_t{stream.firstCluster} + wanted - 1, m_geometry.maxCluster);
    for (uint64_t c = stream.firstCluster; c <= last; ++c) {
      // Past its first cluster, a deleted directory ends where someone else's data begins.
      if (deleted && c != stream.firstCluster && m_bitmap.IsLoaded() && m_bitmap.IsAllocated(c)) break;
      clusters->push_back(static_cast<uint32_t>(c));
    }
  }
  m_bytes.reserve(static_cast<size_t>(std::min<uint64_t>(clusters->size(), 64) * clusterBytes));
  for (size_t i = 0; i < clusters->size(); ++i) {
    const size_t at = m_bytes.size();
    m_bytes.resize(at + static_cast<size_t>(clusterBytes));
    if (Status s = m_volume.Read(m_geometry.ClusterOffset((*clusters)[i]), m_bytes.data() + at, clusterBytes);
        s != kStatusOk) {
      m_bytes.resize(at);
      clusters->resize(i);
      ++m_unreadableDirectories;
      // The clusters read so far still count; a first cluster that cannot be read ends the directory.
      return i == 0 ? s : kStatusOk;
    }
    if (HoldsEndMarker(m_bytes.data() + at, static_cast<size_t>(clusterBytes))) {
      clusters->resize(i + 1);
      break;
    }
  }
  return kStatusOk;
}

bool ExFatDirectoryWalk::LooksLikeDirectory(const uint8_t* bytes, size_t length) const {
  if (length < entry::kBytes) return false;
  if (bytes[0] == entry::kEndOfDirectory) return true;
  EntrySet set;
  return ParseEntrySet(ByteView(bytes, length), 0, &m_upcase, &set) == SetParse::kSet && set.checksumMatches;
}

Status ExFatDirectoryWalk::WalkDirectory(uint32_t cluster, bool deleted) {
  DirectoryStream stream;
  stream.firstCluster = cluster;
  if (auto folder = m_folders.find(cluster); folder != m_folders.end()) stream = folder->second.stream;
  std::vector<uint32_t> clusters;
  if (Status s = ReadDirectory(stream, deleted, &clusters); s != kStatusOk) return s;
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  // A deleted folder's first cluster may hold someone else's data by now.
  if (deleted && !LooksLikeDirectory(m_bytes.data(), m_bytes.size())) return kStatusOk;
  for (uint32_t c : clusters) m_directoryClusters.insert(c);
  const uint32_t depth = DirectoryDepth(cluster);
  const ByteView bytes(m_bytes.data(), m_bytes.size());
  for (size_t at = 0; at + entry::kBytes <= bytes.size();) {
    const uint8_t type = bytes.U8(at);
    if (type == entry::kEndOfDirectory) break;
    if ((type | entry::kInUse) != entry::kFile) {
      at += entry::kBytes;
      continue;
    }
    EntrySet set;
    const SetParse parsed = ParseEntrySet(bytes, at, &m_upcase, &set);
    if (parsed == SetParse::kTruncated) break;
    if (parsed == SetParse::kNotASet) {
      at += entry::kBytes;
      continue;
    }
    const size_t index = at / static_cast<size_t>(clusterBytes);
    const uint64_t entrySector = m_volumeStartSector + m_geometry.ClusterSector(clusters[index]) +
                                 (at % clusterBytes) / m_geometry.bytesPerSector;
    ProcessSet(set, cluster, depth, deleted, entrySector);
    if (m_storeFull) return kStatusOutOfMemory;
    at += set.entryCount * entry::kBytes;
  }
  return kStatusOk;
}

void ExFatDirectoryWalk::ProcessSet(const EntrySet& set, uint32_t directory, uint32_t depth, bool directoryDeleted,
                                    uint64_t entrySector) {
  // A set whose checksum fails is damaged; when its name no longer matches
  // its own hash either, it is not believed at all.
  if (!set.checksumMatches && !set.nameHashMatches) return;
  const bool damaged = !set.checksumMatches;
  const bool deleted = set.deleted || directoryDeleted;
  if (set.IsDirectory()) {
    RecordFolder(set, directory, deleted, damaged, entrySector);
  } else {
    RecordFile(set, directory, depth, deleted, damaged, entrySector);
  }
}

ItemRecord ExFatDirectoryWalk::BaseRecord(const EntrySet& set, uint64_t entrySector) const {
  ItemRecord r = ZeroRecord();
  r.driveLetter = m_driveLetter;
  r.sourceKind = static_cast<int32_t>(SourceKind::kFastExFat);
  r.isIntact = 1;
  r.locator = static_cast<int32_t>(set.firstCluster);
  r.clusterBytes = static_cast<int32_t>(std::min<uint64_t>(m_geometry.ClusterBytes(), INT32_MAX));
  r.created = set.created;
  r.accessed = set.accessed;
  r.modified = set.modified;
  r.dataStartSector = m_geometry.heapSector;
  r.entrySector = entrySector;
  r.volumeStartSector = m_volumeStartSector;
  SetItemName(r, set.name.empty() ? std::string_view(kUnnamed) : std::string_view(set.name));
  return r;
}

void ExFatDirectoryWalk::RecordFolder(const EntrySet& set, uint32_t directory, bool deleted, bool damaged,
                                      uint64_t entrySector) {
  const uint32_t first = set.firstCluster;
  if (!m_geometry.IsDataCluster(first) || first == directory) return;
  // A directory walked already (the root, an ancestor, a folder reached by
  // another entry) is never walked again nor re-parented.
  if (m_walked.count(first) != 0) return;
  // A live claim is the directory's truth and is never replaced by a deleted one.
  auto claimed = m_folders.find(first);
  if (claimed != m_folders.end() && claimed->second.record.isDeleted == 0 && deleted) return;
  Folder folder;
  folder.record = BaseRecord(set, entrySector);
  folder.record.isFolder = 1;
  folder.record.isDeleted = deleted ? 1 : 0;
  folder.record.isIntact = damaged ? 0 : 1;
  folder.record.id = static_cast<int32_t>(directory);  // the parent, until the record is appended
  folder.stream = DirectoryStream{first, set.dataLength, set.NoFatChain()};
  m_folders[first] = folder;
  (deleted ? m_deletedQueue : m_liveQueue).push_back(first);
}

void ExFatDirectoryWalk::RecordFile(const EntrySet& set, uint32_t directory, uint32_t depth, bool deleted, bool damaged,
                                    uint64_t entrySector) {
  if (!deleted) return;
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  const uint64_t validClusters = (set.validDataLength + clusterBytes - 1) / clusterBytes;
  // Valid bytes need clusters of the heap to come from.
  const bool dataPlaced = validClusters == 0 || m_geometry.IsDataRun(set.firstCluster, validClusters);
  // A deleted file's clusters were freed: allocated again, they hold another file now.
  const bool reused = set.deleted && validClusters != 0 && m_geometry.IsDataCluster(set.firstCluster) &&
                      m_bitmap.IsLoaded() && m_bitmap.IsAllocated(set.firstCluster);
  ItemRecord r = BaseRecord(set, entrySector);
  r.isFolder = 0;
  r.isDeleted = 1;
  r.size = set.dataLength;
  // A start the live file system holds now holds another file's data.
  ItemState state = reused ? ItemState::kOverwritten
                    : damaged || set.validLengthTooLong || !dataPlaced || set.dataLength > m_geometry.MaxFileBytes()
                        ? ItemState::kDamaged
                        : ItemState::kIntact;
  if (state == ItemState::kIntact && validClusters != 0 && ContentIntact(set.name, set.firstCluster) == 0) {
    state = ItemState::kDamaged;
  }
  SetState(r, state);
  int32_t id = 0;
  if (!AppendToStore(r, &id)) return;
  m_store.AddChild(directory, depth, id, r.locator, nullptr);
  ++m_filesRecorded;
  MarkNeeded(directory);

  // A live set (inside a deleted folder) still has its chain; a short valid length needs saying.
  const bool liveChained = !set.deleted && !set.NoFatChain() && validClusters > 1;
  if (liveChained || set.validDataLength < set.dataLength) {
    ItemData data;
    data.validBytes = set.validDataLength;
    data.fatChain = liveChained;
    m_layouts[id] = data;
  }
  if (set.deleted && validClusters != 0 && dataPlaced && !reused) {
    m_claims.push_back(cluster::ClusterClaim{id, set.firstCluster, set.validDataLength, set.NoFatChain(),
                                             std::max(set.created, set.modified), std::string(ExtensionOf(set.name))});
  }
}

int32_t ExFatDirectoryWalk::ContentIntact(std::string_view name, uint32_t cluster) {
  const std::string_view extension = ExtensionOf(name);
  if (extension.empty() || !m_geometry.IsDataCluster(cluster)) return 1;
  m_sector.resize(m_geometry.bytesPerSector);
  if (m_volume.Read(m_geometry.ClusterOffset(cluster), m_sector.data(), m_sector.size()) != kStatusOk) return 1;
  return signatures::MatchesExtension(m_sector.data(), m_sector.size(), extension);
}

uint32_t ExFatDirectoryWalk::DirectoryDepth(uint32_t cluster) {
  // Settled once per directory, walking up only to the first one settled.
  std::vector<uint32_t> chain;
  uint32_t current = cluster;
  uint32_t depth = 0;
  while (current != m_geometry.rootCluster) {
    if (auto known = m_depths.find(current); known != m_depths.end()) {
      depth = known->second;
      break;
    }
    auto it = m_folders.find(current);
    // Parent links point to directories walked earlier, so this ends; the
    // bound guards against a map that does not keep that promise.
    if (it == m_folders.end() || chain.size() > m_folders.size()) break;
    chain.push_back(current);
    current = static_cast<uint32_t>(it->second.record.id);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) m_depths[*it] = ++depth;
  return chain.empty() ? depth : m_depths[cluster];
}

void ExFatDirectoryWalk::MarkNeeded(uint32_t directory) {
  uint32_t current = directory;
  while (current != m_geometry.rootCluster) {
    auto it = m_folders.find(current);
    if (it == m_folders.end() || !m_neededSet.insert(current).second) return;
    m_needed.push_back(current);
    current = static_cast<uint32_t>(it->second.record.id);
  }
}

bool ExFatDirectoryWalk::AppendToStore(const ItemRecord& record, int32_t* id) {
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

Status ExFatDirectoryWalk::AppendNeededFolders() {
  for (uint32_t cluster : m_needed) {
    auto it = m_folders.find(cluster);
    if (it == m_folders.end()) continue;
    ItemRecord r = it->second.record;
    const uint32_t parent = static_cast<uint32_t>(r.id);
    int32_t id = 0;
    if (!AppendToStore(r, &id)) return kStatusOutOfMemory;
    m_store.AddChild(parent, DirectoryDepth(parent), id, r.locator, r.name);
  }
  return kStatusOk;
}

}  // namespace engine::exfat
