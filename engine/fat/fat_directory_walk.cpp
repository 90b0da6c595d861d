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
};

FatDirectoryWalk::FatDirectoryWalk(VolumeReader& reader, FatTable& fat, store::ScanStore& store, uint16_t driveLetter)
    : m_reader(reader),
      m_fat(fat),
      m_geometry(fat.Geometry()),
      m_store(store),
      m_driveLetter(driveLetter),
      m_rootKey(fat.Geometry().type == FatType::kFat32 ? fat.Geometry().rootCluster : 0) {}

Status FatDirectoryWalk::WalkAll(const AfterDirectory& afterEach) {
  m_queue.push_back(m_rootKey);
  while (!m_queue.empty()) {
    const uint32_t cluster = m_queue.front();
    m_queue.pop_front();
    if (m_walked.insert(cluster).second) {
      (void)WalkDirectory(cluster);  // an unreadable directory ends only itself
      if (m_storeFull) return kStatusOutOfMemory;
    }
    if (afterEach) {
      if (int32_t r = afterEach(); r != 0) return r;
    }
  }
  return kStatusOk;
}

uint32_t FatDirectoryWalk::DirectoryDepth(uint32_t cluster) const {
  uint32_t depth = 0;
  uint32_t current = cluster;
  // Parent links only point to directories walked earlier, so this ends; the
  // bound guards against a map that does not hold that promise.
  while (current != m_rootKey && depth <= m_folders.size()) {
    auto it = m_folders.find(current);
    if (it == m_folders.end()) break;
    ++depth;
    current = static_cast<uint32_t>(it->second.id);
  }
  return depth;
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

  ClusterChain chain(m_fat, cluster);
  uint32_t current = cluster;
  bool firstUnit = true;
  bool reachedByFreedLink = false;
  uint64_t bytesWalked = 0;
  const uint64_t volumeStartSector = m_reader.VolumeStartByte() / m_geometry.bytesPerSector;
  for (;;) {
    if (Status s = m_reader.Read(unitSector * m_geometry.bytesPerSector, m_unit.data(), unitBytes); s != kStatusOk) {
      return s;
    }
    ByteView unit(m_unit.data(), unitBytes);
    if (firstUnit && foundSubfolder && !BeginsWithDotPair(unit)) return kStatusOk;
    // A cluster reached only because its predecessor's entry is free is
    // taken for this directory's continuation only when it reads as one.
    if (reachedByFreedLink && !IsDirectorySector(m_unit.data(), unitBytes)) return kStatusOk;
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
    if (Status s = chain.Advance(&next, &viaFreed); s != kStatusOk) return s;
    if (next == 0 || next == current) return kStatusOk;
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
  if ((attribute & (kDirectory | kArchive)) != 0) {
    name = longNameFits ? dir.longName.ToUtf8() : std::string();
    if (name.empty()) name = ShortEntryName(e);
  }
  dir.longName.Clear();
  if ((attribute & kDirectory) != 0) {
    if (IsDotEntry(e) || IsDotDotEntry(e)) return EntryResult::kContinue;
    RecordFolderEntry(dir, e, std::move(name), entrySector);
  } else if ((attribute & kArchive) != 0) {
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
    start = SearchHighWord(view.U16(kClusterLow), true, {});
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
  if (m_geometry.type == FatType::kFat32 && deleted && view.U16(kClusterHigh) == 0 && start != 0 &&
      !extension.empty()) {
    start = SearchHighWord(view.U16(kClusterLow), false, extension);
  }
  ItemRecord r = BaseRecord(e, name, start, entrySector);
  r.isFolder = 0;
  r.isDeleted = 1;
  r.size = view.U32(kSize);
  r.isIntact = ContentIntact(name, start);
  int32_t id = 0;
  if (!AppendToStore(r, &id)) return;
  m_store.AddChild(dir.cluster, dir.depth, id, r.locator, nullptr);
  ++m_filesRecorded;
  MarkNeeded(dir.cluster);
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

uint32_t FatDirectoryWalk::SearchHighWord(uint16_t lowWord, bool folder, std::string_view extension) {
  const uint64_t volumeStartSector = m_reader.VolumeStartByte() / m_geometry.bytesPerSector;
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
      matches = signatures::MatchesExtension(m_sector.data(), m_sector.size(), extension, &m_reader.Source(),
                                             m_geometry.bytesPerSector,
                                             volumeStartSector + m_geometry.ClusterSector(candidate)) == 1;
    }
    if (!matches) continue;
    // The clusters of a deleted entry are free; an allocated one holds
    // another file. Asked only on a match, so the FAT window rarely moves.
    uint32_t entry = 0;
    if (m_fat.Entry(candidate, &entry) != kStatusOk) break;
    if (entry == 0) return candidate;
  }
  return lowWord;
}

int32_t FatDirectoryWalk::ContentIntact(std::string_view name, uint32_t cluster) {
  const std::string_view extension = ExtensionOf(name);
  if (extension.empty()) return 1;
  if (ReadClusterSector(cluster, m_sector) != kStatusOk) return 1;
  const uint64_t volumeStartSector = m_reader.VolumeStartByte() / m_geometry.bytesPerSector;
  return signatures::MatchesExtension(m_sector.data(), m_sector.size(), extension, &m_reader.Source(),
                                      m_geometry.bytesPerSector,
                                      volumeStartSector + m_geometry.ClusterSector(cluster)) == 0
             ? 0
             : 1;
}

}  // namespace engine::fat
