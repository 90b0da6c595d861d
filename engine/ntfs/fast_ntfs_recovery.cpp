// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/fast_ntfs_recovery.h"

#include <algorithm>

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/mft_record.h"
#include "platform/folders.h"
#include "platform/status.h"

namespace engine::ntfs {
namespace {

constexpr uint32_t kBootReadBytes = 4096;

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery() = default;
CFastNtfsRecovery::~CFastNtfsRecovery() = default;

Status CFastNtfsRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_isOpen = false;
  if (Status s = storage::OpenImageSource(m_source, imagePath); s != kStatusOk) return s;
  // The whole file is the volume; OpenVolume counts it in the boot sector's sector size.
  return OpenVolume(0, 0, 512, m_source.totalSectors * 512, driveLetter);
}

Status CFastNtfsRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                        uint16_t driveLetter) {
  m_isOpen = false;
  if (Status s = storage::OpenDiskSource(m_source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = m_source.deviceSectorSize != 0 ? m_source.deviceSectorSize : 512;
  return OpenVolume(startSector, sectorCount, unit, m_source.totalSectors * unit, driveLetter);
}

Status CFastNtfsRecovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) {
  m_isOpen = false;
  m_source = std::move(source);
  const uint32_t unit = m_source.deviceSectorSize != 0 ? m_source.deviceSectorSize : 512;
  return OpenVolume(startSector, sectorCount, unit, m_source.totalSectors * unit, driveLetter);
}

// startSector and sectorCount count sectors of unitBytes; sectorCount 0 takes
// everything from startSector to the end of the source (sourceBytes long).
Status CFastNtfsRecovery::OpenVolume(uint64_t startSector, uint64_t sectorCount, uint32_t unitBytes,
                                     uint64_t sourceBytes, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_bitmap.Clear();
  m_volume = NtfsVolume{};
  if (!m_source.IsOpen()) return platform::kErrorInvalidHandle;
  const uint32_t deviceSector = unitBytes;
  const uint64_t startByte = startSector * deviceSector;
  if (startByte >= sourceBytes) return kStatusInvalidParameter;
  const uint64_t volumeBytes = sectorCount != 0 ? sectorCount * deviceSector : sourceBytes - startByte;

  std::vector<uint8_t> boot(std::max(kBootReadBytes, deviceSector), 0);
  uint32_t got = 0;
  const uint32_t bootSectors = static_cast<uint32_t>(boot.size() / deviceSector);
  if (Status s = storage::ReadSectors(bootSectors, m_source, boot.data(), startSector, deviceSector, &got);
      s != kStatusOk && got == 0) {
    return s;
  }
  // Boot-sector fields first, then the volume in the boot sector's own sector size.
  NtfsVolumeGeometry probe;
  if (!ParseNtfsBootSector(ByteView(boot.data(), boot.size()), 0, ~uint64_t{0} >> 8, &probe)) {
    return kStatusInvalidParameter;
  }
  const uint32_t bps = probe.bytesPerSector;
  if (startByte % bps != 0) return kStatusInvalidParameter;
  NtfsVolumeGeometry geometry;
  if (!ParseNtfsBootSector(ByteView(boot.data(), boot.size()), startByte / bps, volumeBytes / bps, &geometry)) {
    return kStatusInvalidParameter;
  }
  m_volume.source = &m_source;
  m_volume.geometry = geometry;
  // A volume whose MFT cannot be located still opens (its boot sector is
  // fine); its scan reports why it found nothing.
  m_mftStatus = LoadMftRuns(m_volume);
  if (m_mftStatus != kStatusOk) m_mftStatus = m_mftStatus < 0 ? kStatusReadFault : m_mftStatus;
  m_isOpen = true;
  return kStatusOk;
}

Status CFastNtfsRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                               int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

Status CFastNtfsRecovery::Scan(const char* previousName) {
  m_placement.Clear();
  m_pendingItems.clear();
  m_pendingChildren.clear();
  m_readError = kStatusOk;
  m_unreadableRecords = 0;
  m_storeFull = false;
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') {
    const Status opened = st.OpenStore(previousName);
    std::vector<uint64_t> counts;
    if (opened == kStatusOk && st.ReadCounts(store::ScanStore::kUnreadableName, 1, &counts)) {
      m_unreadableRecords = counts[0];
    }
    return opened;
  }
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  const std::string name =
      store::MakeLogBaseName(store::kFastLogPrefix, static_cast<int64_t>(m_volume.geometry.volumeStartSector));
  if (Status s = st.OpenFresh(name); s != kStatusOk) return s;
  // The clusters in use now, to tell deleted files whose clusters were taken
  // again; without it (an unreadable $Bitmap) no file is called overwritten.
  if (m_mftStatus == kStatusOk && BuildAllocationMap() != kStatusOk) m_bitmap.Clear();
  // An MFT that cannot be found is a failed scan, not an empty volume.
  Status status = m_mftStatus != kStatusOk ? m_mftStatus : RunMftPass();
  // Not kept only costs a run reusing this result the warning.
  (void)st.KeepCounts(store::ScanStore::kUnreadableName, {m_unreadableRecords});
  const Status flushed = st.FlushStore();
  if (status == kStatusOk && m_storeFull) status = kStatusOutOfMemory;
  // Records that could not be read make the result incomplete: say so.
  if (status == kStatusOk) status = m_readError;
  return status != kStatusOk ? status : flushed;
}

Status CFastNtfsRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CFastNtfsRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CFastNtfsRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CFastNtfsRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CFastNtfsRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CFastNtfsRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

std::string CFastNtfsRecovery::StoreName() const {
  const store::ScanStore* st = const_cast<store::StoreBrowser&>(m_browser).Store();
  return st != nullptr ? st->BaseName() : std::string();
}

std::vector<ByteRun> CFastNtfsRecovery::MetadataRuns() {
  std::vector<ByteRun> runs;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  for (const PlacedRun& r : PlaceRuns(m_volume.mftRuns)) {
    if (r.isSparse || !r.isValid || r.startCluster >= g.ClusterCount()) continue;
    const uint64_t count = std::min(r.clusterCount, g.ClusterCount() - r.startCluster);
    runs.push_back(ByteRun{r.startCluster * g.clusterBytes, count * g.clusterBytes});
  }
  NormalizeByteRuns(runs);
  return runs;
}

}  // namespace engine::ntfs
