// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/professional_recovery.h"

#include <algorithm>
#include <deque>

#include "engine/deep/fast_engines.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/hash64.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "platform/utf.h"

namespace engine::deep {
namespace {

// Files before folders, then by name, case-insensitive; stable.
void SortListing(std::vector<ItemRecord>& out, size_t from) {
  if (out.size() - from < 2) return;
  std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                   [](const ItemRecord& a, const ItemRecord& b) {
                     if (a.isFolder != b.isFolder) return a.isFolder == 0;
                     const std::string_view x = a.Name();
                     const std::string_view y = b.Name();
                     const size_t n = std::min(x.size(), y.size());
                     for (size_t i = 0; i < n; ++i) {
                       const char cx = platform::AsciiLower(x[i]);
                       const char cy = platform::AsciiLower(y[i]);
                       if (cx != cy) return static_cast<unsigned char>(cx) < static_cast<unsigned char>(cy);
                     }
                     return x.size() < y.size();
                   });
}

}  // namespace

CProfessionalRecovery::CProfessionalRecovery() = default;

CProfessionalRecovery::~CProfessionalRecovery() {
  (void)m_replay.Close();
  // The engines read through m_source: they go first.
  m_fast.reset();
}

Status CProfessionalRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  m_isOpen = false;
  m_source = nullptr;
  if (Status s = storage::OpenImageSource(m_owned, imagePath); s != kStatusOk) return s;
  m_source = &m_owned;
  m_diskNumber = 128;
  m_sectorBytes = 512;
  m_volumeStart = 0;
  m_sectorCount = m_owned.totalSectors;
  return OpenEngines(driveLetter);
}

Status CProfessionalRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                            uint16_t driveLetter) {
  m_isOpen = false;
  m_source = nullptr;
  if (Status s = storage::OpenDiskSource(m_owned, diskNumber); s != kStatusOk) return s;
  storage::FlushVolume(driveLetter);
  m_source = &m_owned;
  m_diskNumber = diskNumber;
  m_sectorBytes = m_owned.deviceSectorSize != 0 ? m_owned.deviceSectorSize : 512;
  m_volumeStart = startSector;
  const uint64_t available = m_owned.totalSectors > startSector ? m_owned.totalSectors - startSector : 0;
  m_sectorCount = sectorCount != 0 ? std::min(sectorCount, available) : available;
  return OpenEngines(driveLetter);
}

Status CProfessionalRecovery::OpenSharedSource(storage::SectorSource& source, uint64_t startSector,
                                               uint64_t sectorCount, uint16_t driveLetter) {
  m_isOpen = false;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  m_source = &source;
  m_diskNumber = 128;
  m_sectorBytes = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  m_volumeStart = startSector;
  const uint64_t available = source.totalSectors > startSector ? source.totalSectors - startSector : 0;
  m_sectorCount = sectorCount != 0 ? std::min(sectorCount, available) : available;
  return OpenEngines(driveLetter);
}

Status CProfessionalRecovery::OpenEngines(uint16_t driveLetter) {
  m_driveLetter = driveLetter;
  m_fast.reset();
  m_state = DeepScanState{};
  m_duplicates.Clear();
  storage::SectorSource& source = *m_source;
  if (Status s = m_proFat.OpenSharedSource(source, m_sectorBytes, m_volumeStart, m_sectorCount, driveLetter);
      s != kStatusOk) {
    return s;
  }
  if (Status s = m_proNtfs.OpenSharedSource(source, m_sectorBytes, m_volumeStart, m_sectorCount, driveLetter);
      s != kStatusOk) {
    return s;
  }
  if (Status s = m_proExFat.OpenSharedSource(source, m_sectorBytes, m_volumeStart, m_sectorCount, driveLetter);
      s != kStatusOk) {
    return s;
  }
  if (Status s = m_proExt4.OpenSharedSource(source, m_sectorBytes, m_volumeStart, m_sectorCount, driveLetter);
      s != kStatusOk) {
    return s;
  }
  m_fastSectorBytes = m_sectorBytes;
  m_fast = OpenFastEngine(source, m_volumeStart, m_sectorCount, driveLetter, &m_fastSectorBytes);
  m_isOpen = true;
  return kStatusOk;
}

Status CProfessionalRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                   int32_t) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  if (m_fast) (void)m_fast->SetProgressCallbacks(scanFn, copyFn, userData, 9);
  (void)m_proFat.SetProgressCallbacks(scanFn, copyFn, userData, 90);
  (void)m_proNtfs.SetProgressCallbacks(scanFn, copyFn, userData, 90);
  (void)m_proExFat.SetProgressCallbacks(scanFn, copyFn, userData, 90);
  (void)m_proExt4.SetProgressCallbacks(scanFn, copyFn, userData, 90);
  (void)m_carver.SetProgressCallbacks(scanFn, copyFn, userData, 90);
  return kStatusOk;
}

