// SPDX-License-Identifier: GPL-3.0-or-later
// Copy-out, preview extraction and the free-space map of CFastNtfsRecovery.
#include <algorithm>
#include <cstring>

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

Status CFastNtfsRecovery::BuildAllocationMap() {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  std::vector<uint8_t> record;
  if (Status s = ReadFixedRecordByNumber(m_volume, kBitmapRecord, record); s != kStatusOk) return s;
  ByteView view(record.data(), record.size());
  std::vector<MftRun> runs;
  AttributeInfo info;
  if (Status s = FindAttributeRunsInRecord(m_volume, view, kBitmapRecord, kAttrData, runs, &info); s != kStatusOk) {
    return s;
  }
  if (info.realSize < 0) return kStatusInvalidParameter;
  // Never more than the volume's clusters need, whatever the record claims.
  const uint64_t needed = (g.ClusterCount() + 7) / 8 + 8;
  uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(info.realSize), needed);
  std::vector<uint8_t> bitmap;
  if (info.resident) {
    if (ResidentDataInRecord(g, view, bitmap) != kStatusOk) return kStatusInvalidParameter;
    bitmap.resize(std::min<uint64_t>(bitmap.size(), bytes));
  } else {
    bytes = std::min<uint64_t>(bytes, TotalClusters(runs) * g.clusterBytes);
    bitmap.assign(bytes, 0);
    uint64_t at = 0;
    std::vector<uint8_t> cluster(g.clusterBytes);
    for (const PlacedRun& run : PlaceRuns(runs)) {
      if (at >= bytes) break;
      const uint64_t runBytes = run.clusterCount * uint64_t{g.clusterBytes};
      if (run.isSparse) {
        at += runBytes;
        continue;
      }
      if (!run.isValid || run.startCluster >= g.ClusterCount()) break;  // the rest stays free
      for (uint64_t c = 0; c < run.clusterCount && at < bytes && run.startCluster + c < g.ClusterCount(); ++c) {
        uint32_t got = 0;
        const uint64_t sector = g.volumeStartSector + (run.startCluster + c) * g.sectorsPerCluster;
        if (storage::ReadSectors(g.sectorsPerCluster, m_source, cluster.data(), sector, g.bytesPerSector, &got) ==
            kStatusOk) {
          const uint64_t take = std::min<uint64_t>(cluster.size(), bytes - at);
          std::memcpy(bitmap.data() + at, cluster.data(), take);
        }
        at += g.clusterBytes;
      }
    }
  }
  m_bitmap.Assign(std::move(bitmap));
  return kStatusOk;
}

int32_t CFastNtfsRecovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr) return 1;
  const NtfsVolumeGeometry& g = m_volume.geometry;
  return m_bitmap.NextFreeExtent(m_isOpen ? g.sectorCount : 0, g.sectorsPerCluster, inoutSector, outSectorCount);
}

}  // namespace engine::ntfs
