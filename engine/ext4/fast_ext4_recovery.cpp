// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/fast_ext4_recovery.h"

#include <algorithm>
#include <chrono>

#include "engine/ext4/ext4_deleted_walk.h"
#include "engine/ext4/ext4_group_table.h"
#include "engine/hash64.h"

namespace engine::ext4 {
namespace {

constexpr int32_t kWalkPercentCeiling = 79;

}  // namespace

CFastExt4Recovery::CFastExt4Recovery() = default;
CFastExt4Recovery::~CFastExt4Recovery() = default;

Status CFastExt4Recovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), 512, 0, 0);
  return OpenVolume(driveLetter);
}

Status CFastExt4Recovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                        uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  return OpenVolume(driveLetter);
}

Status CFastExt4Recovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  return OpenVolume(driveLetter);
}

Status CFastExt4Recovery::OpenVolume(uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  if (Status s = m_volume.Open(); s != kStatusOk) {
    m_volume.Close();
    return s;
  }
  m_opened = true;
  return kStatusOk;
}

Status CFastExt4Recovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                               int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

std::string CFastExt4Recovery::StoreBaseName() {
  const store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CFastExt4Recovery::Scan(const char* previousName) {
  m_browser.SetRootKey(store::FolderKey(0, inode::kRootInode));
  store::ScanStore& st = m_browser.NewStore();
  m_unreadable = 0;
  m_encrypted = 0;
  if (previousName != nullptr && previousName[0] != '\0') {
    const Status opened = st.OpenStore(previousName);
    std::vector<uint64_t> counts;
    if (opened == kStatusOk && st.ReadCounts(store::ScanStore::kUnreadableName, 2, &counts)) {
      m_unreadable = counts[0];
      m_encrypted = counts[1];
    }
    return opened;
  }
  m_metadataRuns.clear();
  if (!m_opened) return kStatusInvalidParameter;
  const auto volumeStart = static_cast<int64_t>(m_volume.StartUnit());
  if (Status s = st.OpenFresh(store::MakeLogBaseName(store::kFastLogPrefix, volumeStart)); s != kStatusOk) return s;
  if (Status s = m_volume.LoadBitmaps(); s != kStatusOk) return s;
  return WalkVolume();
}

Status CFastExt4Recovery::WalkVolume() {
  Ext4DeletedWalk walk(m_volume, *m_browser.Store(), m_driveLetter, static_cast<int32_t>(SourceKind::kFastExt4));
  auto report = [&](int32_t percent, int32_t remainingSeconds) -> int32_t {
    if (m_scanFn == nullptr) return 0;
    return m_scanFn(m_userData, percent, m_weight, remainingSeconds, 0, 0, walk.FilesRecorded(), 0);
  };
  using Clock = std::chrono::steady_clock;
  auto lastReport = Clock::now();
  int32_t percent = 1;
  int32_t countdown = 100;
  Status status = report(percent, -1);
  if (status == kStatusOk) {
    status = walk.WalkAll([&]() -> int32_t {
      const auto now = Clock::now();
      if (std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReport).count() < m_reportIntervalMs) {
        return 0;
      }
      lastReport = now;
      percent = std::min(percent + 1, kWalkPercentCeiling);
      countdown = std::max(countdown - 1, 1);
      return report(percent, m_weight == 100 ? countdown : -1);
    });
  }
  if (status == kStatusOk) status = report(80, 10);
  // What was found stays reachable from the root also when the walk stopped.
  store::ScanStore& st = *m_browser.Store();
  const Status guessed = status == kStatusOk ? walk.GuessUnmapped([&]() { return report(80, 10); }) : kStatusOk;
  for (const auto& [id, data] : walk.Layouts()) st.SetLayout(id, data.Encode());
  const Status settled = walk.SettleSharedBlocks();
  m_volume.ReleaseJournalBytes();  // copy-out reads inline data from the volume, not from memory
  const Status folders = walk.AppendNeededFolders();
  m_unreadable = walk.UnreadableDirectories();
  m_encrypted = walk.EncryptedEntries();
  // Not kept only costs a run reusing this result its warnings.
  (void)st.KeepCounts(store::ScanStore::kUnreadableName, {m_unreadable, m_encrypted});
  const uint64_t bs = m_volume.Sb().blockBytes;
  for (const uint64_t block : walk.DeletedDirectoryBlocks()) m_metadataRuns.push_back(ByteRun{block * bs, bs});
  NormalizeByteRuns(m_metadataRuns);
  const Status flushed = st.FlushStore();
  if (status != kStatusOk) return status;
  if (guessed != kStatusOk) return guessed;
  if (settled != kStatusOk) return settled;
  if (folders != kStatusOk) return folders;
  if (flushed != kStatusOk) return flushed;
  return report(100, 0);
}

Status CFastExt4Recovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CFastExt4Recovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CFastExt4Recovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CFastExt4Recovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CFastExt4Recovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CFastExt4Recovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CFastExt4Recovery::BuildAllocationMap() {
  if (!m_opened) return kStatusInvalidParameter;
  return m_volume.LoadBitmaps();
}

