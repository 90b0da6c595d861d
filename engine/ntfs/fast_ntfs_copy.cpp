// SPDX-License-Identifier: GPL-3.0-or-later
// Copy-out, preview extraction and the free-space map of CFastNtfsRecovery.
#include <algorithm>
#include <cstring>

#include "engine/hash64.h"
#include "engine/ntfs/attributes.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/mft_record.h"

namespace engine::ntfs {
Status CFastNtfsRecovery::ReadItemRecord(const ItemRecord& item, std::vector<uint8_t>& record, uint64_t* recordNumber) {
  const NtfsVolumeGeometry& g = m_volume.geometry;
  const auto locator = static_cast<uint32_t>(item.locator);
  if (item.locator >= 0 && MftRecordToSector(g, m_volume.mftRuns, locator) == item.entrySector) {
    *recordNumber = locator;
    return ReadFixedRecordByNumber(m_volume, locator, record);
  }
  if (Status s = ReadMftRecord(m_volume, item.entrySector, record); s != kStatusOk) return s;
  ByteView view(record.data(), record.size());
  if (!HasFileSignature(view) || !ApplyUpdateSequence(record.data(), record.size())) return kNotFileRecord;
  *recordNumber = RecordNumberAt(m_volume, item.entrySector, view);
  return kStatusOk;
}

Status CFastNtfsRecovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                       const CopyProgress& progress) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  std::vector<uint8_t> record;
  uint64_t recordNumber = 0;
  Status status = ReadItemRecord(item, record, &recordNumber);
  if (status < 0) return byteCount == 0 ? kStatusOk : kStatusReadFault;  // no longer a file record
  if (status != kStatusOk) return status;
  return ntfs::CopyItemData(m_volume, ByteView(record.data(), record.size()), recordNumber, item, byteCount, sink,
                            progress);
}

int32_t CFastNtfsRecovery::FragmentCount(const ItemRecord& item) {
  if (!m_isOpen || item.isFolder != 0) return 1;
  std::vector<uint8_t> record;
  uint64_t recordNumber = 0;
  if (ReadItemRecord(item, record, &recordNumber) != kStatusOk) return 1;
  return ntfs::CountDataRuns(m_volume, ByteView(record.data(), record.size()), recordNumber);
}

Status CFastNtfsRecovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CFastNtfsRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                      int32_t rootSeparatorCount) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CFastNtfsRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                      uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

Status CFastNtfsRecovery::ReadBitmapStreams(std::vector<uint8_t>* volumeBitmap, std::vector<uint8_t>* mftBitmap) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  std::vector<uint8_t> record;
  if (volumeBitmap != nullptr) {
    if (Status s = ReadFixedRecordByNumber(m_volume, kBitmapRecord, record); s != kStatusOk) return s;
    // Never more than the volume's clusters need, whatever the record claims.
    const uint64_t needed = (g.ClusterCount() + 7) / 8 + 8;
    if (Status s = ReadAttributeStream(m_volume, ByteView(record.data(), record.size()), kBitmapRecord, kAttrData,
                                       needed, *volumeBitmap);
        s != kStatusOk) {
      return s < 0 ? kStatusInvalidParameter : s;
    }
  }
  if (mftBitmap != nullptr) {
    if (Status s = ReadFixedRecordByNumber(m_volume, kMftRecord, record); s != kStatusOk) return s;
    const uint64_t needed = MftRecordCount(g, m_volume.mftRuns) / 8 + 8;
    if (Status s = ReadAttributeStream(m_volume, ByteView(record.data(), record.size()), kMftRecord, kAttrBitmap,
                                       needed, *mftBitmap);
        s != kStatusOk) {
      return s < 0 ? kStatusInvalidParameter : s;
    }
  }
  return kStatusOk;
}

Status CFastNtfsRecovery::BuildAllocationMap() {
  std::vector<uint8_t> bitmap;
  if (Status s = ReadBitmapStreams(&bitmap, nullptr); s != kStatusOk) return s;
  m_bitmap.Assign(std::move(bitmap));
  return kStatusOk;
}

Status CFastNtfsRecovery::VolumeFingerprint(uint64_t* out) {
  std::vector<uint8_t> volumeBitmap, mftBitmap;
  if (Status s = ReadBitmapStreams(&volumeBitmap, &mftBitmap); s != kStatusOk) return s;
  Hash64 hash;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  hash.Add(g.volumeStartSector);
  hash.Add(g.sectorCount);
  hash.Add(g.mftStartSector);
  hash.Update(volumeBitmap.data(), volumeBitmap.size());
  hash.Update(mftBitmap.data(), mftBitmap.size());
  *out = hash.Value();
  return kStatusOk;
}

int32_t CFastNtfsRecovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr) return 1;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  return m_bitmap.NextFreeExtent(m_isOpen ? g.sectorCount : 0, g.sectorsPerCluster, inoutSector, outSectorCount);
}

}  // namespace engine::ntfs
