// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_recovery.h"

#include <algorithm>
#include <utility>

#include "engine/fat/fat_geometry.h"
#include "engine/fat_dir_entry.h"
#include "engine/store/scan_store.h"

namespace engine::fat {
namespace {

// Copy-out and extraction move data in pieces of this size.
constexpr size_t kCopyPieceBytes = 65536;

uint32_t DiskUnit(const storage::SectorSource& source) {
  return source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
}

}  // namespace

CProfessionalFatRecovery::CProfessionalFatRecovery() : m_copyBuffer(kCopyPieceBytes) {}
CProfessionalFatRecovery::~CProfessionalFatRecovery() = default;

Status CProfessionalFatRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_volume.Close();
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), 512, 0, 0);
  ResetScan();
  return kStatusOk;
}

Status CProfessionalFatRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                               uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_volume.Close();
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = DiskUnit(source);
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  ResetScan();
  return kStatusOk;
}

Status CProfessionalFatRecovery::OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize,
                                                  uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  m_volume.Borrow(source, sectorSize, startSector, sectorCount);
  ResetScan();
  return kStatusOk;
}

void CProfessionalFatRecovery::ResetScan() {
  m_geometries.Clear();
  m_geometries.SetVolume(m_volume.StartSector(), m_volume.SectorCount());
  m_pieces.Clear();
}

Status CProfessionalFatRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                      int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

Status CProfessionalFatRecovery::Scan(const char*) {
  return kStatusOk;
}

Status CProfessionalFatRecovery::BeginFatScan(const char* previousName) {
  ResetScan();
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') return st.OpenStore(previousName);
  return st.OpenFresh(store::MakeLogBaseName(store::kProFatLogPrefix, static_cast<int64_t>(m_volume.StartSector())));
}

bool CProfessionalFatRecovery::PrepareFatGeometry() {
  if (!m_volume.IsOpen() || m_volume.SectorCount() == 0) return false;
  const uint32_t sectorSize = m_volume.SectorSize();
  const uint32_t count = static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint32_t>(boot::kBootBytes / sectorSize, 1), m_volume.SectorCount()));
  std::vector<uint8_t> bootBytes(static_cast<size_t>(count) * sectorSize, 0);
  if (m_volume.Read(m_volume.StartSector(), count, bootBytes.data()) != kStatusOk) return false;
  return m_geometries.AddFromBootSector(ByteView(bootBytes.data(), bootBytes.size()), sectorSize,
                                        m_volume.StartSector(), m_volume.SectorCount());
}

void CProfessionalFatRecovery::HandleDirectoryStart(const uint8_t* sector, size_t length, uint64_t absoluteSector) {
  if (sector == nullptr || length < 2 * fat_entry::kBytes) return;
  const uint32_t own = EntryCluster(sector);
  const uint32_t parent = EntryCluster(sector + fat_entry::kBytes);
  if (own < 2 || own > kMaxFatCluster) {
    // A "." entry that names no cluster a directory can have.
    HandleDirectorySector(sector, length, absoluteSector);
    return;
  }
  (void)m_geometries.NoteDirectoryStart(own, absoluteSector);  // the geometry is settled when the scan finishes
  m_pieces.AddDirectoryStart(sector, length, absoluteSector, own, parent);
}

void CProfessionalFatRecovery::HandleDirectorySector(const uint8_t* sector, size_t length, uint64_t absoluteSector) {
  m_pieces.AddDirectorySector(sector, length, absoluteSector);
}

Status CProfessionalFatRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CProfessionalFatRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CProfessionalFatRecovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CProfessionalFatRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

int32_t CProfessionalFatRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CProfessionalFatRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CProfessionalFatRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

Status CProfessionalFatRecovery::BuildAllocationMap() {
  return kStatusOk;
}

std::string CProfessionalFatRecovery::StoreBaseName() {
  store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CProfessionalFatRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                              const CopyProgress& progress) {
  if (!m_volume.IsOpen()) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  // Copies: the record's fields are not aligned.
  const int32_t clusterBytes = item.clusterBytes;
  const uint32_t start = static_cast<uint32_t>(item.locator);
  const uint32_t sectorSize = m_volume.SectorSize();
  if (clusterBytes <= 0 || static_cast<uint32_t>(clusterBytes) % sectorSize != 0) return kStatusInvalidParameter;
  ClusterGeometry g;
  g.sectorsPerCluster = static_cast<uint32_t>(clusterBytes) / sectorSize;
  const uint64_t dataStart = item.dataStartSector;
  g.dataStartSector = static_cast<uint32_t>(std::min<uint64_t>(dataStart, UINT32_MAX));
  g.volumeStartSector = item.volumeStartSector;
  // The clusters follow one another (no table says otherwise any more),
  // unless the file was put together from pieces.
  std::vector<store::DataExtent> runs{{start, (byteCount + clusterBytes - 1) / static_cast<uint64_t>(clusterBytes)}};
  const store::ScanStore* st = m_browser.Store();
  if (const std::vector<store::DataExtent>* layout = st != nullptr ? st->Layout(item.id) : nullptr) runs = *layout;
  uint64_t done = 0;
  for (const store::DataExtent& run : runs) {
    if (done >= byteCount) break;
    uint64_t first = 0;
    // Clusters 0 and 1 hold no file data.
    if (run.first > kMaxFatCluster || !g.ClusterSector(static_cast<uint32_t>(run.first), &first)) {
      return kStatusInvalidParameter;
    }
    const uint64_t left = byteCount - done;
    const uint64_t runSectors = run.count > UINT64_MAX / g.sectorsPerCluster ? UINT64_MAX : run.count * g.sectorsPerCluster;
    const uint64_t sectors = std::min<uint64_t>(runSectors, left / sectorSize + (left % sectorSize != 0 ? 1 : 0));
    if (Status s = CopyVolumeSectors(m_volume, first, sectors, m_copyBuffer, sink, byteCount, &done, progress);
        s != kStatusOk) {
      return s;  // outside the volume: never a neighbour's bytes
    }
  }
  return done == byteCount ? kStatusOk : kStatusReadFault;
}

int32_t CProfessionalFatRecovery::FragmentCount(const ItemRecord& item) {
  const store::ScanStore* st = m_browser.Store();
  const std::vector<store::DataExtent>* layout = st != nullptr ? st->Layout(item.id) : nullptr;
  return layout != nullptr && !layout->empty() ? static_cast<int32_t>(layout->size()) : 1;
}

Status CProfessionalFatRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CProfessionalFatRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                             int32_t rootSeparatorCount) {
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CProfessionalFatRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                             uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::fat