void CFastExt4Recovery::LearnStaleTables() {
  if (m_staleLearnt) return;
  m_staleLearnt = true;
  m_staleTables.clear();
  const Superblock& sb = m_volume.Sb();
  // Only group checksums make a descriptor's count of never-used inodes and its flags trustworthy.
  if ((sb.roCompat & (feature::kRoCompatGdtCsum | feature::kRoCompatMetadataCsum)) == 0) return;
  const uint64_t bs = sb.blockBytes;
  const uint64_t tableBlocks = InodeTableBlocks(sb);
  for (const GroupDescriptor& gd : m_volume.Groups()) {
    if ((gd.flags & gd::kTableZeroed) != 0 || !gd.checksumHolds) continue;
    const uint32_t unused = (gd.flags & gd::kInodeUninit) != 0 ? sb.inodesPerGroup : gd.tableUnused;
    if (unused == 0 || unused > sb.inodesPerGroup) continue;
    const uint64_t usedBlocks = (uint64_t{sb.inodesPerGroup - unused} * sb.inodeBytes + bs - 1) / bs;
    if (usedBlocks < tableBlocks) m_staleTables.emplace_back(gd.inodeTable + usedBlocks, tableBlocks - usedBlocks);
  }
  std::sort(m_staleTables.begin(), m_staleTables.end());
}

int32_t CFastExt4Recovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr || !m_opened) return 0;
  const uint64_t unit = m_volume.UnitBytes();
  const uint64_t end = m_volume.Sectors().SectorCount();
  if (*inoutSector >= end) {
    *inoutSector = end;
    return 1;
  }
  if (!m_volume.BitmapsLoaded()) {
    *outSectorCount = end - *inoutSector;  // without a map everything may hold lost data
    return 1;
  }
  LearnStaleTables();
  const uint64_t bs = m_volume.Sb().blockBytes;
  const uint64_t fileSystemEnd = m_volume.Sb().blockCount * bs;
  const uint64_t startByte = *inoutSector * unit;
  uint64_t fromByte = startByte;
  uint64_t toByte = end * unit;  // past the file system's last block everything is free
  if (fromByte < fileSystemEnd) {
    uint64_t first = 0;
    uint64_t count = 0;
    m_volume.NextFreeRun(fromByte / bs, &first, &count);
    fromByte = std::max(fromByte, first * bs);
    if (first + count < m_volume.Sb().blockCount) toByte = std::min(toByte, (first + count) * bs);
    // A stale inode-table run that comes first (the bitmap counts it as used, so the two never overlap).
    const auto stale = std::upper_bound(m_staleTables.begin(), m_staleTables.end(), startByte / bs,
                                        [](uint64_t block, const auto& run) { return block < run.first + run.second; });
    if (stale != m_staleTables.end() && stale->first * bs < fromByte) {
      fromByte = std::max(startByte, stale->first * bs);
      toByte = (stale->first + stale->second) * bs;
    }
  }
  const uint64_t from = (fromByte + unit - 1) / unit;
  const uint64_t to = toByte / unit;
  if (from >= to) {
    *inoutSector = end;
    *outSectorCount = 0;
    return 1;
  }
  *inoutSector = from;
  *outSectorCount = to - from;
  return 1;
}

Status CFastExt4Recovery::VolumeFingerprint(uint64_t* out) {
  if (!m_opened) return kStatusInvalidParameter;
  if (Status s = m_volume.LoadBitmaps(); s != kStatusOk) return s;
  const Superblock& sb = m_volume.Sb();
  Hash64 hash;
  hash.Add(m_volume.StartUnit());
  hash.Add(sb.blockCount);
  hash.Add(sb.inodeCount);
  hash.Update(sb.uuid.data(), sb.uuid.size());
  // The bitmaps as read (every file created, deleted, grown or shrunk changes them).
  std::vector<uint8_t> block;
  for (const GroupDescriptor& d : m_volume.Groups()) {
    hash.Add(d.flags);
    if ((d.flags & gd::kBlockUninit) == 0) {
      if (Status s = m_volume.ReadCurrentBlock(d.blockBitmap, &block); s != kStatusOk) return s;
      hash.Update(block.data(), block.size());
    }
    if ((d.flags & gd::kInodeUninit) == 0) {
      if (Status s = m_volume.ReadCurrentBlock(d.inodeBitmap, &block); s != kStatusOk) return s;
      hash.Update(block.data(), block.size());
    }
  }
  *out = hash.Value();
  return kStatusOk;
}

bool CFastExt4Recovery::DataOf(const ItemRecord& item, ItemData* out) {
  const store::ScanStore* st = m_browser.Store();
  const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr;
  return extents != nullptr && ItemData::Decode(*extents, out);
}

int32_t CFastExt4Recovery::FragmentCount(const ItemRecord& item) {
  ItemData data;
  if (!DataOf(item, &data) || data.kind != ItemData::Kind::kRuns) return 1;
  return std::max<int32_t>(1, static_cast<int32_t>(data.runs.size()));
}

Status CFastExt4Recovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                       const CopyProgress& progress) {
  if (!m_opened) return kStatusInvalidParameter;
  ItemData data;
  if (!DataOf(item, &data)) {
    // An empty file needs no data; anything else was listed without it.
    return byteCount == 0 ? kStatusOk : kStatusInvalidParameter;
  }
  return CopyItemBytes(m_volume, data, static_cast<uint32_t>(item.locator), byteCount, sink, progress);
}

Status CFastExt4Recovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CFastExt4Recovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                      int32_t rootSeparatorCount) {
  if (!m_opened) return kStatusInvalidParameter;
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CFastExt4Recovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                      uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (!m_opened) return kStatusInvalidParameter;
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::ext4
