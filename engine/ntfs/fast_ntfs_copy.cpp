// SPDX-License-Identifier: GPL-3.0-or-later
// Copy-out, preview extraction and the free-space map of CFastNtfsRecovery.
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

#include "engine/categories.h"
#include "engine/ntfs/attributes.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/mft_record.h"
#include "engine/output_path.h"
#include "engine/safe_name.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"

namespace engine::ntfs {
namespace {

constexpr size_t kMaxTempPathUnits = 260;

class FileSink final : public DataSink {
 public:
  explicit FileSink(platform::OutputFile& file) : m_file(file) {}
  Status Write(const uint8_t* data, size_t length) override {
    if (length == 0) return kStatusOk;
    Status s = m_file.WriteAt(m_offset, data, length);
    if (s == kStatusOk) m_offset += length;
    return s;
  }

 private:
  platform::OutputFile& m_file;
  uint64_t m_offset = 0;
};

class BufferSink final : public DataSink {
 public:
  BufferSink(uint8_t* buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}
  Status Write(const uint8_t* data, size_t length) override {
    const size_t take = std::min(length, m_capacity - m_used);
    if (take != 0) std::memcpy(m_buffer + m_used, data, take);
    m_used += take;
    return kStatusOk;
  }
  size_t Used() const { return m_used; }

 private:
  uint8_t* m_buffer;
  size_t m_capacity;
  size_t m_used = 0;
};

// Number of "\\" or "/" among all characters of path except its last.
int32_t Percent(uint64_t done, uint64_t total) {
  return total == 0 ? 100 : static_cast<int32_t>(std::min<uint64_t>(100, done * 100 / total));
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

int32_t CFastNtfsRecovery::ReportCopy(int32_t percent, Status status, const std::string& path) {
  return m_copyFn != nullptr ? m_copyFn(m_userData, percent, 100, status, path.c_str()) : 0;
}

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

Status CFastNtfsRecovery::CopyFileTo(const ItemRecord& item, const std::string& path) {
  platform::OutputFile out;
  if (Status s = out.Open(path, platform::OutputFile::Mode::kCreateTruncate); s != kStatusOk) {
    ReportCopy(100, s, path);
    return s;
  }
  std::vector<uint8_t> record;
  uint64_t recordNumber = 0;
  Status status = ReadItemRecord(item, record, &recordNumber);
  DataPlacement placement = DataPlacement::kNone;
  if (status == kStatusOk) {
    FileSink sink(out);
    const uint64_t size = item.size;
    PieceProgress progress = [&](uint64_t done, uint64_t total) {
      return ReportCopy(Percent(done, total), kStatusOk, path);
    };
    status = CopyItemData(m_volume, ByteView(record.data(), record.size()), recordNumber, item, size, sink, progress,
                          &placement);
  } else if (status < 0) {
    status = item.size == 0 ? kStatusOk : kStatusReadFault;  // the record is no longer a file record
  }
  const Status closed = out.Close();
  if (status == kStatusOk) status = closed;
  if (status != kStatusOk) {
    // Never leave a file that looks recovered but is short or wrong.
    (void)platform::RemoveFile(path);
    if (status > 0) ReportCopy(100, status, path);
    return status;
  }
  if (placement == DataPlacement::kResident) ReportCopy(100, kStatusOk, path);
  return kStatusOk;
}

Status CFastNtfsRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                      int32_t rootSeparatorCount) {
  if (item == nullptr || destinationPath.empty()) return kStatusInvalidParameter;
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  if (item->isFolder == 0) {
    const std::string parent = ParentFolder(destinationPath);
    if (!parent.empty() && !platform::IsDirectory(parent)) {
      if (Status s = platform::CreateDirectories(parent); s != kStatusOk) return s;
    }
    return CopyFileTo(*item, destinationPath);
  }
  if (Status s = platform::CreateDirectories(destinationPath); s != kStatusOk) return s;
  const int32_t depth = std::max(0, SeparatorCount(destinationPath) - rootSeparatorCount);
  return CopyFolderTo(*item, destinationPath, depth);
}

Status CFastNtfsRecovery::CopyFolderTo(const ItemRecord& folder, const std::string& destination, int32_t depth) {
  std::deque<FolderJob> queue;
  queue.push_back({folder, destination, depth});
  std::set<uint64_t> listedKeys;
  // The first failure is the result; the copy goes on with the other children.
  Status firstFailure = kStatusOk;
  auto note = [&firstFailure](Status s) {
    if (firstFailure == kStatusOk) firstFailure = s;
  };
  while (!queue.empty()) {
    FolderJob job = std::move(queue.front());
    queue.pop_front();
    if (!listedKeys.insert(store::FolderKey(static_cast<uint32_t>(job.depth), static_cast<uint32_t>(job.record.locator)))
             .second) {
      continue;
    }
    std::vector<ItemRecord> children;
    if (Status s = ListChildren(&job.record, job.depth, children); s != kStatusOk) {
      note(s);
      continue;
    }
    for (const ItemRecord& child : children) {
      const std::string path = FreeChildPath(job.destination, SafeNameComponent(child.Name()));
      if (child.isFolder != 0) {
        if (Status s = platform::CreateDirectories(path); s != kStatusOk) {
          note(s);
          continue;
        }
        queue.push_back({child, path, job.depth + 1});
        continue;
      }
      Status s = CopyFileTo(child, path);
      if (s == kStatusCancelled) return s;
      if (s != kStatusOk) note(s);
    }
  }
  return firstFailure;
}

Status CFastNtfsRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                      uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  outTempPath.clear();
  auto report = [&](int32_t percent, Status status) { return fn != nullptr ? fn(userData, percent, status) : 0; };
  if (item == nullptr) {
    report(100, kStatusInvalidParameter);
    return kStatusInvalidParameter;
  }
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  const uint32_t capacity = (inoutLength != nullptr && buffer != nullptr) ? *inoutLength : 0;
  if (inoutLength != nullptr) *inoutLength = 0;