std::array<IFileRecoveryParse*, 6> CProfessionalRecovery::Engines() {
  return {m_fast.get(), &m_proFat, &m_proNtfs, &m_proExFat, &m_proExt4, &m_carver};
}

IFileRecoveryParse* CProfessionalRecovery::EngineOf(int32_t sourceKind) {
  switch (static_cast<SourceKind>(sourceKind)) {
    case SourceKind::kFastNtfs:
    case SourceKind::kFastFat:
    case SourceKind::kFastExFat:
    case SourceKind::kFastExt4: return m_fast.get();
    case SourceKind::kProfessionalExt4: return &m_proExt4;
    case SourceKind::kProfessionalNtfs: return &m_proNtfs;
    case SourceKind::kProfessionalFat: return &m_proFat;
    case SourceKind::kProfessionalExFat: return &m_proExFat;
    case SourceKind::kSignature: return &m_carver;
    default: return nullptr;
  }
}

uint32_t CProfessionalRecovery::SectorBytesOf(int32_t sourceKind) const {
  switch (static_cast<SourceKind>(sourceKind)) {
    case SourceKind::kFastNtfs:
    case SourceKind::kFastFat:
    case SourceKind::kFastExFat:
    case SourceKind::kFastExt4: return m_fastSectorBytes;
    case SourceKind::kProfessionalNtfs: return m_proNtfs.BytesPerSector();
    default: return m_sectorBytes;
  }
}

Status CProfessionalRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  const size_t from = out.size();
  if (folder == nullptr) {
    if (depth != 0) return kStatusInvalidParameter;
    Status first = kStatusOk;
    for (IFileRecoveryParse* engine : Engines()) {
      if (engine == nullptr || engine->GetItemCount() == 0) continue;
      if (Status s = engine->ListChildren(nullptr, 0, out); s != kStatusOk && first == kStatusOk) first = s;
    }
    std::erase_if(out, [&, i = size_t{0}](const ItemRecord& r) mutable {
      return i++ >= from && m_duplicates.IsHidden(r.sourceKind, r.id);
    });
    SortListing(out, from);
    return first;
  }
  IFileRecoveryParse* engine = EngineOf(folder->sourceKind);
  if (engine == nullptr) return kStatusInvalidParameter;
  const Status s = engine->ListChildren(folder, depth, out);
  std::erase_if(out, [&, i = size_t{0}](const ItemRecord& r) mutable {
    return i++ >= from && m_duplicates.IsHidden(r.sourceKind, r.id);
  });
  SortListing(out, from);
  return s;
}

Status CProfessionalRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  if (outCount == nullptr) return kStatusInvalidParameter;
  if (folder == nullptr) {
    if (depth != 0) return kStatusInvalidParameter;
    int64_t total = 0;
    Status first = kStatusOk;
    for (IFileRecoveryParse* engine : Engines()) {
      if (engine == nullptr || engine->GetItemCount() == 0) continue;
      int32_t n = 0;
      if (Status s = engine->CountFiles(nullptr, 0, &n); s != kStatusOk && first == kStatusOk) first = s;
      total += n;
    }
    total -= static_cast<int64_t>(m_duplicates.HiddenCount());
    *outCount = static_cast<int32_t>(std::clamp<int64_t>(total, 0, INT32_MAX));
    return first;
  }
  const int32_t kind = folder->sourceKind;
  IFileRecoveryParse* engine = EngineOf(kind);
  if (engine == nullptr) return kStatusInvalidParameter;
  if (m_duplicates.HiddenCount(kind) == 0) return engine->CountFiles(folder, depth, outCount);
  // Some files of this engine are shown through another: count what is listed.
  struct Pending {
    ItemRecord folder;
    int32_t depth;
  };
  std::deque<Pending> queue{Pending{*folder, depth}};
  int64_t total = 0;
  std::vector<ItemRecord> children;
  while (!queue.empty()) {
    children.clear();
    const Pending next = queue.front();
    queue.pop_front();
    if (Status s = ListChildren(&next.folder, next.depth, children); s != kStatusOk) {
      *outCount = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
      return s;
    }
    for (const ItemRecord& child : children) {
      if (child.isFolder != 0) {
        queue.push_back(Pending{child, next.depth + 1});
      } else {
        ++total;
      }
    }
  }
  *outCount = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
  return kStatusOk;
}

