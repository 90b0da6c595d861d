// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/file_type_recovery.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <cstring>
#include <utility>

#include "engine/categories.h"
#include "engine/signatures/carve_sector.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/structure_check.h"
#include "engine/store/scan_store.h"
#include "platform/file_time.h"

namespace engine::deep {
namespace {

// Copy-out and extraction move data in pieces of this size.
constexpr size_t kCopyPieceBytes = 65536;

// The unit of a source's sector numbers: the disk's logical sector size, 512
// for image files.
uint32_t DiskUnit(const storage::SectorSource& source) {
  return source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery() : m_copyBuffer(kCopyPieceBytes) {}
CFileTypeRecovery::~CFileTypeRecovery() = default;

Status CFileTypeRecovery::ReplaceStore(int64_t volumeStart, const std::string* logName) {
  store::ScanStore& st = m_browser.NewStore();
  if (logName != nullptr) return logName->empty() ? kStatusInvalidParameter : st.OpenStore(*logName);
  return st.OpenFresh(store::MakeLogBaseName(store::kFileTypeLogPrefix, volumeStart));
}

Status CFileTypeRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  const Status store = ReplaceStore(0, nullptr);
  storage::SectorSource source;
  m_volume.Close();
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_sectorSize = 512;
  m_volume.Own(std::move(source), m_sectorSize, 0, 0);
  return store;
}

Status CFileTypeRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                        uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  const Status store = ReplaceStore(static_cast<int64_t>(startSector), nullptr);
  storage::SectorSource source;
  m_volume.Close();
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  m_sectorSize = DiskUnit(source);
  m_volume.Own(std::move(source), m_sectorSize, startSector, sectorCount);
  return store;
}

Status CFileTypeRecovery::OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                           uint64_t sectorCount, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  m_volume.Borrow(source, m_sectorSize, startSector, sectorCount);
  return ReplaceStore(static_cast<int64_t>(startSector), nullptr);
}

Status CFileTypeRecovery::OpenSharedLog(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t driveLetter, const std::string& logName) {
  m_driveLetter = driveLetter;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  m_volume.Borrow(source, m_sectorSize, startSector, sectorCount);
  return ReplaceStore(static_cast<int64_t>(startSector), &logName);
}

Status CFileTypeRecovery::ReopenPartitionLog(uint32_t sectorSize, int32_t diskNumber, uint64_t startSector,
                                             uint64_t sectorCount, const std::string& logName, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  const Status store = ReplaceStore(0, &logName);
  storage::SectorSource source;
  m_volume.Close();
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  m_volume.Own(std::move(source), m_sectorSize, startSector, sectorCount);
  return store;
}

Status CFileTypeRecovery::ReopenImageLog(uint32_t sectorSize, const std::string& logName, uint16_t driveLetter,
                                         const std::string& imagePath) {
  m_driveLetter = driveLetter;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  const Status store = ReplaceStore(0, &logName);
  storage::SectorSource source;
  m_volume.Close();
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), m_sectorSize, 0, 0);
  return store;
}

Status CFileTypeRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                               int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  m_context.SetProgressCallback(scanFn, userData, weight);
  return kStatusOk;
}

Status CFileTypeRecovery::Scan(const char*) {
  return kStatusOk;
}

Status CFileTypeRecovery::CarveAndRecord(uint32_t sectorSize, const uint8_t* sector, size_t length,
                                         uint64_t absoluteSector, const signatures::CarveScanPosition& position,
                                         storage::SectorSource* reader, uint64_t* skipSectors,
                                         uint64_t* inoutFilesFound) {
  if (sector == nullptr || skipSectors == nullptr || inoutFilesFound == nullptr) return kStatusInvalidParameter;
  m_sectorSize = sectorSize;
  storage::SectorSource* source = reader != nullptr ? reader : m_volume.Source();
  // Read-ahead never passes the end of this engine's volume.
  m_context.Attach(source, sectorSize, m_volume.IsOpen() ? m_volume.EndSector() : 0);
  // Filled whole by a carve; kept between calls, as most sectors carve nothing.
  signatures::CarvedFile& file = m_carved;
  if (Status s = signatures::CarveSector(m_context, sector, length, absoluteSector, position, &file); s != kStatusOk) {
    // A cancel during read-ahead records nothing for the file being measured.
    return s;
  }
  store::ScanStore* st = m_browser.Store();
  ItemRecord* slot = st != nullptr ? st->AppendRecord() : nullptr;
  if (slot == nullptr) return kStatusOutOfMemory;
  ItemRecord r = ZeroRecord();
  r.driveLetter = m_driveLetter;
  r.sourceKind = static_cast<int32_t>(SourceKind::kSignature);
  r.isIntact = 1;
  r.id = st->RecordCount();
  r.clusterBytes = -1;
  r.size = file.size;
  r.entrySector = absoluteSector;
  // Named and dated by its own metadata when it has some (the sector stays in entrySector).
  const bool named = file.metadataName[0] != '\0';
  const auto& name = named ? file.metadataName : file.name;
  SetItemName(r, std::string_view(name.data(), strnlen(name.data(), name.size())));
  if (file.hasTime) {
    const uint64_t time = platform::UnixToFileTime(file.unixSeconds, 0);
    r.created = time;
    r.modified = time;
  }
  if (file.damaged) SetState(r, ItemState::kDamaged);
  std::memcpy(static_cast<void*>(slot), &r, sizeof r);
  st->AddChild(0, 0, r.id, 0, nullptr);
  *skipSectors = signatures::SectorsToSkipAfterCarve(file.code, file.size, sectorSize);
  *inoutFilesFound += 1;
  return kStatusOk;
}

