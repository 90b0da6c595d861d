// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/item_data_copy.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/mft_record.h"

namespace engine::ntfs {
namespace {

constexpr uint64_t kPieceBytes = 65536;

struct RunCopy {
  NtfsVolume& volume;
  ICopySink& sink;
  const CopyProgress& progress;
  uint64_t total;
  uint64_t done = 0;

  Status Hand(const uint8_t* data, uint64_t length) {
    const uint64_t take = std::min(length, total - done);
    if (Status s = sink.Write(data, static_cast<size_t>(take)); s != kStatusOk) return s;
    done += take;
    if (progress) return progress(done, total);
    return kStatusOk;
  }
};

}  // namespace

Status CopyItemData(NtfsVolume& volume, ByteView record, uint64_t recordNumber, const ItemRecord& item,
                    uint64_t byteCount, ICopySink& sink, const CopyProgress& progress, DataPlacement* placement) {
  DataPlacement localPlacement = DataPlacement::kNone;
  DataPlacement& where = placement != nullptr ? *placement : localPlacement;
  where = DataPlacement::kNone;
  const NtfsVolumeGeometry& g = volume.geometry;

  std::vector<uint8_t> value;
  Status s = ResidentDataInRecord(g, record, value);
  if (s == kStatusOk) {
    where = DataPlacement::kResident;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(byteCount, value.size()));
    if (Status w = sink.Write(value.data(), take); w != kStatusOk) return w;
    return take < byteCount ? kStatusReadFault : kStatusOk;
  }
  if (s != kNoResidentData) return kStatusReadFault;

  std::vector<MftRun> runs;
  AttributeInfo info;
  s = FindAttributeRunsInRecord(volume, record, recordNumber, kAttrData, runs, &info);
  if (byteCount == 0) return kStatusOk;
  if (s != kStatusOk || info.resident || volume.source == nullptr) return kStatusReadFault;
  where = DataPlacement::kRuns;

  const int64_t clusterBytes = item.clusterBytes;
  if (clusterBytes <= 0 || clusterBytes > kMaxClusterBytes || clusterBytes % g.bytesPerSector != 0) {
    return kStatusWriteFault;
  }
  const uint64_t sectorsPerCluster = static_cast<uint64_t>(clusterBytes) / g.bytesPerSector;
  const uint64_t volumeEnd = g.volumeStartSector + g.sectorCount;
  RunCopy copy{volume, sink, progress, byteCount};
  std::vector<uint8_t> piece(kPieceBytes);
  for (const PlacedRun& run : PlaceRuns(runs)) {
    if (copy.done >= byteCount) break;
    const uint64_t runBytes = run.clusterCount * static_cast<uint64_t>(clusterBytes);
    if (run.isSparse) {
      std::fill(piece.begin(), piece.end(), 0);
      for (uint64_t at = 0; at < runBytes && copy.done < byteCount; at += kPieceBytes) {
        if (Status w = copy.Hand(piece.data(), std::min(kPieceBytes, runBytes - at)); w != kStatusOk) return w;
      }
      continue;
    }
    if (!run.isValid || run.startCluster > (volumeEnd / sectorsPerCluster)) return kStatusInvalidParameter;
    const uint64_t firstSector = item.volumeStartSector + run.startCluster * sectorsPerCluster;
    const uint64_t runSectors = run.clusterCount * sectorsPerCluster;
    if (firstSector < item.volumeStartSector || firstSector > volumeEnd || runSectors > volumeEnd - firstSector) {
      return kStatusInvalidParameter;
    }
    for (uint64_t at = 0; at < runSectors && copy.done < byteCount;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(kPieceBytes / g.bytesPerSector, runSectors - at));
      uint32_t got = 0;
      Status r = storage::ReadSectors(count, *volume.source, piece.data(), firstSector + at, g.bytesPerSector, &got);
      if (r != kStatusOk) return r;
      if (got == 0) return kStatusReadFault;
      if (Status w = copy.Hand(piece.data(), uint64_t{got} * g.bytesPerSector); w != kStatusOk) return w;
      at += got;
    }
  }
  return copy.done < byteCount ? kStatusReadFault : kStatusOk;
}

int32_t CountDataRuns(NtfsVolume& volume, ByteView record, uint64_t recordNumber) {
  std::vector<uint8_t> value;
  if (ResidentDataInRecord(volume.geometry, record, value) == kStatusOk) return 1;
  std::vector<MftRun> runs;
  AttributeInfo info;
  if (FindAttributeRunsInRecord(volume, record, recordNumber, kAttrData, runs, &info) != kStatusOk || info.resident) {
    return 1;
  }
  int32_t count = 0;
  uint64_t end = 0;  // the cluster after the last run counted
  bool any = false;
  for (const PlacedRun& run : PlaceRuns(runs)) {
    if (run.isSparse || run.clusterCount == 0) continue;
    if (!any || run.startCluster != end) count = count < INT32_MAX ? count + 1 : count;
    any = true;
    end = run.startCluster + run.clusterCount;
  }
  return std::max<int32_t>(count, 1);
}

}  // namespace engine::ntfs