uint64_t CProfessionalRecovery::GetItemCount() {
  uint64_t total = 0;
  for (IFileRecoveryParse* engine : Engines()) {
    if (engine != nullptr) total += engine->GetItemCount();
  }
  const uint64_t hidden = m_duplicates.HiddenCount();
  return total > hidden ? total - hidden : 0;
}

Status CProfessionalRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  if (item == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(item->sourceKind);
  if (engine == nullptr) return kStatusInvalidParameter;
  return engine->GetItemPath(item, out);
}

Status CProfessionalRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                          int32_t rootSeparatorCount) {
  if (item == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(item->sourceKind);
  if (engine == nullptr) return kStatusInvalidParameter;
  (void)engine->SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, engine == m_fast.get() ? 9 : 90);
  return engine->RecoverItem(item, destinationPath, rootSeparatorCount);
}

int32_t CProfessionalRecovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CProfessionalRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  m_searchFn = fn;
  m_searchUserData = userData;
  for (IFileRecoveryParse* engine : Engines()) {
    if (engine != nullptr) (void)engine->SetSearchCallback(fn, userData);
  }
  return kStatusOk;
}

int32_t CProfessionalRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  const size_t from = out.size();
  int32_t result = 1;
  for (IFileRecoveryParse* engine : Engines()) {
    if (engine == nullptr || engine->GetItemCount() == 0) continue;
    if (engine->Search(pattern, out) == 0) result = 0;
  }
  std::erase_if(out, [&, i = size_t{0}](const ItemRecord& r) mutable {
    return i++ >= from && m_duplicates.IsHidden(r.sourceKind, r.id);
  });
  SortListing(out, from);
  return result;
}

Status CProfessionalRecovery::BuildAllocationMap() {
  return kStatusOk;
}

Status CProfessionalRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                          uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (item == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(item->sourceKind);
  if (engine == nullptr) return kStatusInvalidParameter;
  return engine->ExtractItem(item, outTempPath, buffer, inoutLength, fn, userData);
}

int32_t CProfessionalRecovery::FragmentCount(const ItemRecord& item) {
  if (auto* fragments = dynamic_cast<IItemFragments*>(EngineOf(item.sourceKind))) {
    return fragments->FragmentCount(item);
  }
  return 1;
}

bool CProfessionalRecovery::Reassembled(const ItemRecord& item) {
  auto* fragments = dynamic_cast<IItemFragments*>(EngineOf(item.sourceKind));
  return fragments != nullptr && fragments->Reassembled(item);
}

bool CProfessionalRecovery::FirstDataByte(const ItemRecord& item, uint64_t* byteOffset) {
  if (EngineOf(item.sourceKind) == nullptr) return false;
  return FirstDataByteOf(item, SectorBytesOf(item.sourceKind), byteOffset);
}

uint64_t CProfessionalRecovery::VolumeFingerprint() {
  if (!m_isOpen) return 0;
  if (m_fast) {
    if (const uint64_t fingerprint = FastEngineFingerprint(*m_fast); fingerprint != 0) return fingerprint;
  }
  // No file system to ask: 64 KiB at 17 places spread over the volume.
  const uint32_t chunk = std::max<uint32_t>(1, 65536 / m_sectorBytes);
  std::vector<uint8_t> bytes(static_cast<size_t>(chunk) * m_sectorBytes);
  Hash64 hash;
  hash.Add(m_volumeStart);
  hash.Add(m_sectorCount);
  constexpr uint64_t kSamples = 17;
  for (uint64_t i = 0; i < kSamples; ++i) {
    const uint64_t span = m_sectorCount > chunk ? m_sectorCount - chunk : 0;
    const uint64_t at = span / (kSamples - 1) * i;
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(chunk, m_sectorCount - std::min(at, m_sectorCount)));
    if (count == 0) break;
    uint32_t got = 0;
    if (storage::ReadSectors(count, *m_source, bytes.data(), m_volumeStart + at, m_sectorBytes, &got) != kStatusOk) {
      return 0;
    }
    hash.Update(bytes.data(), static_cast<size_t>(count) * m_sectorBytes);
  }
  return hash.Value();
}

bool CProfessionalRecovery::NtfsSectorOf(uint64_t sector, uint64_t* ntfsSector) const {
  const uint32_t ntfsBytes = m_proNtfs.BytesPerSector();
  if (ntfsBytes == m_sectorBytes) {
    *ntfsSector = sector;
    return true;
  }
  const uint64_t byte = sector * m_sectorBytes;
  if (ntfsBytes == 0 || byte % ntfsBytes != 0) return false;
  *ntfsSector = byte / ntfsBytes;
  return true;
}

}  // namespace engine::deep
