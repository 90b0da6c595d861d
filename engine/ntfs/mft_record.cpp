// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/mft_record.h"

#include <cstring>

namespace engine::ntfs {

bool ApplyUpdateSequence(uint8_t* record, size_t recordBytes) {
  if (record == nullptr || recordBytes < kFixupStride || recordBytes % kFixupStride != 0) return false;
  ByteView view(record, recordBytes);
  const size_t offset = view.U16(kRecUsaOffset);
  const size_t count = view.U16(kRecUsaCount);
  if (count != recordBytes / kFixupStride + 1 || offset < 0x28 || offset % 2 != 0) return false;
  if (!view.Has(offset, count * 2) || offset + count * 2 > kFixupStride - 2) return false;
  for (size_t i = 1; i < count; ++i) {
    const size_t tail = i * kFixupStride - 2;
    std::memcpy(record + tail, record + offset + 2 * i, 2);
  }
  return true;
}

bool IsSameIncarnation(ByteView record, uint16_t referenceSequence) {
  if (referenceSequence == 0) return true;
  const uint16_t sequence = record.U16(kRecSequence);
  if (sequence == referenceSequence) return true;
  if ((record.U16(kRecFlags) & kRecordInUse) != 0) return false;
  uint16_t next = static_cast<uint16_t>(referenceSequence + 1);
  if (next == 0) next = 1;  // sequence 0 is skipped when the number wraps
  return sequence == next;
}

bool IsPlausibleFileRecord(ByteView bytes, uint32_t recordBytes) {
  if (!bytes.Has(0, 512)) return false;
  return HasFileSignature(bytes) && bytes.U32(kRecBytesInUse) <= recordBytes &&
         bytes.U32(kRecBytesAllocated) == recordBytes && bytes.U16(kRecUpdateSequence) == bytes.U16(0x1FE);
}

size_t RecordWalkEnd(ByteView record) {
  const size_t inUse = record.U32(kRecBytesInUse);
  const size_t first = record.U16(kRecFirstAttribute);
  return (inUse > first && inUse <= record.size()) ? inUse : record.size();
}

std::optional<uint64_t> MftStreamSector(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs,
                                        uint64_t relativeSector) {
  uint64_t before = 0;
  for (const PlacedRun& run : PlaceRuns(runs)) {
    const uint64_t runSectors = run.clusterCount * geometry.sectorsPerCluster;
    if (relativeSector >= before && relativeSector - before < runSectors) {
      if (run.isSparse || !run.isValid || run.startCluster >= geometry.ClusterCount()) return std::nullopt;
      return geometry.volumeStartSector + run.startCluster * geometry.sectorsPerCluster + (relativeSector - before);
    }
    before += runSectors;
  }
  return std::nullopt;
}

uint64_t MftRecordToSector(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs, uint64_t recordNumber) {
  if (recordNumber > (~uint64_t{0}) / 16) return geometry.volumeStartSector;
  auto sector = MftStreamSector(geometry, runs, recordNumber * geometry.sectorsPerRecord);
  return sector ? *sector : geometry.volumeStartSector;
}

uint64_t MftRecordCount(const NtfsVolumeGeometry& geometry, const std::vector<MftRun>& runs) {
  if (geometry.sectorsPerRecord == 0) return 0;
  return TotalClusters(runs) * geometry.sectorsPerCluster / geometry.sectorsPerRecord;
}

Status ReadMftRecord(NtfsVolume& volume, uint64_t sector, std::vector<uint8_t>& record) {
  const NtfsVolumeGeometry& g = volume.geometry;
  record.assign(g.recordBytes, 0);
  if (volume.source == nullptr) return kStatusInvalidParameter;
  uint32_t got = 0;
  return storage::ReadSectors(g.sectorsPerRecord, *volume.source, record.data(), sector, g.bytesPerSector, &got);
}

Status ReadMftRecordByNumber(NtfsVolume& volume, uint64_t recordNumber, std::vector<uint8_t>& record) {
  const NtfsVolumeGeometry& g = volume.geometry;
  record.assign(g.recordBytes, 0);
  if (volume.source == nullptr) return kStatusInvalidParameter;
  if (recordNumber >= MftRecordCount(g, volume.mftRuns)) return kNotFileRecord;
  const uint64_t first = recordNumber * g.sectorsPerRecord;
  uint32_t done = 0;
  while (done < g.sectorsPerRecord) {
    auto sector = MftStreamSector(g, volume.mftRuns, first + done);
    if (!sector) return kNotFileRecord;
    // Extend over the sectors that follow on disk as well.
    uint32_t count = 1;
    while (done + count < g.sectorsPerRecord) {
      auto next = MftStreamSector(g, volume.mftRuns, first + done + count);
      if (!next || *next != *sector + count) break;
      ++count;
    }
    uint32_t got = 0;
    Status s = storage::ReadSectors(count, *volume.source, record.data() + size_t{done} * g.bytesPerSector, *sector,
                                    g.bytesPerSector, &got);
    if (s != kStatusOk) return s;
    done += count;
  }
  return kStatusOk;
}

Status ReadFixedRecordByNumber(NtfsVolume& volume, uint64_t recordNumber, std::vector<uint8_t>& record) {
  Status s = ReadMftRecordByNumber(volume, recordNumber, record);
  if (s != kStatusOk) return s;
  if (!HasFileSignature(ByteView(record.data(), record.size()))) return kNotFileRecord;
  if (!ApplyUpdateSequence(record.data(), record.size())) return kNotFileRecord;
  return kStatusOk;
}

}  // namespace engine::ntfs
