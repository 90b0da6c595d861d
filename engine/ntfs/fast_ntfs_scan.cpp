// SPDX-License-Identifier: GPL-3.0-or-later
// The MFT pass and the folder pass of CFastNtfsRecovery.
#include <chrono>
#include <cstring>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/ntfs/attributes.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/file_name_attribute.h"
#include "engine/ntfs/mft_record.h"
#include "engine/signatures/signature_check.h"

namespace engine::ntfs {
namespace {

constexpr uint32_t kChunkRecords = 1024;
constexpr int64_t kEstimateEveryMs = 5000;
// Deepest folder chain followed by the parent walk.
constexpr uint32_t kMaxParentDepth = 4096;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Status CFastNtfsRecovery::ReportScanProgress(uint64_t sectorsDone, uint64_t sectorsTotal, int64_t startMs,
                                             int64_t* lastEstimateMs, int32_t* remainingSeconds) {
  const int64_t now = NowMs();
  if (m_weight == 100 && now - *lastEstimateMs >= kEstimateEveryMs) {
    *lastEstimateMs = now;
    const uint64_t seconds = std::max<int64_t>(1, (now - startMs) / 1000);
    const uint64_t speed = sectorsDone * m_volume.geometry.bytesPerSector / seconds;
    if (speed != 0) {
      const uint64_t left = (sectorsTotal - std::min(sectorsDone, sectorsTotal)) * m_volume.geometry.bytesPerSector;
      *remainingSeconds = static_cast<int32_t>(std::min<uint64_t>(left / speed, INT32_MAX));
    }
  }
  if (m_scanFn == nullptr) return kStatusOk;
  const auto percent = static_cast<int32_t>(sectorsTotal == 0 ? 100 : sectorsDone * 100 / sectorsTotal);
  return m_scanFn(m_userData, percent, m_weight, *remainingSeconds, 0, 0, 0, 0);
}

Status CFastNtfsRecovery::RunMftPass() {
  const NtfsVolumeGeometry& g = m_volume.geometry;
  const std::vector<PlacedRun> runs = PlaceRuns(m_volume.mftRuns);
  const uint64_t volumeClusters = g.ClusterCount();
  uint64_t sectorsTotal = 0;
  for (const PlacedRun& run : runs) sectorsTotal += run.clusterCount * g.sectorsPerCluster;

  const int64_t startMs = NowMs();
  int64_t lastEstimateMs = startMs;
  int32_t remainingSeconds = -1;
  const uint32_t chunkSectors = g.recordBytes * kChunkRecords / g.bytesPerSector;
  // Room for a record cut by the end of a run, followed by one chunk.
  std::vector<uint8_t> chunk(g.recordBytes + size_t{chunkSectors} * g.bytesPerSector);
  size_t carry = 0;
  uint64_t recordNumber = 0;
  uint64_t sectorsDone = 0;

  for (const PlacedRun& run : runs) {
    uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
    const bool readable = !run.isSparse && run.isValid && run.startCluster < volumeClusters;
    if (readable)
      runSectors = std::min<uint64_t>(runSectors, (volumeClusters - run.startCluster) * g.sectorsPerCluster);
    if (!readable) {
      // Records mapped by a run that cannot be read are skipped by number.
      const uint64_t bytes = carry + run.clusterCount * uint64_t{g.clusterBytes};
      recordNumber += bytes / g.recordBytes;
      carry = 0;
      sectorsDone += runSectors;
      continue;
    }
    const uint64_t firstSector = g.volumeStartSector + run.startCluster * g.sectorsPerCluster;
    for (uint64_t at = 0; at < runSectors;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, runSectors - at));
      uint32_t got = 0;
      Status s = storage::ReadSectors(count, m_source, chunk.data() + carry, firstSector + at, g.bytesPerSector, &got);
      if (s != kStatusOk) return s;
      const size_t bytes = carry + size_t{got} * g.bytesPerSector;
      const size_t whole = bytes / g.recordBytes;
      for (size_t i = 0; i < whole; ++i) {
        ParseFirstPassRecord(chunk.data() + i * g.recordBytes, g.recordBytes, recordNumber + i);
      }
      recordNumber += whole;
      carry = bytes - whole * g.recordBytes;
      if (carry != 0) std::memmove(chunk.data(), chunk.data() + whole * g.recordBytes, carry);
      at += got;
      sectorsDone += got;
      if (Status p = ReportScanProgress(sectorsDone, sectorsTotal, startMs, &lastEstimateMs, &remainingSeconds);
          p != kStatusOk) {
        return p;
      }
    }
  }

