// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/attribute_list.h"

#include <algorithm>

namespace engine::ntfs {
namespace {

// The list's bytes: its resident value, or its clusters read from the volume
// (at most kMaxAttributeListBytes, cut to the list's real size).
bool ListBytes(NtfsVolume& volume, const AttributeRef& list, std::vector<uint8_t>& storage, ByteView* out) {
  if (list.IsResident()) {
    ResidentValue value = ResidentValueOf(list);
    if (!value.valid) return false;
    *out = value.bytes;
    return true;
  }
  const NtfsVolumeGeometry& g = volume.geometry;
  const auto realSize = static_cast<int64_t>(list.bytes.U64(kNonResRealSize));
  if (realSize <= 0 || volume.source == nullptr) return false;
  const size_t wanted = static_cast<size_t>(std::min<int64_t>(realSize, kMaxAttributeListBytes));
  std::vector<MftRun> runs;
  DecodeRunList(list.bytes, runs);
  storage.clear();
  std::vector<uint8_t> cluster(g.clusterBytes);
  for (const PlacedRun& run : PlaceRuns(runs)) {
    for (uint64_t c = 0; c < run.clusterCount && storage.size() < wanted; ++c) {
      if (run.isSparse) {
        std::fill(cluster.begin(), cluster.end(), 0);
      } else {
        if (!run.isValid || run.startCluster + c >= g.ClusterCount()) return false;
        uint32_t got = 0;
        const uint64_t sector = g.volumeStartSector + (run.startCluster + c) * g.sectorsPerCluster;
        if (storage::ReadSectors(g.sectorsPerCluster, *volume.source, cluster.data(), sector, g.bytesPerSector, &got) !=
            kStatusOk) {
          return false;
        }
      }
      const size_t take = std::min(cluster.size(), wanted - storage.size());
      storage.insert(storage.end(), cluster.begin(), cluster.begin() + static_cast<std::ptrdiff_t>(take));
    }
    if (storage.size() >= wanted) break;
  }
  *out = ByteView(storage.data(), storage.size());
  return true;
}

// The extent of (type, unnamed, lowestVcn) in a fixed-up record.
bool FindExtent(ByteView record, uint32_t type, int64_t lowestVcn, AttributeRef* out) {
  AttributeWalker walker(record, RecordWalkEnd(record));
  AttributeRef attr;
  while (walker.Next(&attr)) {
    if (attr.type == type && attr.IsUnnamed() && attr.LowestVcn() == lowestVcn) {
      *out = attr;
      return true;
    }
  }
  return false;
}

}  // namespace

bool FollowAttributeList(NtfsVolume& volume, ByteView record, uint64_t recordNumber, const AttributeRef& list,
                         uint32_t type, std::vector<MftRun>& runs, AttributeInfo* info) {
  std::vector<uint8_t> listStorage;
  ByteView entries;
  if (!ListBytes(volume, list, listStorage, &entries)) return false;

  AttributeInfo result;
  std::vector<uint8_t> extension;
  int64_t nextVcn = 0;
  size_t pos = 0;
  while (entries.Has(pos, kListEntryMinBytes)) {
    const uint32_t entryType = entries.U32(pos);
    const size_t length = entries.U16(pos + kListEntryLength);
    if (entryType == 0 || entryType == kAttrEnd || length < kListEntryMinBytes || !entries.Has(pos, length)) break;
    const size_t entry = pos;
    pos += length;
    if (entryType != type || entries.U8(entry + kListNameLength) != 0) continue;

    const auto vcn = static_cast<int64_t>(entries.U64(entry + kListStartVcn));
    if (vcn != nextVcn) break;
    const uint64_t holder = ReferenceRecord(entries.U64(entry + kListRecord));
    ByteView holderRecord = record;
    if (holder != recordNumber) {
      if (ReadFixedRecordByNumber(volume, holder, extension) != kStatusOk) break;
      holderRecord = ByteView(extension.data(), extension.size());
      if (ReferenceRecord(holderRecord.U64(kRecBaseReference)) != recordNumber) break;
    }
    AttributeRef extent;
    if (!FindExtent(holderRecord, type, vcn, &extent)) break;
    result.found = true;
    if (extent.IsResident()) {
      // A resident attribute is whole in one piece: it has no runs.
      result.resident = vcn == 0;
      ResidentValue value = ResidentValueOf(extent);
      if (vcn == 0 && value.valid) result.realSize = static_cast<int64_t>(value.bytes.size());
      break;
    }
    std::vector<MftRun> extentRuns;
    DecodeRunList(extent.bytes, extentRuns);
    AppendExtentRuns(runs, extentRuns);
    if (vcn == 0) result.realSize = static_cast<int64_t>(extent.bytes.U64(kNonResRealSize));
    const auto highest = static_cast<int64_t>(extent.bytes.U64(kNonResHighestVcn));
    if (highest < vcn || highest == INT64_MAX) break;
    nextVcn = highest + 1;
  }
  if (result.found && info != nullptr) *info = result;
  return result.found;
}

}  // namespace engine::ntfs
