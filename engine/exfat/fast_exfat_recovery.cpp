// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/fast_exfat_recovery.h"

#include <algorithm>
#include <chrono>

#include "engine/exfat/exfat_data_copy.h"
#include "engine/exfat/exfat_directory_walk.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/exfat_root_tables.h"
#include "engine/hash64.h"

namespace engine::exfat {
namespace {

// Percent values of the scan report while the walk runs stay below the 80
// reported when it ends.
constexpr int32_t kWalkPercentCeiling = 79;

}  // namespace

CFastExFatRecovery::CFastExFatRecovery() = default;
CFastExFatRecovery::~CFastExFatRecovery() = default;

Status CFastExFatRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), 512, 0, 0);
  return OpenVolume(driveLetter);
}

Status CFastExFatRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                         uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  return OpenVolume(driveLetter);
}

Status CFastExFatRecovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                      uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  m_volume.Own(std::move(source), 512, startSector, sectorCount);
  return OpenVolume(driveLetter);
}

Status CFastExFatRecovery::OpenVolume(uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  Status s = ReadExFatGeometry(m_volume, &m_geometry);
  if (s == kStatusOk) s = m_fat.Load(m_volume, m_geometry);
  if (s != kStatusOk) {
    m_volume.Close();
    m_fat = ExFatTable();
    return s;
  }
  LoadRootTables(m_volume, m_geometry, m_fat, &m_bitmap, &m_upcase);
  m_opened = true;
  return kStatusOk;
}

Status CFastExFatRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

std::string CFastExFatRecovery::StoreBaseName() {
  const store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CFastExFatRecovery::Scan(const char* previousName) {
  m_browser.SetRootKey(m_opened ? store::FolderKey(0, m_geometry.rootCluster) : 0);
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') {
    const Status opened = st.OpenStore(previousName);
    std::vector<uint64_t> counts;
    m_unreadableDirectories = opened == kStatusOk && st.ReadCounts(store::ScanStore::kUnreadableName, 1, &counts)
                                  ? counts[0]
                                  : 0;
    return opened;
  }
  m_directoryRuns.clear();
  if (!HasVolume()) return kStatusInvalidParameter;
  const auto volumeStart = static_cast<int64_t>(m_volume.StartUnit());
  if (Status s = st.OpenFresh(store::MakeLogBaseName(store::kFastLogPrefix, volumeStart)); s != kStatusOk) return s;
  return WalkVolume();
}

Status CFastExFatRecovery::WalkVolume() {
  ExFatDirectoryWalk walk(m_volume, m_geometry, m_fat, m_bitmap, m_upcase, *m_browser.Store(), m_driveLetter);
  m_unreadableDirectories = 0;
  auto report = [&](int32_t percent, int32_t remainingSeconds) -> int32_t {
    if (m_scanFn == nullptr) return 0;
    return m_scanFn(m_userData, percent, m_weight, remainingSeconds, 0, 0, walk.FilesRecorded(), 0);
  };
  using Clock = std::chrono::steady_clock;
  auto lastReport = Clock::now();
  int32_t percent = 1;
  int32_t countdown = 100;
  int32_t slowPercent = 20;
  Status status = report(percent, -1);
  if (status == kStatusOk) {
    status = walk.WalkAll([&]() -> int32_t {
      const auto now = Clock::now();
      if (std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReport).count() < m_reportIntervalMs) {
        return 0;
      }
      lastReport = now;
      if (m_weight == 100) {
        percent = std::min(percent + 1, kWalkPercentCeiling);
        countdown = std::max(countdown - 1, 1);
        return report(percent, countdown);
      }
      slowPercent = std::min(slowPercent + 1, kWalkPercentCeiling);
      return report(slowPercent, -1);
    });
  }
  if (status == kStatusOk) status = report(80, 10);
  // What was found stays reachable from the root also when the walk was
  // stopped; deleted files are laid out once every claim is known.
  const Status laidOut = ApplyLayouts(walk.Claims(), walk.DirectoryClusters(), walk.KnownLayouts());
  m_unreadableDirectories = walk.UnreadableDirectories();
  // Not kept only costs a run reusing this result the warning.
  (void)m_browser.Store()->KeepCounts(store::ScanStore::kUnreadableName, {m_unreadableDirectories});
  m_directoryRuns.clear();
  m_directoryRuns.reserve(walk.DirectoryClusters().size());
  for (const uint32_t cluster : walk.DirectoryClusters()) {
    m_directoryRuns.push_back(ByteRun{m_geometry.ClusterOffset(cluster), m_geometry.ClusterBytes()});
  }
  NormalizeByteRuns(m_directoryRuns);
  const Status folders = walk.AppendNeededFolders();
  const Status flushed = m_browser.Store()->FlushStore();
  if (status == kStatusOk) status = laidOut;
  if (status != kStatusOk) return status;
  if (folders != kStatusOk) return folders;
  if (flushed != kStatusOk) return flushed;
  return report(100, 0);
}