  // Folder pass: the list grows while it is walked only by folders not met before.
  for (size_t i = 0; i < m_folderList.size(); ++i) ParseFolderRecord(m_folderList[i]);

  if (m_scanFn == nullptr) return kStatusOk;
  return m_scanFn(m_userData, 100, m_weight, remainingSeconds, 0, 0, 0, 0);
}

void CFastNtfsRecovery::ParseFirstPassRecord(uint8_t* record, size_t length, uint64_t recordNumber) {
  ByteView view(record, length);
  // In use or a directory (live or deleted): not a deleted file.
  if (view.U16(kRecFlags) != 0 || !HasFileSignature(view)) return;
  if (recordNumber <= kLastSystemRecord || recordNumber > UINT32_MAX) return;
  // An extension record carries a part of another record's attributes.
  if (ReferenceRecord(view.U64(kRecBaseReference)) != 0) return;
  if (!ApplyUpdateSequence(record, length)) return;

  NamedItem named;
  ItemRecord& item = named.item;
  bool haveSize = false;
  bool haveList = false;
  AttributeWalker walker(view, RecordWalkEnd(view));
  AttributeRef attr;
  while (walker.Next(&attr)) {
    if (attr.type == kAttrAttributeList) haveList = true;
    if (attr.type == kAttrFileName) {
      FileNameAttribute fn;
      if (ParseFileName(attr, &fn)) TakeFileName(fn, recordNumber, false, named);
    } else if (attr.type == kAttrData && attr.IsUnnamed() && named.haveItem && !haveSize) {
      if (attr.IsResident()) {
        ResidentValue value = ResidentValueOf(attr);
        if (value.valid) {
          item.size = value.bytes.size();
          haveSize = true;
        }
      } else if (attr.LowestVcn() == 0 && attr.bytes.Has(kNonResRealSize, 8)) {
        const auto realSize = static_cast<int64_t>(attr.bytes.U64(kNonResRealSize));
        if (realSize >= 0) {
          item.size = static_cast<uint64_t>(realSize);
          haveSize = true;
        }
      }
    }
  }
  if (!named.haveItem) return;
  if (!haveSize && haveList) {
    std::vector<MftRun> runs;
    AttributeInfo info;
    if (FindAttributeRunsInRecord(m_volume, view, recordNumber, kAttrData, runs, &info) == kStatusOk &&
        info.realSize >= 0) {
      item.size = static_cast<uint64_t>(info.realSize);
    }
  }
  item.isIntact = ContentCheck(item, view, recordNumber);
  FileItem(item, named.parent, named.depth, false);
}

void CFastNtfsRecovery::ParseFolderRecord(uint64_t recordNumber) {
  std::vector<uint8_t> record;
  if (ReadMftRecordByNumber(m_volume, recordNumber, record) != kStatusOk) return;
  ByteView view(record.data(), record.size());
  const bool isDirectory = (view.U16(kRecFlags) & kRecordIsDirectory) != 0;
  if (!HasFileSignature(view) || !ApplyUpdateSequence(record.data(), record.size()) || !isDirectory ||
      m_reusedFolders.count(static_cast<uint32_t>(recordNumber)) != 0) {
    if (recordNumber > kLastSystemRecord) AddLostFolder(recordNumber);
    return;
  }
  if (recordNumber <= kLastSystemRecord) return;

  NamedItem named;
  AttributeWalker walker(view, RecordWalkEnd(view));
  AttributeRef attr;
  while (walker.Next(&attr)) {
    FileNameAttribute fn;
    if (attr.type == kAttrFileName && ParseFileName(attr, &fn)) TakeFileName(fn, recordNumber, true, named);
  }
  if (!named.haveItem) {
    // A directory record without a readable name still holds children: keep them reachable.
    AddLostFolder(recordNumber);
    return;
  }
  FileItem(named.item, named.parent, named.depth, true);
}

void CFastNtfsRecovery::TakeFileName(const FileNameAttribute& fn, uint64_t recordNumber, bool isFolder,
                                     NamedItem& named) {
  ItemRecord& item = named.item;
  if (named.haveItem) {
    if (fn.nameSpace == kNameSpaceWin32 && fn.parentRecord == named.parent) SetItemName(item, fn.name);
    return;
  }
  const NtfsVolumeGeometry& g = m_volume.geometry;
  named.haveItem = true;
  item.driveLetter = m_driveLetter;
  item.sourceKind = static_cast<int32_t>(SourceKind::kFastNtfs);
  item.isFolder = isFolder ? 1 : 0;
  item.locator = static_cast<int32_t>(recordNumber);
  item.clusterBytes = static_cast<int32_t>(g.clusterBytes);
  item.created = fn.created;
  item.modified = fn.modified;
  item.accessed = fn.accessed;
  item.size = fn.realSize > 0 ? static_cast<uint64_t>(fn.realSize) : 0;
  item.entrySector = MftRecordToSector(g, m_volume.mftRuns, recordNumber);
  item.volumeStartSector = g.volumeStartSector;
  SetItemName(item, fn.name);
  named.parent = fn.parentRecord;
  named.depth = WalkParents(named.parent, fn.parentSequence);
}

