// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/attributes.h"

#include <algorithm>

#include "engine/ntfs/attribute_list.h"

namespace engine::ntfs {

AttributeWalker::AttributeWalker(ByteView record, size_t end)
    : m_record(record), m_end(std::min(end, record.size())), m_pos(record.U16(kRecFirstAttribute)) {}

bool AttributeWalker::Next(AttributeRef* out) {
  // The first attribute cannot start inside the fixed header.
  if (m_pos < kRecBaseReference || m_pos >= m_end || m_end - m_pos < 4) return false;
  const uint32_t type = m_record.U32(m_pos);
  if (type == 0 || type >= 0xFDFDFDFDu) return false;
  if (m_end - m_pos < 8) return false;
  const size_t length = m_record.U32(m_pos + kAttrLength);
  if (length < 16 || length > m_end - m_pos) return false;
  out->type = type;
  out->offset = m_pos;
  out->bytes = m_record.Sub(m_pos, length);
  m_pos += length;
  return true;
}

ResidentValue ResidentValueOf(const AttributeRef& attribute) {
  ResidentValue value;
  const ByteView a = attribute.bytes;
  if (!attribute.IsResident() || !a.Has(0, kResHeaderBytes)) return value;
  const size_t offset = a.U16(kResValueOffset);
  const size_t length = a.U32(kResValueLength);
  if (offset < kResHeaderBytes || !a.Has(offset, length)) return value;
  value.bytes = a.Sub(offset, length);
  value.valid = true;
  return value;
}

namespace {

// First attribute of type in the record: the first unnamed one, else the first one.
bool FirstOfType(ByteView record, uint32_t type, AttributeRef* found, AttributeRef* list) {
  AttributeWalker walker(record, RecordWalkEnd(record));
  AttributeRef attr;
  bool haveAny = false;
  bool haveUnnamed = false;
  while (walker.Next(&attr)) {
    if (attr.type == kAttrAttributeList && list != nullptr && list->bytes.size() == 0) *list = attr;
    if (attr.type != type || haveUnnamed) continue;
    if (attr.IsUnnamed()) {
      *found = attr;
      haveAny = haveUnnamed = true;
    } else if (!haveAny) {
      *found = attr;
      haveAny = true;
    }
  }
  return haveAny;
}

Status ReadFixedRecordAt(NtfsVolume& volume, uint64_t recordSector, std::vector<uint8_t>& record) {
  Status s = ReadMftRecord(volume, recordSector, record);
  if (s != kStatusOk) return s;
  if (!HasFileSignature(ByteView(record.data(), record.size()))) return kNotFileRecord;
  if (!ApplyUpdateSequence(record.data(), record.size())) return kNotFileRecord;
  return kStatusOk;
}

}  // namespace

Status FindAttributeRunsInRecord(NtfsVolume& volume, ByteView record, uint64_t recordNumber, uint32_t type,
                                 std::vector<MftRun>& runs, AttributeInfo* info) {
  AttributeInfo local;
  AttributeInfo& result = info != nullptr ? *info : local;
  result = AttributeInfo{};
  AttributeRef list;
  AttributeRef first;
  const bool inBase = FirstOfType(record, type, &first, &list);
  if (list.bytes.size() != 0) {
    std::vector<MftRun> listed;
    AttributeInfo listedInfo;
    if (FollowAttributeList(volume, record, recordNumber, list, type, listed, &listedInfo)) {
      runs.insert(runs.end(), listed.begin(), listed.end());
      result = listedInfo;
      result.fromAttributeList = true;
      return kStatusOk;
    }
  }
  if (!inBase) return kAttributeAbsent;
  result.found = true;
  if (first.IsResident()) {
    result.resident = true;
    ResidentValue value = ResidentValueOf(first);
    result.realSize = value.valid ? static_cast<int64_t>(value.bytes.size()) : -1;
    return kStatusOk;
  }
  DecodeRunList(first.bytes, runs);
  if (first.LowestVcn() == 0 && first.bytes.Has(kNonResRealSize, 8)) {
    result.realSize = static_cast<int64_t>(first.bytes.U64(kNonResRealSize));
  }
  return kStatusOk;
}

Status ReadAttributeStream(NtfsVolume& volume, ByteView record, uint64_t recordNumber, uint32_t type, uint64_t maxBytes,
                           std::vector<uint8_t>& out) {
  out.clear();
  const NtfsVolumeGeometry& g = volume.geometry;
  AttributeRef attr;
  if (!FirstOfType(record, type, &attr, nullptr)) {
    AttributeRef list;
    if (!FirstOfType(record, kAttrAttributeList, &list, nullptr)) return kAttributeAbsent;
  } else if (attr.IsResident()) {
    ResidentValue value = ResidentValueOf(attr);
    if (!value.valid) return kAttributeAbsent;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(value.bytes.size(), maxBytes));
    out.assign(value.bytes.data(), value.bytes.data() + take);
    return kStatusOk;
  }
  std::vector<MftRun> runs;
  AttributeInfo info;
  if (Status s = FindAttributeRunsInRecord(volume, record, recordNumber, type, runs, &info); s != kStatusOk) return s;
  if (info.resident || info.realSize < 0 || volume.source == nullptr) return kAttributeAbsent;
  const uint64_t wanted = std::min<uint64_t>(static_cast<uint64_t>(info.realSize), maxBytes);
  const uint64_t clusterCount = g.ClusterCount();
  out.assign(static_cast<size_t>(std::min<uint64_t>(wanted, TotalClusters(runs) * g.clusterBytes)), 0);
  constexpr uint64_t kPieceBytes = 65536;
  const uint64_t pieceSectors = std::max<uint64_t>(1, kPieceBytes / g.bytesPerSector);
  std::vector<uint8_t> piece(static_cast<size_t>(pieceSectors * g.bytesPerSector));
  uint64_t at = 0;
  for (const PlacedRun& run : PlaceRuns(runs)) {
    if (at >= out.size()) break;
    const uint64_t runBytes = run.clusterCount * uint64_t{g.clusterBytes};
    if (run.isSparse) {
      at += runBytes;
      continue;
    }
    if (!run.isValid || run.startCluster >= clusterCount || run.clusterCount > clusterCount - run.startCluster) {
      break;  // the rest stays zero
    }
    const uint64_t firstSector = g.volumeStartSector + run.startCluster * g.sectorsPerCluster;
    const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
    for (uint64_t done = 0; done < runSectors && at < out.size();) {
      const auto count = static_cast<uint32_t>(std::min(pieceSectors, runSectors - done));
      uint32_t got = 0;
      (void)storage::ReadSectors(count, *volume.source, piece.data(), firstSector + done, g.bytesPerSector, &got);
      const uint64_t bytes = uint64_t{count} * g.bytesPerSector;
      const uint64_t take = std::min<uint64_t>(uint64_t{got} * g.bytesPerSector, out.size() - at);
      std::copy(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take),
                out.begin() + static_cast<std::ptrdiff_t>(at));
      at += bytes;
      done += count;
    }
  }
  return kStatusOk;
}

