// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/professional_exfat_recovery.h"

#include <algorithm>
#include <utility>

#include "engine/exfat/exfat_geometry.h"
#include "engine/store/scan_store.h"

namespace engine::exfat {
namespace {

uint32_t DiskUnit(const storage::SectorSource& source) {
  return source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
}

}  // namespace

CProfessionalExFatRecovery::CProfessionalExFatRecovery() = default;
CProfessionalExFatRecovery::~CProfessionalExFatRecovery() = default;

Status CProfessionalExFatRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), 512, 0, 0);
  ResetScan();
  return kStatusOk;
}

Status CProfessionalExFatRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                                 uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = DiskUnit(source);
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  ResetScan();
  return kStatusOk;
}

Status CProfessionalExFatRecovery::OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize,
                                                    uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  m_volume.Borrow(source, sectorSize, startSector, sectorCount);
  ResetScan();
  return kStatusOk;
}

void CProfessionalExFatRecovery::ResetScan() {
  m_runs.clear();
  m_droppedSectors = 0;
  m_bootGeometry.reset();
  m_bootLayout.reset();
  m_geometry.reset();
}

Status CProfessionalExFatRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                        int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

Status CProfessionalExFatRecovery::Scan(const char*) {
  return kStatusOk;
}

Status CProfessionalExFatRecovery::BeginExFatScan(const char* previousName) {
  ResetScan();
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') return st.OpenStore(previousName);
  return st.OpenFresh(store::MakeLogBaseName(kProExFatLogPrefix, static_cast<int64_t>(m_volume.StartUnit())));
}

bool CProfessionalExFatRecovery::PrepareExFatGeometry() {
  if (!m_volume.IsOpen()) return false;
  ExFatGeometry g;
  if (ReadExFatGeometry(m_volume, &g) != kStatusOk) return false;
  DeepGeometry boot;
  boot.heapByte = g.heapSector * g.bytesPerSector;
  boot.clusterBytes = g.ClusterBytes();
  boot.rootCluster = g.rootCluster;
  boot.fromBoot = true;
  m_bootGeometry = boot;
  m_bootLayout = g;
  return true;
}

void CProfessionalExFatRecovery::HandleExFatDirectorySector(const uint8_t* sector, size_t length,
                                                            uint64_t absoluteSector) {
  if (sector == nullptr || length < m_volume.UnitBytes()) return;
  if (!m_runs.empty() && m_runs.back().firstSector + m_runs.back().sectorCount == absoluteSector) {
    ++m_runs.back().sectorCount;
    return;
  }
  if (m_runs.size() >= kMaxRuns) {
    ++m_droppedSectors;
    return;
  }
  m_runs.push_back({absoluteSector, 1});
}

Status CProfessionalExFatRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CProfessionalExFatRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CProfessionalExFatRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CProfessionalExFatRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

int32_t CProfessionalExFatRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CProfessionalExFatRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CProfessionalExFatRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CProfessionalExFatRecovery::BuildAllocationMap() {
  return kStatusOk;
}

std::string CProfessionalExFatRecovery::StoreBaseName() {
  store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CProfessionalExFatRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                                const CopyProgress& progress) {
  if (!m_volume.IsOpen()) return kStatusInvalidParameter;
  // Copies: the record's fields are not aligned.
  const int32_t clusterBytes = item.clusterBytes;
  const uint64_t heapSector = item.dataStartSector;
  const uint64_t size = item.size;
  const uint32_t unit = m_volume.UnitBytes();
  if (clusterBytes <= 0 || static_cast<uint32_t>(clusterBytes) % unit != 0) return kStatusInvalidParameter;
  // The geometry the record was written with, over the volume as the source holds it.
  ExFatGeometry g;
  g.bytesPerSector = unit;
  g.sectorsPerCluster = static_cast<uint32_t>(clusterBytes) / unit;
  g.heapSector = heapSector;
  g.volumeSectors = m_volume.VolumeBytes() / unit;
  if (g.volumeSectors <= g.heapSector) return kStatusInvalidParameter;
  g.maxCluster = static_cast<uint32_t>(
      std::min<uint64_t>((g.volumeSectors - g.heapSector) / g.sectorsPerCluster + 1, 0xFFFFFFF6u));
  ItemData data;
  data.validBytes = size;
  const store::ScanStore* st = m_browser.Store();
  if (const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr) {
    ItemData stored;
    if (ItemData::Decode(*extents, &stored)) data = std::move(stored);
  }
  return CopyItemBytes(m_volume, g, nullptr, static_cast<uint32_t>(item.locator), size, data, byteCount, sink,
                       progress);
}

int32_t CProfessionalExFatRecovery::FragmentCount(const ItemRecord& item) {
  const store::ScanStore* st = m_browser.Store();
  const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr;
  ItemData data;
  if (extents == nullptr || !ItemData::Decode(*extents, &data) || data.runs.empty()) return 1;
  return static_cast<int32_t>(data.runs.size());
}

Status CProfessionalExFatRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CProfessionalExFatRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                               int32_t rootSeparatorCount) {
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CProfessionalExFatRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                               uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::exfat
