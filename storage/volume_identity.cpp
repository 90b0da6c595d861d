// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/volume_identity.h"

#include "platform/block_device_info.h"
#include "platform/disk_table.h"
#include "platform/folders.h"
#include "platform/raw_file.h"

namespace storage {
namespace {

// "file:<resolved path>|<bytes>|<mtime>" of a regular file; empty when it cannot be opened.
std::string FileKey(const std::string& path) {
  platform::RawFile file;
  if (file.Open(path) != platform::kStatusOk || file.IsBlockDevice()) return {};
  uint64_t length = 0, time = 0;
  if (file.Length(&length) != platform::kStatusOk || file.LastWriteTime(&time) != platform::kStatusOk) return {};
  return platform::ResolvedPath(path) + "|" + std::to_string(length) + "|" + std::to_string(time);
}

// A partition device taken as a whole volume: its disk's identity, where the
// partition starts on it (sysfs, in 512-byte units) and its length.
std::string BlockVolumeKey(const std::string& devicePath) {
  platform::RawFile device;
  uint64_t length = 0;
  if (device.Open(devicePath) != platform::kStatusOk || device.Length(&length) != platform::kStatusOk) return {};
  std::string disk = platform::DiskIdentityOf(devicePath);
  if (disk.empty()) disk = "device:" + platform::ResolvedPath(devicePath);
  const std::string resolved = platform::ResolvedPath(devicePath);
  const std::string name = resolved.substr(resolved.find_last_of('/') + 1);
  std::string start;
  (void)platform::ReadWholeFile("/sys/class/block/" + name + "/start", &start, 64);
  while (!start.empty() && (start.back() == '\n' || start.back() == ' ')) start.pop_back();
  return "volume:" + disk + "|start:" + (start.empty() ? "0" : start) + "|" + std::to_string(length);
}

}  // namespace

std::string VolumeIdentityKey(const VolumeTarget& target) {
  if (target.isImage) {
    if (platform::KindOfPath(target.imagePath) == platform::PathKind::kBlockDevice) {
      return BlockVolumeKey(target.imagePath);
    }
    std::string key = FileKey(target.imagePath);
    return key.empty() ? std::string() : "image:" + key;
  }
  std::string disk = target.diskPath.empty() ? platform::DiskPath(target.diskNumber) : target.diskPath;
  if (disk.empty()) return {};
  std::string diskKey;
  if (platform::KindOfPath(disk) == platform::PathKind::kBlockDevice) {
    diskKey = platform::DiskIdentityOf(disk);
    if (diskKey.empty()) diskKey = "device:" + platform::ResolvedPath(disk);
  } else {
    diskKey = FileKey(disk);
    if (diskKey.empty()) return {};
    diskKey = "file:" + diskKey;
  }
  std::string key = "partition:" + diskKey;
  if (!target.partitionUuid.empty()) key += "|id:" + target.partitionUuid;
  key += "|" + std::to_string(target.startSector) + "+" + std::to_string(target.sectorCount) + "x" +
         std::to_string(target.sectorSize);
  return key;
}

}  // namespace storage
