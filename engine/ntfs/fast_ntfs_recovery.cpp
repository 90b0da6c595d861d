// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/fast_ntfs_recovery.h"

#include <algorithm>

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/mft_record.h"
#include "engine/store/scan_index.h"
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
  return OpenVolume(startSector, sectorCount, 512, m_source.totalSectors * 512, driveLetter);
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
  (void)LoadMftRuns(m_volume);  // a volume without usable MFT runs scans as empty
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
  m_folderList.clear();
  m_folderSet.clear();
  m_reusedFolders.clear();
  m_store = std::make_unique<store::ScanStore>();
  m_store->SetSearchCallback(m_searchFn, m_searchUserData);
  if (previousName != nullptr && previousName[0] != '\0') return m_store->OpenStore(previousName);
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  const std::string name = store::MakeLogBaseName(store::kFastLogPrefix, static_cast<int64_t>(m_volume.geometry.volumeStartSector));
  // A fresh scan starts from empty files, even when an earlier scan in the
  // same folder and minute left files of this name.
  std::string folder = store::ScanIndex::Instance().CurrentScanFolder();
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  for (const char* suffix : {"", "_Relation", "_DirInfo"}) (void)platform::RemoveFile(folder + name + suffix);
  if (Status s = m_store->OpenStore(name); s != kStatusOk) return s;
  Status status = RunMftPass();
  Status flushed = m_store->FlushStore();
  return status != kStatusOk ? status : flushed;
}

Status CFastNtfsRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  if (folder == nullptr && depth != 0) return kStatusInvalidParameter;
  if (!m_store || !m_store->IsOpen()) return kStatusInvalidParameter;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  const uint32_t locator = folder != nullptr ? static_cast<uint32_t>(folder->locator) : kRootRecord;
  return m_store->ListChildren(store::FolderKey(static_cast<uint32_t>(depth), locator), out);
}

Status CFastNtfsRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  if (outCount == nullptr || (folder == nullptr && depth != 0)) return kStatusInvalidParameter;
  if (!m_store || !m_store->IsOpen()) return kStatusInvalidParameter;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  const uint32_t locator = folder != nullptr ? static_cast<uint32_t>(folder->locator) : kRootRecord;
  return m_store->CountFiles(store::FolderKey(static_cast<uint32_t>(depth), locator), outCount);
}

uint64_t CFastNtfsRecovery::GetItemCount() {
  if (!m_store || !m_store->IsOpen()) return 0;
  return static_cast<uint64_t>(m_store->RecordCount());
}

Status CFastNtfsRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  if (item == nullptr || !m_store || !m_store->IsOpen()) return kStatusInvalidParameter;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  return m_store->GetItemPath(*item, out);
}

Status CFastNtfsRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  m_searchFn = fn;
  m_searchUserData = userData;
  if (m_store) m_store->SetSearchCallback(fn, userData);
  return kStatusOk;
}

int32_t CFastNtfsRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  if (!m_store || !m_store->IsOpen()) return 0;
  return m_store->Search(pattern, out);
}

std::string CFastNtfsRecovery::StoreName() const {
  return m_store ? m_store->BaseName() : std::string();
}

}  // namespace engine::ntfs
