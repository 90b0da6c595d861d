// SPDX-License-Identifier: GPL-3.0-or-later
// The MFT pass and the folder pass of CFastNtfsRecovery.
//
// The pass reads the MFT once, in chunks of 1024 records. Deleted file
// records become items; directory records (live or deleted) are remembered
// by FolderPlacement, so folder paths are settled after the pass without
// reading records again. Items wait in small batches so that the first data
// sectors their content check needs are read in ascending order. Only the
// folders on the way to a found file are read again, once each, in record
// order.
#include <algorithm>
#include <chrono>
#include <cstring>

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
// Items wait for their content check in batches of this many.
constexpr size_t kCheckBatch = 2048;
// First sectors no further apart than this are read with one request (a
// request costs more than a few KiB more to copy), up to kCoalesceBytes.
constexpr uint64_t kJoinGapBytes = 16384;
constexpr uint64_t kCoalesceBytes = 65536;

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
  // Room for the head of a record cut by the end of a run, then one chunk.
  std::vector<uint8_t> chunk(g.recordBytes + size_t{chunkSectors} * g.bytesPerSector);
  size_t carry = 0;                // bytes of a record begun in the previous run
  uint64_t carryStreamOffset = 0;  // where that record begins in the MFT stream
  uint64_t runStreamOffset = 0;    // where the current run begins in the MFT stream
  uint64_t sectorsDone = 0;
  Status status = kStatusOk;

  // Parses the whole records of bytes that begin at streamOffset of the MFT
  // stream, keeps the head of a record cut at the end for the next piece.
  auto parse = [&](size_t bytes, uint64_t streamOffset) {
    // A piece that does not begin at a record boundary lost the record's head.
    size_t skip = 0;
    if (streamOffset % g.recordBytes != 0) {
      skip = static_cast<size_t>(std::min<uint64_t>(bytes, g.recordBytes - streamOffset % g.recordBytes));
    }
    size_t at = skip;
    for (; at + g.recordBytes <= bytes; at += g.recordBytes) {
      ParseFirstPassRecord(chunk.data() + at, g.recordBytes, (streamOffset + at) / g.recordBytes);
    }
    carry = bytes - at;
    carryStreamOffset = streamOffset + at;
    if (carry != 0) std::memmove(chunk.data(), chunk.data() + at, carry);
  };

  for (const PlacedRun& run : runs) {
    const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
    uint64_t readableSectors = 0;
    if (!run.isSparse && run.isValid && run.startCluster < volumeClusters) {
      // A run cut by the end of the volume or image: its records past the end are missing.
      readableSectors = std::min<uint64_t>(runSectors, (volumeClusters - run.startCluster) * g.sectorsPerCluster);
    }
    if (carry != 0 && carryStreamOffset + carry != runStreamOffset) carry = 0;  // the record's tail is missing
    const uint64_t firstSector = g.volumeStartSector + run.startCluster * g.sectorsPerCluster;
    for (uint64_t at = 0; at < readableSectors && status == kStatusOk;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, readableSectors - at));
      const uint64_t streamOffset = runStreamOffset + at * g.bytesPerSector;
      if (carry != 0 && carryStreamOffset + carry != streamOffset) carry = 0;
      uint32_t got = 0;
      Status r = storage::ReadSectors(count, m_source, chunk.data() + carry, firstSector + at, g.bytesPerSector, &got);
      if (r == kStatusOk) {
        parse(carry + size_t{count} * g.bytesPerSector, carry != 0 ? carryStreamOffset : streamOffset);
      } else {
        // Read what can be read record by record: a bad sector costs its records only.
        if (m_readError == kStatusOk) m_readError = r;
        carry = 0;
        const uint64_t firstRecord = (streamOffset + g.recordBytes - 1) / g.recordBytes;
        const uint64_t endOffset = streamOffset + uint64_t{count} * g.bytesPerSector;
        for (uint64_t n = firstRecord; (n + 1) * g.recordBytes <= endOffset; ++n) {
          const uint64_t sector = firstSector + (n * g.recordBytes - runStreamOffset) / g.bytesPerSector;
          uint32_t one = 0;
          if (storage::ReadSectors(g.sectorsPerRecord, m_source, chunk.data(), sector, g.bytesPerSector, &one) ==
              kStatusOk) {
            ParseFirstPassRecord(chunk.data(), g.recordBytes, n);
          } else {
            ++m_unreadableRecords;
          }
        }
      }
      at += count;
      sectorsDone += count;
      status = ReportScanProgress(sectorsDone, sectorsTotal, startMs, &lastEstimateMs, &remainingSeconds);
    }
    if (status != kStatusOk) break;
    if (readableSectors < runSectors) {
      m_unreadableRecords += (runSectors - readableSectors) * g.bytesPerSector / g.recordBytes;
      sectorsDone += runSectors - readableSectors;
    }
    runStreamOffset += runSectors * g.bytesPerSector;  // the whole run counts, read or not
  }

  // What was found is filed with its folders also after a cancel.
  FlushPendingItems(status == kStatusOk);
  PlacePendingChildren();
  AddNeededFolders();
  if (status != kStatusOk) return status;
  if (m_scanFn != nullptr) {
    if (Status s = m_scanFn(m_userData, 100, m_weight, remainingSeconds, 0, 0, 0, 0); s != kStatusOk) return s;
  }
  return kStatusOk;
}

