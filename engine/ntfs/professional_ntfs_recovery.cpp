// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/professional_ntfs_recovery.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "engine/boot_sector_tests.h"
#include "engine/categories.h"
#include "engine/ntfs/attributes.h"
#include "engine/ntfs/found_record.h"
#include "engine/ntfs/item_data_copy.h"
#include "engine/ntfs/mft_record.h"
#include "engine/signatures/signature_check.h"
#include "engine/store/scan_store.h"

namespace engine::ntfs {
namespace {

constexpr uint32_t kBootReadBytes = 4096;
// Folders of further MFTs get locators of their own: the MFT's number in
// these bits, the record below them.
constexpr uint32_t kContextShift = 26;
constexpr uint32_t kMaxContextTag = 31;

// Sectors per cluster taken before any record tells: by the volume's size.
uint32_t EstimateFromSize(uint64_t sectors, uint32_t bytesPerSector) {
  const uint64_t mib = sectors * bytesPerSector / (1u << 20);
  const uint64_t u = std::max<uint32_t>(1, bytesPerSector / 512);
  if (mib <= 7 * u) return 8;
  if (mib <= 512 * u) return 1;
  if (mib <= 1024 * u) return 2;
  if (mib <= 2048 * u) return 4;
  return 8;
}

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;
CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() = default;

Status CProfessionalNtfsRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_isOpen = false;
  if (Status s = storage::OpenImageSource(m_source, imagePath); s != kStatusOk) return s;
  return OpenVolume(0, m_source.totalSectors * 512, driveLetter);
}

Status CProfessionalNtfsRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                                uint16_t driveLetter) {
  m_isOpen = false;
  if (Status s = storage::OpenDiskSource(m_source, diskNumber); s != kStatusOk) return s;
  const uint64_t unit = m_source.deviceSectorSize != 0 ? m_source.deviceSectorSize : 512;
  const uint64_t available = m_source.totalSectors > startSector ? m_source.totalSectors - startSector : 0;
  return OpenVolume(startSector * unit, (sectorCount != 0 ? std::min(sectorCount, available) : available) * unit,
                    driveLetter);
}

Status CProfessionalNtfsRecovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                             uint16_t driveLetter) {
  m_isOpen = false;
  m_source = std::move(source);
  const uint64_t available = m_source.totalSectors > startSector ? m_source.totalSectors - startSector : 0;
  return OpenVolume(startSector * 512, (sectorCount != 0 ? std::min(sectorCount, available) : available) * 512,
                    driveLetter);
}

Status CProfessionalNtfsRecovery::OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize,
                                                   uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
  m_isOpen = false;
  m_source = storage::ShareSource(source);
  if (!m_source.IsOpen()) return platform::kErrorInvalidHandle;
  if (sectorSize != 0) m_source.deviceSectorSize = sectorSize;
  const uint64_t unit = m_source.deviceSectorSize;
  const uint64_t available = m_source.totalSectors > startSector ? m_source.totalSectors - startSector : 0;
  return OpenVolume(startSector * unit, (sectorCount != 0 ? std::min(sectorCount, available) : available) * unit,
                    driveLetter);
}