uint32_t CFastNtfsRecovery::WalkParents(uint32_t parent, uint16_t parentSequence) {
  std::unordered_set<uint32_t> visited;
  uint32_t depth = 0;
  uint32_t p = parent;
  uint16_t sequence = parentSequence;
  while (p != kRootRecord && depth < kMaxParentDepth) {
    visited.insert(p);
    if (m_folderSet.insert(p).second) m_folderList.push_back(p);
    ++depth;
    if (ReadFixedRecordByNumber(m_volume, p, m_walkRecord) != kStatusOk) break;
    ByteView view(m_walkRecord.data(), m_walkRecord.size());
    if ((view.U16(kRecFlags) & kRecordIsDirectory) == 0) break;
    if (!IsSameIncarnation(view, sequence)) {
      // The folder's record now holds another folder: the child's folder is lost.
      m_reusedFolders.insert(p);
      break;
    }
    AttributeWalker walker(view, RecordWalkEnd(view));
    AttributeRef attr;
    FileNameAttribute fn;
    bool found = false;
    while (!found && walker.Next(&attr)) {
      found = attr.type == kAttrFileName && ParseFileName(attr, &fn);
    }
    if (!found || visited.count(fn.parentRecord) != 0) break;
    p = fn.parentRecord;
    sequence = fn.parentSequence;
  }
  return depth;
}

void CFastNtfsRecovery::AddLostFolder(uint64_t recordNumber) {
  ItemRecord item = ZeroRecord();
  item.driveLetter = m_driveLetter;
  item.sourceKind = static_cast<int32_t>(SourceKind::kFastNtfs);
  item.isFolder = 1;
  item.locator = static_cast<int32_t>(recordNumber);
  item.clusterBytes = -1;
  SetItemName(item, "LostFolder" + std::to_string(recordNumber));
  FileItem(item, kRootRecord, 0, true);
}

void CFastNtfsRecovery::FileItem(ItemRecord& item, uint32_t parent, uint32_t depth, bool isFolder) {
  ItemRecord* slot = m_browser.Store()->AppendRecord();
  if (slot == nullptr) return;
  item.id = m_browser.Store()->RecordCount();
  std::memcpy(slot, &item, sizeof item);
  m_browser.Store()->AddChild(parent, depth, item.id, item.locator, isFolder ? item.name : nullptr);
}

int32_t CFastNtfsRecovery::ContentCheck(const ItemRecord& item, ByteView record, uint64_t recordNumber) {
  const NtfsVolumeGeometry& g = m_volume.geometry;
  const std::string_view extension = ExtensionOf(item.Name());
  std::vector<uint8_t> value;
  Status s = ResidentDataInRecord(g, record, value);
  if (s == kStatusOk) {
    if (value.empty()) return 0;
    if (extension.empty()) return 1;
    const size_t length = value.size();
    value.resize(std::max<size_t>(length, g.bytesPerSector), 0);  // recognisers may look at a whole sector
    return signatures::MatchesExtension(value.data(), length, extension, &m_source, g.bytesPerSector, item.entrySector);
  }
  if (s != kNoResidentData || extension.empty()) return 1;
  std::vector<MftRun> runs;
  if (FindAttributeRunsInRecord(m_volume, record, recordNumber, kAttrData, runs) != kStatusOk || runs.empty()) {
    return 1;
  }
  const PlacedRun first = PlaceRuns(runs).front();
  if (first.isSparse || !first.isValid || first.startCluster >= g.ClusterCount()) return 1;
  const uint64_t sector = g.volumeStartSector + first.startCluster * g.sectorsPerCluster;
  if (sector == 0) return 1;
  std::vector<uint8_t> data(g.bytesPerSector);
  uint32_t got = 0;
  if (storage::ReadSectors(1, m_source, data.data(), sector, g.bytesPerSector, &got) != kStatusOk) return 1;
  return signatures::MatchesExtension(data.data(), data.size(), extension, &m_source, g.bytesPerSector, sector);
}

}  // namespace engine::ntfs