Status FindAttributeRuns(NtfsVolume& volume, uint64_t recordSector, uint32_t type, std::vector<MftRun>& runs,
                         AttributeInfo* info) {
  std::vector<uint8_t> record;
  Status s = ReadFixedRecordAt(volume, recordSector, record);
  if (s != kStatusOk) return s;
  ByteView view(record.data(), record.size());
  return FindAttributeRunsInRecord(volume, view, RecordNumberAt(volume, recordSector, view), type, runs, info);
}

Status ResidentDataInRecord(const NtfsVolumeGeometry& geometry, ByteView record, std::vector<uint8_t>& out) {
  AttributeRef attr;
  if (!FirstOfType(record, kAttrData, &attr, nullptr)) return kNoResidentData;
  if (!attr.IsResident()) return kNoResidentData;
  ResidentValue value = ResidentValueOf(attr);
  if (!value.valid || value.bytes.size() >= geometry.recordBytes) return kStatusInvalidParameter;
  out.assign(value.bytes.data(), value.bytes.data() + value.bytes.size());
  return kStatusOk;
}

Status ReadResidentData(NtfsVolume& volume, uint64_t recordSector, std::vector<uint8_t>& out, uint32_t* length) {
  out.clear();
  if (length != nullptr) *length = 0;
  std::vector<uint8_t> record;
  Status s = ReadFixedRecordAt(volume, recordSector, record);
  if (s == kNotFileRecord) return kNoResidentData;
  if (s != kStatusOk) return s;
  s = ResidentDataInRecord(volume.geometry, ByteView(record.data(), record.size()), out);
  if (s == kStatusOk && length != nullptr) *length = static_cast<uint32_t>(out.size());
  return s;
}