void CFastNtfsRecovery::ParseFirstPassRecord(uint8_t* record, size_t length, uint64_t recordNumber) {
  ByteView view(record, length);
  const uint16_t flags = view.U16(kRecFlags);
  const bool isDirectory = (flags & kRecordIsDirectory) != 0;
  if (!isDirectory && flags != 0) return;  // a file in use
  if (!HasFileSignature(view)) return;
  if (recordNumber <= kLastSystemRecord || recordNumber >= FolderPlacement::kLostIncarnation) return;
  // An extension record carries a part of another record's attributes.
  if (ReferenceRecord(view.U64(kRecBaseReference)) != 0) return;
  if (!ApplyUpdateSequence(record, length)) return;

  if (isDirectory) {
    AttributeWalker walker(view, RecordWalkEnd(view));
    AttributeRef attr;
    FileNameAttribute fn;
    while (walker.Next(&attr)) {
      if (attr.type == kAttrFileName && ParseFileName(attr, &fn)) {
        m_placement.AddDirectory(static_cast<uint32_t>(recordNumber), view.U16(kRecSequence),
                                 (flags & kRecordInUse) != 0, fn.parentRecord, fn.parentSequence);
        break;
      }
    }
    return;
  }

  PendingItem pending;
  ItemRecord& item = pending.item;
  bool haveName = false;
  bool haveSize = false;
  bool haveList = false;
  AttributeWalker walker(view, RecordWalkEnd(view));
  AttributeRef attr;
  while (walker.Next(&attr)) {
    if (attr.type == kAttrAttributeList) haveList = true;
    if (attr.type == kAttrFileName) {
      FileNameAttribute fn;
      if (!ParseFileName(attr, &fn)) continue;
      if (!haveName) {
        haveName = true;
        FillItem(fn, recordNumber, false, item);
        pending.parent = fn.parentRecord;
        pending.parentSequence = fn.parentSequence;
      } else if (fn.nameSpace == kNameSpaceWin32 && fn.parentRecord == pending.parent) {
        SetItemName(item, fn.name);  // a later Win32 name replaces a DOS name
      }
    } else if (attr.type == kAttrData && attr.IsUnnamed() && haveName && !haveSize) {
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
  if (!haveName) return;
  if (!haveSize && haveList) {
    std::vector<MftRun> runs;
    AttributeInfo info;
    if (FindAttributeRunsInRecord(m_volume, view, recordNumber, kAttrData, runs, &info) == kStatusOk &&
        info.realSize >= 0) {
      item.size = static_cast<uint64_t>(info.realSize);
    }
  }
  StartContentCheck(pending, view, recordNumber);
  m_pendingItems.push_back(std::move(pending));
  if (m_pendingItems.size() >= kCheckBatch) FlushPendingItems(true);
}

void CFastNtfsRecovery::FillItem(const FileNameAttribute& fn, uint64_t recordNumber, bool isFolder, ItemRecord& item) {
  const NtfsVolumeGeometry& g = m_volume.geometry;
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
}

// isIntact is 1 unless the data proves otherwise: an empty resident value,
// or a first sector that does not start as the extension promises. A
// non-resident file's first sector is read later, with the others of its batch.
void CFastNtfsRecovery::StartContentCheck(PendingItem& pending, ByteView record, uint64_t recordNumber) {
  const NtfsVolumeGeometry& g = m_volume.geometry;
  ItemRecord& item = pending.item;
  item.isIntact = 1;
  const std::string_view extension = ExtensionOf(item.Name());
  std::vector<uint8_t> value;
  const Status s = ResidentDataInRecord(g, record, value);
  if (s == kStatusOk) {
    if (value.empty()) {
      item.isIntact = 0;
    } else if (!extension.empty()) {
      item.isIntact = signatures::MatchesExtension(value.data(), value.size(), extension);
    }
    return;
  }
  if (s != kNoResidentData) return;
  std::vector<MftRun> runs;
  if (FindAttributeRunsInRecord(m_volume, record, recordNumber, kAttrData, runs) != kStatusOk || runs.empty()) return;
  const std::vector<PlacedRun> placed = PlaceRuns(runs);
  // A deleted file's clusters were freed: in use again, they hold another file now.
  if (!m_bitmap.Empty()) {
    for (const PlacedRun& run : placed) {
      if (run.isSparse) continue;
      if (!run.isValid || m_bitmap.AnyUsed(run.startCluster, run.clusterCount)) {
        pending.overwritten = run.isValid;
        break;
      }
    }
  }
  const PlacedRun& first = placed.front();
  if (first.isSparse || !first.isValid || first.startCluster >= g.ClusterCount()) return;
  item.dataStartSector = first.startCluster * g.sectorsPerCluster;
  if (!extension.empty()) pending.checkSector = g.volumeStartSector + item.dataStartSector;
}

void CFastNtfsRecovery::FlushPendingItems(bool check) {
  const NtfsVolumeGeometry& g = m_volume.geometry;
  if (check) {
    std::vector<size_t> order;
    for (size_t i = 0; i < m_pendingItems.size(); ++i) {
      if (m_pendingItems[i].checkSector != 0) order.push_back(i);
    }
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return m_pendingItems[a].checkSector < m_pendingItems[b].checkSector; });
    // Read each stretch of close first sectors with one request.
    const uint64_t spanSectors = std::max<uint64_t>(1, kCoalesceBytes / g.bytesPerSector);
    const uint64_t gapSectors = kJoinGapBytes / g.bytesPerSector;
    std::vector<uint8_t> span(static_cast<size_t>(spanSectors * g.bytesPerSector));
    for (size_t k = 0; k < order.size();) {
      const uint64_t from = m_pendingItems[order[k]].checkSector;
      size_t end = k + 1;
      while (end < order.size() && m_pendingItems[order[end]].checkSector < from + spanSectors &&
             m_pendingItems[order[end]].checkSector <= m_pendingItems[order[end - 1]].checkSector + gapSectors) {
        ++end;
      }
      const uint64_t last = m_pendingItems[order[end - 1]].checkSector;
      const auto count = static_cast<uint32_t>(last - from + 1);
      uint32_t got = 0;
      const Status r = storage::ReadSectors(count, m_source, span.data(), from, g.bytesPerSector, &got);
      for (size_t j = k; j < end; ++j) {
        PendingItem& p = m_pendingItems[order[j]];
        const uint64_t index = p.checkSector - from;
        if (r != kStatusOk && index >= got) continue;  // unreadable: not proven damaged
        const uint8_t* sector = span.data() + index * g.bytesPerSector;
        p.item.isIntact = signatures::MatchesExtension(sector, g.bytesPerSector, ExtensionOf(p.item.Name()));
      }
      k = end;
    }
  }
  store::ScanStore& st = *m_browser.Store();
  for (PendingItem& p : m_pendingItems) {
    if (p.overwritten) SetState(p.item, ItemState::kOverwritten);
    ItemRecord* slot = st.AppendRecord();
    if (slot == nullptr) {
      m_storeFull = true;
      break;
    }
    p.item.id = st.RecordCount();
    std::memcpy(static_cast<void*>(slot), &p.item, sizeof p.item);
    m_pendingChildren.push_back(PendingChild{p.item.id, p.parent, p.parentSequence});
  }
  m_pendingItems.clear();
}

