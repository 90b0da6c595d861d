// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/partitions.h"
#include "platform/status.h"

namespace storage {

using platform::Status;

// Queries that open a disk or file for the call only. A disk of the disk
// table that is an image container answers for the media it holds.
[[nodiscard]] Status DiskLength(int32_t diskNumber, uint64_t* byteLength);
uint32_t DiskSectorSize(int32_t diskNumber);  // 512 when unknown
[[nodiscard]] Status ImageFileSize(const std::string& path, uint64_t* byteLength);
[[nodiscard]] Status ImageLastWriteTime(const std::string& path, uint64_t* fileTime);
bool IsRemovableDisk(int32_t diskNumber);

// A partition of a disk with its session drive letter.
struct VolumeEntry {
  int32_t diskNumber = -1;
  platform::PartitionInfo partition;
  uint16_t driveLetter = 0;
  std::string mountPoint;
};

// Partitions of disk N (MBR or GPT), each with a drive letter; a container
// image's are read from its media (ListImagePartitions).
[[nodiscard]] Status ListDiskVolumes(int32_t diskNumber, std::vector<VolumeEntry>* volumes, std::string* tableType);

}  // namespace storage