Status ReadDataSize(NtfsVolume& volume, uint64_t recordSector, int64_t* size) {
  std::vector<MftRun> runs;
  AttributeInfo info;
  Status s = FindAttributeRuns(volume, recordSector, kAttrData, runs, &info);
  if (s == kAttributeAbsent || (s == kStatusOk && info.realSize < 0)) return kStatusInvalidParameter;
  if (s != kStatusOk) return s;
  *size = info.realSize;
  return kStatusOk;
}

namespace {

Status LoadMftRunsFrom(NtfsVolume& volume, uint64_t recordSector) {
  volume.mftRuns.clear();
  std::vector<uint8_t> record;
  Status s = ReadFixedRecordAt(volume, recordSector, record);
  if (s != kStatusOk) return s;
  ByteView view(record.data(), record.size());
  AttributeRef data;
  if (!FirstOfType(view, kAttrData, &data, nullptr) || data.IsResident()) return kAttributeAbsent;
  // The base extent maps the first records, where the extension records of $MFT lie.
  std::vector<MftRun> baseRuns;
  DecodeRunList(data.bytes, baseRuns);
  volume.mftRuns = baseRuns;
  std::vector<MftRun> allRuns;
  s = FindAttributeRunsInRecord(volume, view, kMftRecord, kAttrData, allRuns);
  if (s == kStatusOk && TotalClusters(allRuns) > TotalClusters(baseRuns)) volume.mftRuns = std::move(allRuns);
  return s;
}

}  // namespace

Status LoadMftRuns(NtfsVolume& volume) {
  const Status s = LoadMftRunsFrom(volume, volume.geometry.mftStartSector);
  if (s == kStatusOk || volume.geometry.mftMirrorSector == 0) return s;
  // Record 0 is damaged or unreadable: $MFTMirr keeps a copy of it.
  if (LoadMftRunsFrom(volume, volume.geometry.mftMirrorSector) == kStatusOk) return kStatusOk;
  volume.mftRuns.clear();
  return s;
}

uint64_t RecordNumberAt(const NtfsVolume& volume, uint64_t recordSector, ByteView record) {
  const NtfsVolumeGeometry& g = volume.geometry;
  uint64_t before = 0;
  for (const PlacedRun& run : PlaceRuns(volume.mftRuns)) {
    const uint64_t runSectors = run.clusterCount * g.sectorsPerCluster;
    if (!run.isSparse && run.isValid) {
      const uint64_t first = g.volumeStartSector + run.startCluster * g.sectorsPerCluster;
      if (recordSector >= first && recordSector - first < runSectors) {
        const uint64_t relative = before + (recordSector - first);
        if (g.sectorsPerRecord != 0 && relative % g.sectorsPerRecord == 0) return relative / g.sectorsPerRecord;
      }
    }
    before += runSectors;
  }
  return record.U32(kRecNumber);
}

}  // namespace engine::ntfs
