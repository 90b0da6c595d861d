// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fast_fat_recovery.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "engine/categories.h"
#include "engine/fat/fat_copy_out.h"
#include "engine/fat/fat_directory_walk.h"
#include "engine/output_path.h"
#include "engine/safe_name.h"
#include "platform/folders.h"
#include "platform/raw_file.h"

namespace engine::fat {
namespace {

// Percent values of the scan report while the walk runs stay below the 80
// reported when it ends.
constexpr int32_t kWalkPercentCeiling = 79;
// Longest temporary preview path that is used.
constexpr size_t kMaxTempPathBytes = 4095;

std::string ParentFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string WithoutFinalSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

int32_t Percent(uint64_t done, uint64_t total) {
  return total == 0 ? 100 : static_cast<int32_t>(done * 100 / total);
}

}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;
CFastFatRecovery::~CFastFatRecovery() = default;

Status CFastFatRecovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  const uint64_t bytes = source.totalSectors * 512;
  return OpenVolume(std::move(source), 512, 0, bytes, driveLetter);
}

Status CFastFatRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  const uint64_t units = sectorCount != 0                    ? sectorCount
                         : source.totalSectors > startSector ? source.totalSectors - startSector
                                                             : 0;
  return OpenVolume(std::move(source), unit, startSector, units * unit, driveLetter);
}

Status CFastFatRecovery::OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                    uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  const uint64_t units = sectorCount != 0                    ? sectorCount
                         : source.totalSectors > startSector ? source.totalSectors - startSector
                                                             : 0;
  return OpenVolume(std::move(source), 512, startSector, units * 512, driveLetter);
}

Status CFastFatRecovery::OpenVolume(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit,
                                    uint64_t volumeBytes, uint16_t driveLetter) {
  m_reader.Attach(std::move(source), unitBytes, startUnit, volumeBytes);
  m_driveLetter = driveLetter;
  std::vector<uint8_t> bootSector(boot::kBootBytes, 0);
  const size_t bootBytes = static_cast<size_t>(std::min<uint64_t>(bootSector.size(), m_reader.VolumeBytes()));
  Status s = bootBytes < 512 ? kStatusReadFault : m_reader.Read(0, bootSector.data(), bootBytes);
  if (s == kStatusOk &&
      !ParseFatBootSector(ByteView(bootSector.data(), bootBytes), m_reader.VolumeBytes(), &m_geometry)) {
    s = kStatusInvalidParameter;
  }
  if (s == kStatusOk) s = m_fat.Load(m_reader, m_geometry);
  if (s != kStatusOk) {
    m_reader.Close();
    m_fat = FatTable();
    return s;
  }
  m_geometryValid = true;
  m_opened = true;
  return kStatusOk;
}

Status CFastFatRecovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                              int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

std::string CFastFatRecovery::StoreBaseName() const {
  return m_store ? m_store->BaseName() : std::string();
}

uint64_t CFastFatRecovery::RootFolderKey() const {
  return m_geometryValid && m_geometry.type == FatType::kFat32 ? store::FolderKey(0, m_geometry.rootCluster) : 0;
}

Status CFastFatRecovery::Scan(const char* previousName) {
  m_store = std::make_unique<store::ScanStore>();
  if (m_searchFn != nullptr) m_store->SetSearchCallback(m_searchFn, m_searchUserData);
  if (previousName != nullptr) return m_store->OpenStore(previousName);
  const auto volumeStart = static_cast<int64_t>(m_reader.VolumeStartUnit());
  if (Status s = m_store->OpenStore(store::MakeLogBaseName(store::kFastLogPrefix, volumeStart)); s != kStatusOk) return s;
  if (!HasVolume()) return kStatusInvalidParameter;
  return WalkVolume();
}