void CFastNtfsRecovery::PlacePendingChildren() {
  store::ScanStore& st = *m_browser.Store();
  for (const PendingChild& child : m_pendingChildren) {
    const FolderPlacement::Key key = m_placement.PlaceChild(child.parent, child.parentSequence);
    st.AddChild(key.locator, key.depth, child.id, 0, nullptr);
  }
  m_pendingChildren.clear();
}

void CFastNtfsRecovery::AddNeededFolders() {
  // Read the folders in record order, so the reads move one way.
  std::vector<FolderPlacement::NeededFolder> folders = m_placement.Needed();
  std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
    return a.placeholder != b.placeholder ? b.placeholder : a.locator < b.locator;
  });
  std::vector<uint8_t> record;
  for (const FolderPlacement::NeededFolder& folder : folders) {
    ItemRecord item = ZeroRecord();
    bool named = false;
    if (!folder.placeholder && ReadFixedRecordByNumber(m_volume, folder.locator, record) == kStatusOk) {
      ByteView view(record.data(), record.size());
      AttributeWalker walker(view, RecordWalkEnd(view));
      AttributeRef attr;
      uint32_t parent = 0;
      while (walker.Next(&attr)) {
        FileNameAttribute fn;
        if (attr.type != kAttrFileName || !ParseFileName(attr, &fn)) continue;
        if (!named) {
          FillItem(fn, folder.locator, true, item);
          item.size = 0;
          parent = fn.parentRecord;
          named = true;
        } else if (fn.nameSpace == kNameSpaceWin32 && fn.parentRecord == parent) {
          SetItemName(item, fn.name);
        }
      }
    }
    if (!named) {
      // No record to name it (reused, unreadable, an old incarnation): a
      // placeholder in the same place keeps its children reachable.
      const uint32_t record = folder.locator & ~FolderPlacement::kLostIncarnation;
      item.driveLetter = m_driveLetter;
      item.sourceKind = static_cast<int32_t>(SourceKind::kFastNtfs);
      item.isFolder = 1;
      item.locator = static_cast<int32_t>(folder.locator);
      item.clusterBytes = -1;
      SetItemName(item, "LostFolder" + std::to_string(record));
    }
    FileFolder(item, folder.parent.locator, folder.parent.depth);
  }
}

void CFastNtfsRecovery::FileFolder(ItemRecord& item, uint32_t parent, uint32_t depth) {
  store::ScanStore& st = *m_browser.Store();
  ItemRecord* slot = st.AppendRecord();
  if (slot == nullptr) {
    m_storeFull = true;
    return;
  }
  item.id = st.RecordCount();
  std::memcpy(static_cast<void*>(slot), &item, sizeof item);
  st.AddChild(parent, depth, item.id, item.locator, item.name);
}

}  // namespace engine::ntfs