Status CFileTypeRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  if (folder != nullptr) return kStatusOk;  // no folders: nothing below any item
  return m_browser.ListChildren(nullptr, depth, out);
}

Status CFileTypeRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  if (outCount == nullptr) return kStatusInvalidParameter;
  if (folder != nullptr) {
    *outCount = 0;
    return kStatusOk;
  }
  return m_browser.CountFiles(nullptr, depth, outCount);
}

uint64_t CFileTypeRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CFileTypeRecovery::GetItemPath(const ItemRecord*, std::string&) {
  return kStatusOk;
}

int32_t CFileTypeRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CFileTypeRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  (void)m_browser.SetSearchCallback(fn, userData);  // always 0
  return m_browser.Store() == nullptr ? kStatusInvalidParameter : kStatusOk;
}

int32_t CFileTypeRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CFileTypeRecovery::BuildAllocationMap() {
  return kStatusOk;
}

std::string CFileTypeRecovery::StoreBaseName() {
  store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CFileTypeRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                       const CopyProgress& progress) {
  if (!m_volume.IsOpen()) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  const uint32_t sectorSize = m_volume.SectorSize();
  const uint64_t first = item.entrySector;  // a copy: the record's fields are not aligned
  const uint64_t sectors = byteCount / sectorSize + (byteCount % sectorSize != 0 ? 1 : 0);
  // A record whose data would run past the volume (a store of another
  // volume, a damaged record) gives nothing rather than a neighbour's bytes.
  uint64_t done = 0;
  return CopyVolumeSectors(m_volume, first, sectors, m_copyBuffer, sink, byteCount, &done, progress);
}

Status CFileTypeRecovery::ListFolder(const ItemRecord&, int32_t, std::vector<ItemRecord>&) {
  return kStatusOk;
}

Status CFileTypeRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                      int32_t rootSeparatorCount) {
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CFileTypeRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                      uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

bool CFileTypeRecovery::StoredFilesFit() {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen() || !m_volume.IsOpen()) return true;
  const uint64_t unit = m_volume.SectorSize();
  int64_t expected = 0;
  bool fit = true;
  const Status visited = st->VisitRecords([&](const ItemRecord& item) {
    const uint64_t size = item.size;  // copies: the record's fields are not aligned
    const uint64_t first = item.entrySector;
    const int64_t id = item.id;
    const uint64_t sectors = size / unit + (size % unit != 0 ? 1 : 0);
    fit = id == ++expected && item.isFolder == 0 && item.sourceKind == static_cast<int32_t>(SourceKind::kSignature) &&
          m_volume.Contains(first, std::max<uint64_t>(sectors, 1));
    return fit;
  });
  return visited == kStatusOk && fit;
}

Status CFileTypeRecovery::JudgeCarvedFiles(const LiveAllocation* live, const std::function<bool(int32_t)>& skip) {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen() || !m_volume.IsOpen()) return kStatusOk;
  struct Candidate {
    int32_t id;
    std::vector<ByteRun> runs;
    uint64_t size;
    std::string extension;
    ItemState state = ItemState::kIntact;
  };
  const uint64_t unit = m_volume.SectorSize();
  std::vector<Candidate> candidates;
  // Records lie in the order their files were found, which is the order of their sectors.
  const Status visited = st->VisitRecords([&](const ItemRecord& item) {
    const uint64_t size = item.size;  // copies: the record's fields are not aligned
    const uint64_t first = item.entrySector;
    if (item.isFolder != 0 || !IsIntact(item) || size == 0 || (skip && skip(item.id))) return true;
    Candidate c{item.id, {ByteRun{first * unit, (size + unit - 1) / unit * unit}}, size,
                std::string(ExtensionOf(item.Name()))};
    if (live != nullptr && live->HoldsAny(c.runs)) {
      c.state = ItemState::kOverwritten;
    } else if (signatures::StructureCheckLimit(c.extension) == 0) {
      return true;  // a kind without a structure check: nothing to judge
    }
    candidates.push_back(std::move(c));
    return true;
  });
  if (visited != kStatusOk) return visited;
  // Decoding is the work: every core takes files in turn; reads of the one
  // source are taken one at a time.
  std::mutex readLock;
  const signatures::ByteReader read = [&](uint64_t at, void* out, size_t n) {
    std::lock_guard<std::mutex> hold(readLock);
    return m_volume.ReadBytes(at, out, n);
  };
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k = next++; k < candidates.size(); k = next++) {
      Candidate& c = candidates[k];
      if (c.state != ItemState::kIntact) continue;
      if (signatures::CheckLaidOutStructure(read, c.runs, c.size, static_cast<uint32_t>(unit), c.extension) ==
          signatures::StructureVerdict::kBroken) {
        c.state = ItemState::kDamaged;
      }
    }
  };
  const unsigned helpers = std::min<unsigned>(std::max(1u, std::thread::hardware_concurrency()), 8) - 1;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < helpers && t + 1 < candidates.size(); ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  for (const Candidate& c : candidates) {
    if (c.state == ItemState::kIntact) continue;
    ItemRecord record;
    if (Status s = st->ReadRecord(c.id, &record); s != kStatusOk) return s;
    SetState(record, c.state);
    if (Status s = st->UpdateRecord(record); s != kStatusOk) return s;
  }
  return st->FlushStore();
}

}  // namespace engine::deep