  const std::string folder = platform::ScanLogFolder();
  std::string path;
  switch (PreviewKindOf(item->Name())) {
    case PreviewKind::kDocument: path = folder + SafeNameComponent(item->Name()); break;
    case PreviewKind::kVideo: path = folder + "tmp.avi"; break;
    case PreviewKind::kPhoto: path = folder + "tmp.jpg"; break;
    case PreviewKind::kNone: break;
  }
  if (!path.empty() && platform::Utf8ToUtf16(path).size() >= kMaxTempPathUnits) path.clear();

  platform::OutputFile file;
  if (!path.empty()) {
    Status s = platform::CreateDirectories(folder);
    if (s == kStatusOk) {
      (void)platform::RemoveFile(path);
      s = file.Open(path, platform::OutputFile::Mode::kCreateTruncate);
    }
    if (s != kStatusOk) {
      report(100, s);
      return s;
    }
  }

  std::vector<uint8_t> record;
  uint64_t recordNumber = 0;
  Status status = ReadItemRecord(*item, record, &recordNumber);
  const uint64_t size = item->size;  // a copy: the record's fields are not aligned
  const uint64_t limit = path.empty() ? std::min<uint64_t>(size, capacity) : size;
  DataPlacement placement = DataPlacement::kNone;
  BufferSink bufferSink(buffer, capacity);
  FileSink fileSink(file);
  if (status == kStatusOk) {
    PieceProgress progress = [&](uint64_t done, uint64_t total) { return report(Percent(done, total), kStatusOk); };
    DataSink& sink = path.empty() ? static_cast<DataSink&>(bufferSink) : static_cast<DataSink&>(fileSink);
    status = CopyItemData(m_volume, ByteView(record.data(), record.size()), recordNumber, *item, limit, sink, progress,
                          &placement);
  } else if (status < 0) {
    status = limit == 0 ? kStatusOk : kStatusReadFault;
  }
  if (file.IsOpen()) {
    const Status closed = file.Close();
    if (status == kStatusOk) status = closed;
  }
  if (status > 0) report(100, status);
  if (status != kStatusOk) {
    if (!path.empty()) (void)platform::RemoveFile(path);
    return status;
  }
  if (placement != DataPlacement::kRuns || limit == 0) report(100, kStatusOk);
  if (path.empty()) {
    if (inoutLength != nullptr) *inoutLength = static_cast<uint32_t>(bufferSink.Used());
  } else {
    outTempPath = path;
  }
  return kStatusOk;
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
