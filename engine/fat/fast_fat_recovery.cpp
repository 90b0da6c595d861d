// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fast_fat_recovery.h"

#include <algorithm>
#include <chrono>

#include "engine/fat/fat_copy_out.h"
#include "engine/fat/fat_directory_walk.h"
#include "engine/fat/fat_layout.h"
#include "engine/hash64.h"

namespace engine::fat {
namespace {

// Percent values of the scan report while the walk runs stay below the 80
// reported when it ends.
constexpr int32_t kWalkPercentCeiling = 79;
// Kept beside the store: the unreadable directories and the folders cut off.
constexpr std::string_view kGapsName = "Gaps";
}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;
CFastFatRecovery::~CFastFatRecovery() = default;

Status CFastFatRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  const uint64_t bytes = source.totalSectors * 512;
  return OpenVolume(std::move(source), 512, 0, bytes, driveLetter);
}

Status CFastFatRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  const uint64_t units = sectorCount != 0                    ? sectorCount
                         : source.totalSectors > startSector ? source.totalSectors - startSector
                                                             : 0;
  return OpenVolume(std::move(source), unit, startSector, units * unit, driveLetter);
}

Status CFastFatRecovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                    uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  const uint64_t units = sectorCount != 0                    ? sectorCount
                         : source.totalSectors > startSector ? source.totalSectors - startSector
                                                             : 0;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  return OpenVolume(std::move(source), unit, startSector, units * unit, driveLetter);
}

Status CFastFatRecovery::OpenVolume(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit,
                                    uint64_t volumeBytes, uint16_t driveLetter) {
  m_reader.Attach(std::move(source), unitBytes, startUnit, volumeBytes);
  m_driveLetter = driveLetter;
  std::vector<uint8_t> bootSector(boot::kBootBytes, 0);
  const size_t bootBytes = static_cast<size_t>(std::min<uint64_t>(bootSector.size(), m_reader.VolumeBytes()));
  Status s = bootBytes < 512 ? kStatusReadFault : m_reader.Read(0, bootSector.data(), bootBytes);
  if (s == kStatusOk &&
      !ParseFatBootSector(ByteView(bootSector.data(), bootBytes), m_reader.VolumeBytes(), &m_geometry)) {
    s = kStatusInvalidParameter;
  }
  if (s == kStatusOk) s = m_fat.Load(m_reader, m_geometry);
  if (s != kStatusOk) {
    m_reader.Close();
    m_fat = FatTable();
    return s;
  }
  m_geometryValid = true;
  m_opened = true;
  return kStatusOk;
}

Status CFastFatRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                              int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

std::string CFastFatRecovery::StoreBaseName() const {
  const store::ScanStore* st = const_cast<store::StoreBrowser&>(m_browser).Store();
  return st != nullptr ? st->BaseName() : std::string();
}

uint64_t CFastFatRecovery::RootFolderKey() const {
  return m_geometryValid && m_geometry.type == FatType::kFat32 ? store::FolderKey(0, m_geometry.rootCluster) : 0;
}

Status CFastFatRecovery::Scan(const char* previousName) {
  m_browser.SetRootKey(RootFolderKey());
  m_directoryRuns.clear();
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') {
    const Status opened = st.OpenStore(previousName);
    if (opened == kStatusOk) LoadGaps();
    return opened;
  }
  if (!HasVolume()) return kStatusInvalidParameter;
  const auto volumeStart = static_cast<int64_t>(m_reader.VolumeStartUnit());
  if (Status s = st.OpenFresh(store::MakeLogBaseName(store::kFastLogPrefix, volumeStart)); s != kStatusOk) return s;
  return WalkVolume();
}

void CFastFatRecovery::NoteDirectoryRuns(const std::unordered_set<uint32_t>& clusters) {
  const FatGeometry& g = m_geometry;
  m_directoryRuns.clear();
  m_directoryRuns.reserve(clusters.size() + 1);
  if (g.rootDirSectors != 0) {
    m_directoryRuns.push_back(ByteRun{g.rootDirSector * g.bytesPerSector, g.rootDirSectors * g.bytesPerSector});
  }
  for (uint32_t cluster : clusters) {
    if (!g.IsDataCluster(cluster)) continue;
    m_directoryRuns.push_back(ByteRun{g.ClusterSector(cluster) * g.bytesPerSector, g.ClusterBytes()});
  }
  NormalizeByteRuns(m_directoryRuns);
}

Status CFastFatRecovery::WalkVolume() {
  FatDirectoryWalk walk(m_reader, m_fat, *m_browser.Store(), m_driveLetter);
  m_unreadableDirectories = 0;
  m_foldersCutOff = 0;
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
  // The folders leading to what was found are recorded also when the walk
  // was stopped, so that everything found stays reachable from the root.
  // Deleted files are laid out once every claim on the volume is known (a
  // cancelled walk lays out what it found).
  const Status checked = walk.CheckStarts();
  const Status laidOut = ApplyLayouts(walk.Claims(), walk.DirectoryClusters());
  NoteDirectoryRuns(walk.DirectoryClusters());
  m_unreadableDirectories = walk.UnreadableDirectories();
  m_foldersCutOff = walk.FoldersCutOff();
  KeepGaps();
  const Status folders = walk.AppendNeededFolders();
  const Status flushed = m_browser.Store()->FlushStore();
  if (status == kStatusOk) status = checked;
  if (status == kStatusOk) status = laidOut;
  if (status != kStatusOk) return status;
  if (folders != kStatusOk) return folders;
  if (flushed != kStatusOk) return flushed;
  return report(100, 0);
}