Status CFastExFatRecovery::ApplyLayouts(const std::vector<cluster::ClusterClaim>& claims,
                                        const std::unordered_set<uint32_t>& directories,
                                        const std::unordered_map<int32_t, ItemData>& known) {
  store::ScanStore& st = *m_browser.Store();
  std::unordered_map<int32_t, ItemData> layouts = known;
  ExFatClusterMap map(m_volume, m_geometry, m_bitmap, m_fat);
  std::vector<cluster::ClaimLayout> laidOut;
  cluster::ClusterLayout layout(map);
  // A cancel of the scan stops the search: the file it was for stays damaged.
  layout.SearchFragmentsIfAsked(m_fragmentBounds, [this] {
    return m_scanFn != nullptr && m_scanFn(m_userData, 80, m_weight, -1, 0, 0, GetItemCount(), 0) != 0;
  });
  if (Status s = layout.Compute(claims, directories, &laidOut); s != kStatusOk) return s;
  m_fragmentSearches = layout.FragmentSearches();
  std::unordered_map<int32_t, const cluster::ClusterClaim*> claimOf;
  for (const cluster::ClusterClaim& c : claims) claimOf[c.id] = &c;
  const Status applied = cluster::ApplyClaimLayouts(st, laidOut, [&](const cluster::ClaimLayout& l) {
    // A file read from its first cluster onward needs no runs.
    const cluster::ClusterClaim& claim = *claimOf[l.id];
    if (l.runs.empty() || (l.runs.size() == 1 && l.runs[0].first == claim.start)) return;
    ItemData& data = layouts[l.id];
    data.validBytes = claim.bytes;
    data.fatChain = false;
    data.runs = l.runs;
  });
  if (applied != kStatusOk) return applied;
  for (const auto& [id, data] : layouts) st.SetLayout(id, data.Encode());
  return kStatusOk;
}

Status CFastExFatRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CFastExFatRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CFastExFatRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CFastExFatRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CFastExFatRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CFastExFatRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CFastExFatRecovery::BuildAllocationMap() {
  return kStatusOk;  // the allocation bitmap was read when the volume was opened
}

int32_t CFastExFatRecovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr) return 0;
  if (!HasVolume()) {
    *inoutSector = 0;
    return 1;
  }
  const uint64_t end = m_geometry.volumeSectors;
  if (!m_bitmap.IsLoaded()) {
    // Without a free-space map everything may hold lost data.
    if (*inoutSector >= end) {
      *inoutSector = end;
      return 1;
    }
    *outSectorCount = end - *inoutSector;
    return 1;
  }
  m_bitmap.NextFreeExtent(m_geometry, inoutSector, outSectorCount);
  return 1;
}

Status CFastExFatRecovery::VolumeFingerprint(uint64_t* out) {
  if (!HasVolume()) return kStatusInvalidParameter;
  const ExFatGeometry& g = m_geometry;
  Hash64 hash;
  hash.Add(m_volume.StartByte());
  hash.Add(g.volumeSectors);
  hash.Add(g.heapSector);
  hash.Add(g.ClusterBytes());
  hash.Add(g.volumeSerial);
  const std::vector<uint8_t>& bits = m_bitmap.Bytes();
  hash.Update(bits.data(), bits.size());
  constexpr uint64_t kChunkBytes = 1u << 20;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kChunkBytes, m_fat.UsedBytes())));
  const uint64_t fatStart = g.fatSector * g.bytesPerSector;
  for (uint64_t at = 0; at < m_fat.UsedBytes();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), m_fat.UsedBytes() - at));
    if (Status s = m_volume.Read(fatStart + at, chunk.data(), n); s != kStatusOk) return s;
    hash.Update(chunk.data(), n);
    at += n;
  }
  *out = hash.Value();
  return kStatusOk;
}

ItemData CFastExFatRecovery::DataOf(const ItemRecord& item) {
  ItemData data;
  data.validBytes = item.size;
  const store::ScanStore* st = m_browser.Store();
  if (const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr) {
    ItemData stored;
    if (ItemData::Decode(*extents, &stored)) data = std::move(stored);
  }
  return data;
}

int32_t CFastExFatRecovery::FragmentCount(const ItemRecord& item) {
  const ItemData data = DataOf(item);
  if (!data.fatChain) return std::max<int32_t>(1, static_cast<int32_t>(data.runs.size()));
  const uint64_t clusterBytes = m_geometry.ClusterBytes();
  std::vector<uint32_t> chain;
  bool complete = false;
  const uint64_t clusters = (data.validBytes + clusterBytes - 1) / clusterBytes;
  if (!HasVolume() || m_fat.Chain(static_cast<uint32_t>(item.locator), clusters, &chain, &complete) != kStatusOk) {
    return 1;
  }
  return std::max<int32_t>(1, static_cast<int32_t>(cluster::ToRuns(chain).size()));
}

bool CFastExFatRecovery::Reassembled(const ItemRecord& item) {
  // Runs of a deleted file that no chain lists were put together.
  const ItemData data = DataOf(item);
  return item.isDeleted != 0 && !data.fatChain && data.runs.size() > 1;
}

Status CFastExFatRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                        const CopyProgress& progress) {
  if (!HasVolume()) return kStatusInvalidParameter;
  const uint64_t size = item.size;  // copies: the record's fields are not aligned
  const uint32_t first = static_cast<uint32_t>(item.locator);
  return CopyItemBytes(m_volume, m_geometry, &m_fat, first, size, DataOf(item), byteCount, sink, progress);
}

Status CFastExFatRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CFastExFatRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                       int32_t rootSeparatorCount) {
  if (!HasVolume()) return kStatusInvalidParameter;
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CFastExFatRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                       uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (!HasVolume()) return kStatusInvalidParameter;
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::exfat