Status CFastFatRecovery::WalkVolume() {
  FatDirectoryWalk walk(m_reader, m_fat, *m_store, m_driveLetter);
  auto report = [&](int32_t percent, int32_t remainingSeconds) -> int32_t {
    if (m_scanFn == nullptr) return 0;
    return m_scanFn(m_userData, percent, m_weight, remainingSeconds, 0, 0, walk.FilesRecorded(), 0);
  };
  using Clock = std::chrono::steady_clock;
  auto lastReport = Clock::now();
  int32_t percent = 1;
  int32_t countdown = 100;
  int32_t slowPercent = 20;
  Status status = report(percent, -1);
  if (status == kStatusOk) {
    status = walk.WalkAll([&]() -> int32_t {
      const auto now = Clock::now();
      if (std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReport).count() < m_reportIntervalMs) {
        return 0;
      }
      lastReport = now;
      if (m_weight == 100) {
        percent = std::min(percent + 1, kWalkPercentCeiling);
        countdown = std::max(countdown - 1, 1);
        return report(percent, countdown);
      }
      slowPercent = std::min(slowPercent + 1, kWalkPercentCeiling);
      return report(slowPercent, -1);
    });
  }
  if (status == kStatusOk) status = report(80, 10);
  // The folders leading to what was found are recorded also when the walk
  // was stopped, so that everything found stays reachable from the root.
  const Status folders = walk.AppendNeededFolders();
  const Status flushed = m_store->FlushStore();
  if (status != kStatusOk) return status;
  if (folders != kStatusOk) return folders;
  if (flushed != kStatusOk) return flushed;
  return report(100, 0);
}

Status CFastFatRecovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  if (folder == nullptr && depth != 0) return kStatusInvalidParameter;
  if (!m_store) return kStatusOk;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  const uint64_t key = folder == nullptr
                           ? RootFolderKey()
                           : store::FolderKey(static_cast<uint32_t>(depth), static_cast<uint32_t>(folder->locator));
  return m_store->ListChildren(key, out);
}

Status CFastFatRecovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  if (outCount == nullptr || (folder == nullptr && depth != 0)) return kStatusInvalidParameter;
  *outCount = 0;
  if (!m_store) return kStatusOk;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  const uint64_t key = folder == nullptr
                           ? RootFolderKey()
                           : store::FolderKey(static_cast<uint32_t>(depth), static_cast<uint32_t>(folder->locator));
  return m_store->CountFiles(key, outCount);
}

uint64_t CFastFatRecovery::GetItemCount() {
  return m_store && m_store->IsOpen() ? static_cast<uint64_t>(m_store->RecordCount()) : 0;
}

Status CFastFatRecovery::GetItemPath(const ItemRecord* item, std::string& out) {
  if (item == nullptr || !m_store) return kStatusInvalidParameter;
  return m_store->GetItemPath(*item, out);
}

Status CFastFatRecovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  m_searchFn = fn;
  m_searchUserData = userData;
  if (m_store) m_store->SetSearchCallback(fn, userData);
  return kStatusOk;
}

int32_t CFastFatRecovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_store ? m_store->Search(pattern, out) : 0;
}

Status CFastFatRecovery::BuildAllocationMap() {
  if (HasVolume()) (void)m_allocation.Build(m_fat);
  return kStatusOk;
}

int32_t CFastFatRecovery::GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) {
  if (inoutSector == nullptr || outSectorCount == nullptr) return 0;
  if (!HasVolume()) {
    *inoutSector = 0;
    return 1;
  }
  if (!m_allocation.IsBuilt()) (void)m_allocation.Build(m_fat);
  m_allocation.NextFreeExtent(m_geometry, inoutSector, outSectorCount);
  return 1;
}

Status CFastFatRecovery::CopyFileTo(const ItemRecord& item, const std::string& path) {
  auto report = [&](int32_t percent, Status status) -> int32_t {
    return m_copyFn != nullptr ? m_copyFn(m_userData, percent, 100, status, path.c_str()) : 0;
  };
  if (item.clusterBytes > kMaxClusterBytes) {
    (void)report(100, kStatusWriteFault);
    return kStatusWriteFault;
  }
  platform::OutputFile out;
  if (Status s = out.Open(path, platform::OutputFile::Mode::kCreateTruncate); s != kStatusOk) {
    (void)report(100, s);
    return s;
  }
  Status status = kStatusOk;
  if (item.size == 0) {
    status = out.Close();
    if (status == kStatusOk) return report(100, kStatusOk);
  } else {
    FileSink sink(out);
    status = CopyClusterData(m_reader, m_fat, static_cast<uint32_t>(item.locator), item.size, sink,
                                  [&](uint64_t done, uint64_t total) { return report(Percent(done, total), 0); });
    const Status closed = out.Close();
    if (status == kStatusOk) status = closed;
    if (status == kStatusOk) return kStatusOk;
  }
  // No partial file stays behind a failed or cancelled copy.
  (void)platform::RemoveFile(path);
  (void)report(100, status);
  return status;
}