void CFastFatRecovery::KeepGaps() const {
  const store::ScanStore* st = const_cast<store::StoreBrowser&>(m_browser).Store();
  if (st == nullptr || !st->IsOpen()) return;
  // Not kept only costs a later run the hint; the scan's own result stands.
  if (st->KeepCounts(kGapsName, {m_unreadableDirectories, m_foldersCutOff}) != kStatusOk) return;
}

void CFastFatRecovery::LoadGaps() {
  m_unreadableDirectories = 0;
  m_foldersCutOff = 0;
  const store::ScanStore* st = m_browser.Store();
  std::vector<uint64_t> counts;
  if (st == nullptr || !st->ReadCounts(kGapsName, 2, &counts)) return;
  m_unreadableDirectories = counts[0];
  m_foldersCutOff = counts[1];
}

Status CFastFatRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CFastFatRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CFastFatRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CFastFatRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CFastFatRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CFastFatRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CFastFatRecovery::BuildAllocationMap() {
  if (HasVolume()) (void)m_allocation.Build(m_fat);
  return kStatusOk;
}

int32_t CFastFatRecovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr) return 0;
  if (!HasVolume()) {
    *inoutSector = 0;
    return 1;
  }
  if (!m_allocation.IsBuilt()) (void)m_allocation.Build(m_fat);
  m_allocation.NextFreeExtent(m_geometry, inoutSector, outSectorCount);
  return 1;
}

Status CFastFatRecovery::VolumeFingerprint(uint64_t* out) {
  if (!HasVolume()) return kStatusInvalidParameter;
  const FatGeometry& g = m_geometry;
  Hash64 hash;
  hash.Add(m_reader.VolumeStartByte());
  hash.Add(g.totalSectors);
  hash.Add(g.dataStartSector);
  hash.Add(g.ClusterBytes());
  constexpr uint64_t kChunkBytes = 1u << 20;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kChunkBytes, g.FatBytes())));
  const uint64_t fatStart = g.fatStartSector * g.bytesPerSector;
  for (uint64_t at = 0; at < g.FatBytes();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), g.FatBytes() - at));
    if (Status s = m_reader.Read(fatStart + at, chunk.data(), n); s != kStatusOk) return s;
    hash.Update(chunk.data(), n);
    at += n;
  }
  *out = hash.Value();
  return kStatusOk;
}

Status CFastFatRecovery::ApplyLayouts(const std::vector<cluster::ClusterClaim>& claims,
                                      const std::unordered_set<uint32_t>& directories) {
  FatClusterMap map(m_reader, m_fat);
  std::vector<cluster::ClaimLayout> layouts;
  cluster::ClusterLayout layout(map);
  // A cancel of the scan stops the search: the file it was for stays damaged.
  layout.SearchFragmentsIfAsked(m_fragmentBounds, [this] {
    return m_scanFn != nullptr && m_scanFn(m_userData, 80, m_weight, -1, 0, 0, GetItemCount(), 0) != 0;
  });
  if (Status s = layout.Compute(claims, directories, &layouts); s != kStatusOk) return s;
  m_fragmentSearches = layout.FragmentSearches();
  store::ScanStore& st = *m_browser.Store();
  // A file in one run is read by the chain rule; the others keep their runs.
  return cluster::ApplyClaimLayouts(st, layouts, [&](const cluster::ClaimLayout& l) {
    if (l.runs.size() > 1) st.SetLayout(l.id, l.runs);
  });
}

int32_t CFastFatRecovery::FragmentCount(const ItemRecord& item) {
  const store::ScanStore* st = m_browser.Store();
  const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr;
  return extents != nullptr && !extents->empty() ? static_cast<int32_t>(extents->size()) : 1;
}

bool CFastFatRecovery::Reassembled(const ItemRecord& item) {
  // A deleted file's chain is gone: a layout of several runs was put together.
  return item.isDeleted != 0 && FragmentCount(item) > 1;
}

Status CFastFatRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                      const CopyProgress& progress) {
  if (!HasVolume()) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  const store::ScanStore* st = m_browser.Store();
  if (const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr) {
    return CopyExtentData(m_reader, m_geometry, *extents, byteCount, sink, progress);
  }
  return CopyClusterData(m_reader, m_fat, static_cast<uint32_t>(item.locator), byteCount, sink, progress);
}

Status CFastFatRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CFastFatRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                     int32_t rootSeparatorCount) {
  if (!HasVolume()) return kStatusInvalidParameter;
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CFastFatRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                     uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (!HasVolume()) return kStatusInvalidParameter;
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::fat
