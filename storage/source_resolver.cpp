// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/source_resolver.h"

#include <charconv>

#include "platform/disk_table.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "storage/image_container.h"
#include "storage/partition_table.h"

namespace storage {
namespace {

bool ParseInt(const std::string& text, int32_t* value) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size() && *value >= 0;
}

platform::Status AddDiskVolumes(int32_t diskNumber, int32_t onlyPartition, ResolvedSource* out, std::string* error) {
  std::vector<VolumeEntry> volumes;
  platform::Status s = ListDiskVolumes(diskNumber, &volumes, &out->tableType);
  if (s != platform::kStatusOk) {
    *error = "cannot read the partition table of disk " + std::to_string(diskNumber) + ": " + platform::ErrorText(s);
    return s;
  }
  out->diskNumber = diskNumber;
  out->diskPath = platform::DiskPath(diskNumber);
  for (auto& v : volumes) {
    if (onlyPartition > 0 && v.target.partitionNumber != onlyPartition) continue;
    out->sectorSize = v.target.sectorSize;
    out->volumes.push_back(std::move(v));
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
    platform::RawFile file;
    if (platform::Status s = file.Open(path); s != platform::kStatusOk) {
      *error = "cannot open disk " + std::to_string(disk) + " (" + path + "): " + platform::ErrorText(s);
      return s;
    }
    (void)file.Length(&out->byteLength);  // a length that cannot be read stays 0: nothing to image
    out->sectorSize = file.SectorSize();
    out->wholeDisk = part == 0;
    return AddDiskVolumes(disk, part, out, error);
  }

  platform::RawFile file;
  if (platform::Status s = file.Open(source); s != platform::kStatusOk) {
    const platform::PathKind kind = platform::KindOfPath(source);
    std::string why = platform::ErrorText(s);
    if (kind == platform::PathKind::kFolder) {
      why = "it is a folder, not a disk or image";
    } else if (s == platform::kErrorNotSupported) {
      why = std::string("it is a ") + platform::PathKindWord(kind) + ", not a disk or image file";
    }
    *error = "cannot open '" + source + "': " + why;
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
  out->sectorSize = sectorSize;

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
    out->wholeDisk = true;
    return AddDiskVolumes(0, 0, out, error);
  }
  VolumeEntry v;
  if (platform::Status s = DescribeImageVolume(source, &v); s != platform::kStatusOk) {
    *error = "cannot open '" + source + "': " + platform::ErrorText(s);
    return s;
  }
  out->volumes.push_back(std::move(v));
  return platform::kStatusOk;
}

}  // namespace storage