Status CFastFatRecovery::CopyFolderTo(const ItemRecord& item, const std::string& path, int32_t depth) {
  struct FolderJob {
    ItemRecord record;
    std::string path;
    int32_t depth;
  };
  std::deque<FolderJob> jobs;
  jobs.push_back({item, path, depth});
  Status firstFailure = kStatusOk;
  auto note = [&](Status s) {
    if (s != kStatusOk && firstFailure == kStatusOk) firstFailure = s;
  };
  while (!jobs.empty()) {
    FolderJob job = std::move(jobs.front());
    jobs.pop_front();
    std::vector<ItemRecord> children;
    note(ListChildren(&job.record, job.depth, children));
    for (const ItemRecord& child : children) {
      const std::string childPath = FreeChildPath(job.path, SafeNameComponent(child.Name()));
      if (child.isFolder != 0) {
        Status s = platform::CreateDirectories(childPath);
        note(s);
        if (s == kStatusOk) jobs.push_back({child, childPath, job.depth + 1});
        continue;
      }
      Status s = CopyFileTo(child, childPath);
      if (s == kStatusCancelled) return s;
      note(s);
    }
  }
  return firstFailure;
}

Status CFastFatRecovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                     int32_t rootSeparatorCount) {
  if (item == nullptr || destinationPath.empty()) return kStatusInvalidParameter;
  if (!HasVolume()) return kStatusInvalidParameter;
  const std::string path = WithoutFinalSlash(destinationPath);
  if (item->isFolder == 0) {
    const std::string parent = ParentFolderOf(path);
    if (!parent.empty()) {
      if (Status s = platform::CreateDirectories(parent); s != kStatusOk) return s;
    }
    return CopyFileTo(*item, path);
  }
  if (Status s = platform::CreateDirectories(path); s != kStatusOk) return s;
  return CopyFolderTo(*item, path, SeparatorCount(destinationPath) - rootSeparatorCount);
}

Status CFastFatRecovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                     uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  if (item == nullptr || item->isFolder != 0 || !HasVolume()) return kStatusInvalidParameter;
  auto report = [&](int32_t percent, Status status) -> int32_t {
    return fn != nullptr ? fn(userData, percent, status) : 0;
  };
  std::string tempPath;
  const PreviewKind kind = PreviewKindOf(item->Name());
  if (kind != PreviewKind::kNone) {
    const std::string folder = platform::ScanLogFolder();
    if (Status s = platform::CreateDirectories(folder); s != kStatusOk) {
      (void)report(100, s);
      return s;
    }
    const std::string name = kind == PreviewKind::kDocument ? SafeNameComponent(item->Name())
                             : kind == PreviewKind::kVideo  ? std::string("tmp.avi")
                                                            : std::string("tmp.jpg");
    tempPath = folder + name;
    if (tempPath.size() > kMaxTempPathBytes) tempPath.clear();
  }
  if (item->clusterBytes > kMaxClusterBytes) return kStatusWriteFault;

  if (!tempPath.empty()) {
    outTempPath = tempPath;
    if (inoutLength != nullptr) *inoutLength = 0;
    (void)platform::RemoveFile(tempPath);
    platform::OutputFile out;
    if (Status s = out.Open(tempPath, platform::OutputFile::Mode::kCreateTruncate); s != kStatusOk) {
      outTempPath.clear();
      (void)report(100, s);
      return s;
    }
    Status status = kStatusOk;
    if (item->size == 0) {
      status = report(100, kStatusOk);
    } else {
      FileSink sink(out);
      status = CopyClusterData(m_reader, m_fat, static_cast<uint32_t>(item->locator), item->size, sink,
                                    [&](uint64_t done, uint64_t total) { return report(Percent(done, total), 0); });
    }
    const Status closed = out.Close();
    if (status == kStatusOk) status = closed;
    if (status != kStatusOk) {
      (void)platform::RemoveFile(tempPath);
      outTempPath.clear();
    }
    return status;
  }

  if (inoutLength == nullptr || (buffer == nullptr && *inoutLength != 0)) return kStatusInvalidParameter;
  const uint64_t itemSize = item->size;  // a packed field: copied before use
  const uint64_t toCopy = std::min<uint64_t>(itemSize, *inoutLength);
  if (toCopy == 0) {
    *inoutLength = 0;
    return report(100, kStatusOk);
  }
  BufferSink sink(buffer, static_cast<size_t>(toCopy));
  const Status status =
      CopyClusterData(m_reader, m_fat, static_cast<uint32_t>(item->locator), toCopy, sink,
                           [&](uint64_t done, uint64_t total) { return report(Percent(done, total), 0); });
  *inoutLength = static_cast<uint32_t>(sink.BytesWritten());
  return status;
}

}  // namespace engine::fat
