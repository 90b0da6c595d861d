// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/disk_list.h"

#include <algorithm>

#include "platform/disk_table.h"
#include "platform/folders.h"
#include "platform/partitions.h"
#include "platform/raw_file.h"
#include "platform/volume.h"
#include "storage/drive_letters.h"
#include "storage/image_container.h"
#include "storage/partition_table.h"

namespace storage {
namespace {

std::string FileSystemName(const platform::FileSystemInfo& info) {
  const std::string& t = info.type;
  if (t == "vfat") return info.version.empty() ? "FAT" : info.version;
  if (t == "ntfs") return "NTFS";
  if (t == "exfat") return "exFAT";
  if (t == "crypto_LUKS") return "LUKS";
  if (t == "BitLocker") return "BitLocker";
  return t;
}

void Describe(VolumeEntry* v, const std::string& probePath, uint64_t byteOffset, uint64_t byteLength,
              const std::string& fallback) {
  platform::FileSystemInfo info;
  // blkid reads raw bytes: a container's media is not probed by it (empty probePath).
  if (!probePath.empty() &&
      platform::ProbeFileSystem(probePath, byteOffset, byteLength, &info) == platform::kStatusOk) {
    v->fileSystem = FileSystemName(info);
    v->label = info.label;
  }
  v->description = !v->label.empty() ? v->label : !v->fileSystem.empty() ? v->fileSystem : fallback;
}

}  // namespace

std::string ProbedFileSystemName(const VolumeTarget& target) {
  const std::string path = target.isImage ? target.imagePath : target.diskPath;
  ContainerInfo media;
  std::string reason;
  if (path.empty() || DescribeImage(path, &media, &reason) != platform::kStatusOk ||
      media.kind != ContainerKind::kRaw) {
    return {};
  }
  uint64_t length = target.ByteLength();
  if (target.isImage) length = media.mediaBytes;
  platform::FileSystemInfo info;
  if (platform::ProbeFileSystem(path, target.ByteOffset(), length, &info) != platform::kStatusOk) return {};
  return FileSystemName(info);
}

Status ListDiskVolumes(int32_t diskNumber, std::vector<VolumeEntry>* volumes, std::string* tableType) {
  volumes->clear();
  tableType->clear();
  const std::string path = platform::DiskPath(diskNumber);
  if (path.empty()) return platform::kErrorFileNotFound;
  // A disk of the table may be an image file in a container format: its
  // media is what is listed.
  platform::RawFile disk;
  if (Status s = disk.Open(path); s != platform::kStatusOk) return s;
  const uint32_t deviceSectorSize = disk.SectorSize();
  disk.Close();
  ContainerInfo media;
  std::string reason;
  if (Status s = DescribeImage(path, &media, &reason); s != platform::kStatusOk) return s;
  const uint64_t length = media.mediaBytes;
  const bool container = media.kind != ContainerKind::kRaw;
  const uint32_t sectorSize = container && media.bytesPerSector != 0 ? media.bytesPerSector : deviceSectorSize;

  std::vector<platform::PartitionInfo> parts;
  if (Status s = ListImagePartitions(path, sectorSize, &parts, tableType); s != platform::kStatusOk) return s;
  for (const auto& p : parts) {
    VolumeEntry v;
    VolumeTarget& t = v.target;
    t.diskNumber = diskNumber;
    t.diskPath = path;
    t.partitionNumber = p.number;
    t.partitionType = p.type;
    t.partitionUuid = p.uuid;
    t.devicePath = p.devicePath;
    t.startSector = p.startSector;
    t.sectorCount = p.sectorCount;
    t.sectorSize = sectorSize;
    t.label = "disk " + std::to_string(diskNumber) + " partition " + std::to_string(p.number);
    const std::string key = p.devicePath.empty() ? path + "@" + std::to_string(p.startSector) : p.devicePath;
    t.driveLetter = DriveLetters::Instance().LetterFor(key, p.devicePath);
    v.mountPoint = platform::MountPointOf(p.devicePath);
    v.byteSize = t.ByteLength();
    Describe(&v, container ? std::string() : path, t.ByteOffset(), v.byteSize, "Partition " + std::to_string(p.number));
    volumes->push_back(std::move(v));
  }
  if (tableType->empty() && length >= sectorSize) {
    // No partition table: a disk formatted as a whole (a "superfloppy" stick) is one volume.
    VolumeEntry v;
    Describe(&v, container ? std::string() : path, 0, length, "Disk " + std::to_string(diskNumber));
    if (!v.fileSystem.empty()) {
      VolumeTarget& t = v.target;
      t.diskNumber = diskNumber;
      t.diskPath = path;
      t.sectorSize = sectorSize;
      t.sectorCount = length / sectorSize;
      t.label = "disk " + std::to_string(diskNumber);
      const bool isDevice = platform::KindOfPath(path) == platform::PathKind::kBlockDevice;
      t.devicePath = isDevice ? path : std::string();
      t.driveLetter = DriveLetters::Instance().LetterFor(isDevice ? path : path + "@0", t.devicePath);
      v.mountPoint = platform::MountPointOf(t.devicePath);
      v.byteSize = t.ByteLength();
      volumes->push_back(std::move(v));
    }
  }
  return platform::kStatusOk;
}

std::vector<VolumeEntry> UnpartitionedSpaces(int32_t diskNumber, const std::string& diskPath, uint32_t sectorSize,
                                             const std::vector<VolumeEntry>& partitions, uint64_t diskBytes,
                                             uint64_t minBytes) {
  std::vector<VolumeEntry> spaces;
  if (sectorSize == 0 || diskPath.empty()) return spaces;
  const uint64_t diskSectors = diskBytes / sectorSize;
  std::vector<std::pair<uint64_t, uint64_t>> used;  // [start, end) in sectors
  for (const VolumeEntry& p : partitions) {
    const VolumeTarget& t = p.target;
    if (t.isImage || t.diskNumber != diskNumber || t.sectorSize != sectorSize) return {};
    const uint64_t end = t.sectorCount > UINT64_MAX - t.startSector ? UINT64_MAX : t.startSector + t.sectorCount;
    used.emplace_back(t.startSector, end);
  }
  std::sort(used.begin(), used.end());
  const uint64_t minSectors = std::max<uint64_t>(1, minBytes / sectorSize);
  ContainerInfo media;
  std::string reason;
  const bool raw = DescribeImage(diskPath, &media, &reason) == platform::kStatusOk && media.kind == ContainerKind::kRaw;
  uint64_t at = 0;
  auto add = [&](uint64_t start, uint64_t end) {
    if (end <= start || end - start < minSectors) return;
    VolumeEntry v;
    VolumeTarget& t = v.target;
    t.diskNumber = diskNumber;
    t.diskPath = diskPath;
    t.startSector = start;
    t.sectorCount = end - start;
    t.sectorSize = sectorSize;
    t.label = "disk " + std::to_string(diskNumber) + " unpartitioned space at sector " + std::to_string(start);
    t.driveLetter = DriveLetters::Instance().LetterFor(diskPath + "@" + std::to_string(start), std::string());
    v.byteSize = t.ByteLength();
    t.unpartitioned = true;
    Describe(&v, raw ? diskPath : std::string(), t.ByteOffset(), v.byteSize, "Unpartitioned space");
    spaces.push_back(std::move(v));
  };
  for (const auto& [start, end] : used) {
    add(at, std::min(start, diskSectors));
    at = std::max(at, end);
  }
  add(at, diskSectors);
  return spaces;
}

Status DescribeImageVolume(const std::string& path, VolumeEntry* out) {
  *out = VolumeEntry{};
  platform::RawFile file;
  if (Status s = file.Open(path); s != platform::kStatusOk) return s;
  ContainerInfo media;
  std::string reason;
  if (Status s = DescribeImage(path, &media, &reason); s != platform::kStatusOk) return s;
  const uint64_t length = media.mediaBytes;
  const bool container = media.kind != ContainerKind::kRaw;
  VolumeTarget& t = out->target;
  t.isImage = true;
  t.imagePath = path;
  t.sectorSize = 512;
  t.sectorCount = length / 512;
  t.label = path;
  const bool isDevice = file.IsBlockDevice();
  t.driveLetter = DriveLetters::Instance().LetterFor(isDevice ? path : "image:" + platform::ResolvedPath(path),
                                                     isDevice ? path : std::string());
  if (isDevice) out->mountPoint = platform::MountPointOf(path);
  out->byteSize = length;
  const size_t slash = path.find_last_of('/');
  Describe(out, container ? std::string() : path, 0, length,
           slash == std::string::npos ? path : path.substr(slash + 1));
  return platform::kStatusOk;
}

void CDiskList::Refresh() {
  m_disks.clear();
  const auto disks = platform::ListDisks();
  for (size_t i = 0; i < disks.size(); ++i) {
    DiskEntry d;
    d.diskNumber = static_cast<int32_t>(i);
    d.path = disks[i].path;
    d.name = disks[i].name;
    d.model = disks[i].model;
    d.byteLength = disks[i].byteLength;
    d.sectorSize = disks[i].sectorSize;
    d.removable = disks[i].removable;
    d.status = ListDiskVolumes(d.diskNumber, &d.volumes, &d.tableType);
    m_disks.push_back(std::move(d));
  }
}

Status CDiskList::AddImage(const std::string& path, VolumeEntry* added) {
  for (const auto& image : m_images) {
    if (platform::SameFile(image.target.imagePath, path)) {
      if (added != nullptr) *added = image;
      return platform::kStatusOk;
    }
  }
  VolumeEntry entry;
  if (Status s = DescribeImageVolume(path, &entry); s != platform::kStatusOk) return s;
  m_images.push_back(entry);
  if (added != nullptr) *added = entry;
  return platform::kStatusOk;
}

}  // namespace storage
