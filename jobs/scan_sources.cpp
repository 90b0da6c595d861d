// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/scan_sources.h"

#include <charconv>

#include "platform/disk_table.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "storage/disk_queries.h"
#include "storage/drive_letters.h"
#include "storage/image_container.h"
#include "storage/partition_table.h"

namespace jobs {
namespace {

bool ParseInt(const std::string& text, int32_t* value) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size() && *value >= 0;
}

platform::Status AddDiskVolumes(int32_t diskNumber, int32_t onlyPartition, ResolvedSource* out, std::string* error) {
  std::vector<storage::VolumeEntry> volumes;
  platform::Status s = storage::ListDiskVolumes(diskNumber, &volumes, &out->tableType);
  if (s != platform::kStatusOk) {
    *error = "cannot read the partition table of disk " + std::to_string(diskNumber) + ": " + platform::ErrorText(s);
    return s;
  }
  uint32_t sectorSize = storage::DiskSectorSize(diskNumber);
  for (const auto& v : volumes) {
    if (onlyPartition > 0 && v.partition.number != onlyPartition) continue;
    VolumeTarget t;
    t.diskNumber = diskNumber;
    t.partitionNumber = v.partition.number;
    t.partitionType = v.partition.type;
    t.startSector = v.partition.startSector;
    t.sectorCount = v.partition.sectorCount;
    t.sectorSize = sectorSize;
    t.driveLetter = v.driveLetter;
    t.label = "disk " + std::to_string(diskNumber) + " partition " + std::to_string(v.partition.number);
    out->volumes.push_back(t);
  }
  if (onlyPartition > 0 && out->volumes.empty()) {
    *error = "disk " + std::to_string(diskNumber) + " has no partition " + std::to_string(onlyPartition);
    return platform::kStatusInvalidParameter;
  }
  return platform::kStatusOk;
}

}  // namespace

platform::Status ResolveSource(const std::string& source, ResolvedSource* out, std::string* error) {
  *out = ResolvedSource{};
  out->description = source;
  if (source.rfind("disk:", 0) == 0) {
    std::string rest = source.substr(5);
    size_t colon = rest.find(':');
    int32_t disk = -1, part = 0;
    if (!ParseInt(rest.substr(0, colon), &disk) ||
        (colon != std::string::npos && (!ParseInt(rest.substr(colon + 1), &part) || part == 0))) {
      *error = "malformed source '" + source + "': expected disk:N or disk:N:P";
      return platform::kStatusInvalidParameter;
    }
    std::string path = platform::DiskPath(disk);
    if (path.empty()) {
      *error = "no disk " + std::to_string(disk) + " in the disk table";
      return platform::kErrorFileNotFound;
    }
    (void)storage::DiskLength(disk, &out->byteLength);
    return AddDiskVolumes(disk, part, out, error);
  }

  platform::RawFile file;
  if (platform::Status s = file.Open(source); s != platform::kStatusOk) {
    *error =
        "cannot open '" + source + "': " +
        (platform::IsDirectory(source) ? std::string("it is a folder, not a disk or image") : platform::ErrorText(s));
    return s;
  }
  file.Close();
  // A container image (E01, VHD, VMDK, QCOW2...) stands for the media it holds.
  storage::ContainerInfo media;
  std::string reason;
  if (platform::Status s = storage::DescribeImage(source, &media, &reason); s != platform::kStatusOk) {
    *error = reason;
    return s;
  }
  out->byteLength = media.mediaBytes;
  const uint32_t sectorSize = media.bytesPerSector;

  std::vector<platform::PartitionInfo> parts;
  std::string table;
  if (platform::Status s = storage::ListImagePartitions(source, sectorSize, &parts, &table, &reason);
      s != platform::kStatusOk) {
    *error =
        "cannot read the partition table of '" + source + "': " + (reason.empty() ? platform::ErrorText(s) : reason);
    return s;
  }
  if (!parts.empty()) {
    // A whole disk: this run's disk table is that one disk.
    platform::SetDiskTableOverride({source});
    return AddDiskVolumes(0, 0, out, error);
  }
  VolumeTarget t;
  t.isImage = true;
  t.imagePath = source;
  t.sectorSize = sectorSize;
  t.sectorCount = out->byteLength / sectorSize;
  t.driveLetter = storage::DriveLetters::Instance().LetterFor(source);
  t.label = source;
  out->volumes.push_back(t);
  return platform::kStatusOk;
}

}  // namespace jobs
