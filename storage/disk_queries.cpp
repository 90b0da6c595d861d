// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/disk_queries.h"

#include "platform/disk_table.h"
#include "platform/raw_file.h"
#include "storage/image_container.h"

namespace storage {

Status DiskLength(int32_t diskNumber, uint64_t* byteLength) {
  *byteLength = 0;
  std::string path = platform::DiskPath(diskNumber);
  if (path.empty()) return platform::kErrorFileNotFound;
  ContainerInfo info;
  std::string error;
  if (Status s = DescribeImage(path, &info, &error); s != platform::kStatusOk) return s;
  *byteLength = info.mediaBytes;
  return platform::kStatusOk;
}

uint32_t DiskSectorSize(int32_t diskNumber) {
  std::string path = platform::DiskPath(diskNumber);
  ContainerInfo info;
  std::string error;
  if (path.empty() || DescribeImage(path, &info, &error) != platform::kStatusOk) return 512;
  return info.bytesPerSector;
}

Status ImageFileSize(const std::string& path, uint64_t* byteLength) {
  *byteLength = 0;
  platform::RawFile file;
  if (Status s = file.Open(path); s != platform::kStatusOk) return s;
  return file.Length(byteLength);
}

Status ImageLastWriteTime(const std::string& path, uint64_t* fileTime) {
  *fileTime = 0;
  platform::RawFile file;
  if (Status s = file.Open(path); s != platform::kStatusOk) return s;
  return file.LastWriteTime(fileTime);
}

bool IsRemovableDisk(int32_t diskNumber) {
  auto disks = platform::ListDisks();
  if (diskNumber < 0 || static_cast<size_t>(diskNumber) >= disks.size()) return false;
  return disks[static_cast<size_t>(diskNumber)].removable;
}

}  // namespace storage