Status CProfessionalNtfsRecovery::OpenVolume(uint64_t startByte, uint64_t volumeBytes, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  if (!m_source.IsOpen()) return platform::kErrorInvalidHandle;
  const uint32_t unit = m_source.deviceSectorSize != 0 ? m_source.deviceSectorSize : 512;
  m_bytesPerSector = unit;
  std::vector<uint8_t> boot(std::max<uint32_t>(kBootReadBytes, unit), 0);
  uint32_t got = 0;
  (void)storage::ReadSectors(static_cast<uint32_t>(boot.size() / unit), m_source, boot.data(), startByte / unit, unit,
                             &got);  // the open succeeds whatever the volume's first sectors hold
  NtfsVolumeGeometry probe;
  const bool ntfs = got > 0 && IsNtfsBootSector(boot.data(), boot.size()) &&
                    ParseNtfsBootSector(ByteView(boot.data(), boot.size()), 0, ~uint64_t{0} >> 8, &probe) &&
                    startByte % probe.bytesPerSector == 0;
  if (ntfs) m_bytesPerSector = probe.bytesPerSector;
  m_geometry = NtfsVolumeGeometry{};
  m_geometry.volumeStartSector = startByte / m_bytesPerSector;
  m_geometry.sectorCount = volumeBytes / m_bytesPerSector;
  m_geometry.bytesPerSector = m_bytesPerSector;
  m_recordBytes = m_bytesPerSector <= 512 ? 2 * m_bytesPerSector : m_bytesPerSector;
  // A volume whose boot sector still reads names its record size (4 KiB records on 512-byte
  // sectors are written too); the records found are taken at that size.
  if (ntfs && probe.recordBytes >= m_bytesPerSector && probe.recordBytes <= 4096 &&
      probe.recordBytes % m_bytesPerSector == 0) {
    m_recordBytes = probe.recordBytes;
  }
  const uint32_t estimate = EstimateFromSize(m_geometry.sectorCount, m_bytesPerSector);
  m_geometry.sectorsPerCluster = estimate;
  m_geometry.clusterBytes = estimate * m_bytesPerSector;
  m_geometry.recordBytes = m_recordBytes;
  m_geometry.sectorsPerRecord = m_recordBytes / m_bytesPerSector;
  m_contexts.Reset(m_geometry.volumeStartSector, m_geometry.sectorsPerRecord, estimate);
  if (ntfs) {
    // The volume's own MFT, as its boot sector says.
    NtfsVolume volume;
    volume.source = &m_source;
    if (ParseNtfsBootSector(ByteView(boot.data(), boot.size()), m_geometry.volumeStartSector, m_geometry.sectorCount,
                            &volume.geometry) &&
        volume.geometry.recordBytes == m_recordBytes && LoadMftRuns(volume) == kStatusOk) {
      m_contexts.AddKnown(volume.geometry.mftStartSector, volume.mftRuns, volume.geometry.sectorsPerCluster);
    }
  }
  m_isOpen = true;
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                       int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::Scan(const char*) {
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::Begin(const char* previousName) {
  m_directories.clear();
  m_files.clear();
  m_storeFull = false;
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') return st.OpenStore(previousName);
  return st.OpenFresh(
      store::MakeLogBaseName(store::kProNtfsLogPrefix, static_cast<int64_t>(m_geometry.volumeStartSector)));
}

Status CProfessionalNtfsRecovery::HandleRecord(const uint8_t* bytes, size_t length, uint64_t sector) {
  if (bytes == nullptr || length < m_recordBytes || !m_isOpen) return kStatusInvalidParameter;
  // The caller's buffer is shared with its scan: the fix-up works on a copy.
  std::vector<uint8_t> record(bytes, bytes + m_recordBytes);
  const ByteView view(record.data(), record.size());
  if (view.U32(kRecBytesInUse) > m_recordBytes || view.U16(kRecFirstAttribute) > view.U32(kRecBytesInUse)) {
    return kStatusInvalidParameter;
  }
  if (!ApplyUpdateSequence(record.data(), record.size())) return kStatusInvalidParameter;
  FoundRecord found;
  if (!ParseFoundRecord(view, &found) || !found.baseRecord) return kStatusInvalidParameter;
  if (found.isMft) {
    // Record 0 teaches where this MFT's records lie.
    if (!found.dataRuns.empty() && found.allocatedBytes > 0) {
      const uint64_t clusters = TotalClusters(found.dataRuns);
      const uint64_t clusterBytes = clusters == 0 ? 0 : static_cast<uint64_t>(found.allocatedBytes) / clusters;
      const uint64_t spc = clusterBytes / m_bytesPerSector;
      if (spc != 0 && spc <= 256 && clusterBytes % m_bytesPerSector == 0) {
        m_contexts.AddKnown(sector, found.dataRuns, static_cast<uint32_t>(spc));
      }
    }
    return kStatusOk;
  }
  if (!found.named || found.number <= kLastSystemRecord || found.number >= FolderPlacement::kLostIncarnation) {
    return kStatusOk;
  }
  if (found.IsDirectory()) {
    Directory d;
    d.sector = sector;
    d.number = static_cast<uint32_t>(found.number);
    d.sequence = found.sequence;
    d.inUse = found.InUse();
    d.parent = found.parent;
    d.parentSequence = found.parentSequence;
    d.name = std::move(found.name);
    d.created = found.created;
    d.modified = found.modified;
    d.accessed = found.accessed;
    m_directories.push_back(std::move(d));
    return kStatusOk;
  }
  PendingFile pending;
  pending.sector = sector;
  pending.number = static_cast<uint32_t>(found.number);
  pending.parent = found.parent;
  pending.parentSequence = found.parentSequence;
  pending.emptyResident = found.residentData && found.emptyResident;
  // The record's own allocation tells its file system's cluster size.
  const uint64_t clusters = TotalClusters(found.dataRuns);
  if (clusters != 0 && found.allocatedBytes > 0 && static_cast<uint64_t>(found.allocatedBytes) % clusters == 0) {
    const uint64_t spc = static_cast<uint64_t>(found.allocatedBytes) / clusters / m_bytesPerSector;
    if (spc != 0 && spc <= 256) {
      pending.recordSectorsPerCluster = static_cast<uint32_t>(spc);
      m_contexts.SetEstimate(static_cast<uint32_t>(spc));
    }
  }
  pending.size = found.size;
  if (!found.residentData && !found.dataRuns.empty()) {
    pending.runs = PlaceRuns(found.dataRuns);
    const PlacedRun& first = pending.runs.front();
    if (!first.isSparse && first.isValid) pending.firstCluster = static_cast<int64_t>(first.startCluster);
  }
  const std::string_view extension = ExtensionOf(found.name);
  if (!extension.empty() && extension.size() < sizeof pending.extension) {
    std::memcpy(pending.extension, extension.data(), extension.size());
  }

  ItemRecord item = ZeroRecord();
  item.driveLetter = m_driveLetter;
  item.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalNtfs);
  item.isIntact = pending.emptyResident ? 0 : 1;
  item.locator = static_cast<int32_t>(found.number);
  const uint32_t spc = pending.recordSectorsPerCluster != 0 ? pending.recordSectorsPerCluster : m_contexts.Estimate();
  item.clusterBytes = static_cast<int32_t>(spc * m_bytesPerSector);
  item.created = found.created;
  item.modified = found.modified;
  item.accessed = found.accessed;
  item.size = found.size;
  item.entrySector = sector;
  item.volumeStartSector = m_geometry.volumeStartSector;  // settled by Finish
  if (pending.firstCluster > 0) item.dataStartSector = static_cast<uint64_t>(pending.firstCluster) * spc;
  SetItemName(item, found.name);
  store::ScanStore* st = m_browser.Store();
  ItemRecord* slot = st != nullptr ? st->AppendRecord() : nullptr;
  if (slot == nullptr) {
    m_storeFull = st != nullptr;
    return m_storeFull ? kStatusOutOfMemory : kStatusInvalidParameter;
  }
  item.id = st->RecordCount();
  std::memcpy(static_cast<void*>(slot), &item, sizeof item);
  pending.id = item.id;
  pending.storedSectorsPerCluster = spc;
  m_files.push_back(pending);
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::ReadRecordAt(uint64_t sector, uint64_t number, std::vector<uint8_t>& record) {
  record.assign(m_recordBytes, 0);
  uint32_t got = 0;
  if (Status s = storage::ReadSectors(m_recordBytes / m_bytesPerSector, m_source, record.data(), sector,
                                      m_bytesPerSector, &got);
      s != kStatusOk) {
    return s;
  }
  const ByteView view(record.data(), record.size());
  if (!HasFileSignature(view) || !ApplyUpdateSequence(record.data(), record.size())) return kNotFileRecord;
  // A record that states its number must be the one asked for: another
  // record there would file things under the wrong folder.
  const uint32_t stated = view.U32(kRecNumber);
  if (stated != 0 && stated != number) return kNotFileRecord;
  return kStatusOk;
}

uint32_t CProfessionalNtfsRecovery::LocatorOf(uint32_t context, uint32_t locator) const {
  if (locator == FolderPlacement::kRootRecord || context == 0) return locator;
  const uint32_t tag = std::min(context, kMaxContextTag);
  return (tag << kContextShift) | (locator & ((1u << kContextShift) - 1)) |
         (locator & FolderPlacement::kLostIncarnation);
}

Status CProfessionalNtfsRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CProfessionalNtfsRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CProfessionalNtfsRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CProfessionalNtfsRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CProfessionalNtfsRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CProfessionalNtfsRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

int32_t CProfessionalNtfsRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CProfessionalNtfsRecovery::BuildAllocationMap() {
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                              int32_t rootSeparatorCount) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CProfessionalNtfsRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                              uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

Status CProfessionalNtfsRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CProfessionalNtfsRecovery::ItemRecordAndVolume(const ItemRecord& item, std::vector<uint8_t>& record,
                                                      NtfsVolume* volume) {
  const auto number = static_cast<uint32_t>(item.locator);
  if (Status s = ReadRecordAt(item.entrySector, number, record); s != kStatusOk) return s;
  // The item's MFT, for the extension records of an attribute list.
  volume->source = &m_source;
  volume->geometry = m_geometry;
  const MftContext& context = m_contexts.At(m_contexts.Locate(number, item.entrySector));
  volume->geometry.sectorsPerCluster = context.sectorsPerCluster;
  volume->geometry.clusterBytes = context.sectorsPerCluster * m_bytesPerSector;
  volume->mftRuns = context.runs;  // empty for an MFT taken as contiguous: no extension records then
  return kStatusOk;
}

Status CProfessionalNtfsRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                               const CopyProgress& progress) {
  std::vector<uint8_t> record;
  NtfsVolume volume;
  if (Status s = ItemRecordAndVolume(item, record, &volume); s != kStatusOk) {
    return s < 0 ? (byteCount == 0 ? kStatusOk : kStatusReadFault) : s;
  }
  return ntfs::CopyItemData(volume, ByteView(record.data(), record.size()), static_cast<uint32_t>(item.locator), item,
                            byteCount, sink, progress);
}

int32_t CProfessionalNtfsRecovery::FragmentCount(const ItemRecord& item) {
  if (!m_isOpen || item.isFolder != 0) return 1;
  std::vector<uint8_t> record;
  NtfsVolume volume;
  if (ItemRecordAndVolume(item, record, &volume) != kStatusOk) return 1;
  return CountDataRuns(volume, ByteView(record.data(), record.size()), static_cast<uint32_t>(item.locator));
}

}  // namespace engine::ntfs
