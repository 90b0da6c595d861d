// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// One partition of a partition table, in sectors of the disk's sector size.
struct PartitionInfo {
  int32_t number = 0;  // as the table numbers it (1-based)
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  std::string type;        // "0x0c" for MBR, the type GUID for GPT
  std::string devicePath;  // /dev/sda1 when the disk is a block device with that node, else empty
  std::string uuid;        // the table's own id of the entry (GPT partition GUID, MBR "disk id-number"), or empty
};

// Reads the MBR or GPT of a block device or image file, read-only (libblkid).
// tableType is "dos", "gpt" or empty when there is no table (then the list is
// empty and the status 0). Extended-partition containers are not listed;
// their logical partitions are.
[[nodiscard]] Status ListPartitions(const std::string& diskPath, uint32_t sectorSize,
                                    std::vector<PartitionInfo>* partitions, std::string* tableType);

// What a file system says about itself, as libblkid reads it.
struct FileSystemInfo {
  std::string type;     // "vfat", "ntfs", "exfat", "ext4", "swap", "crypto_LUKS", ...; empty when unknown
  std::string version;  // "FAT12", "FAT16", "FAT32" for vfat; else as reported
  std::string label;
  std::string uuid;
};

// Probes the file system in the byteLength bytes at byteOffset of a block
// device or image file, read-only. byteLength 0 means up to the end.
// Returns 0 (info->type empty when nothing is recognised) or the open error.
[[nodiscard]] Status ProbeFileSystem(const std::string& path, uint64_t byteOffset, uint64_t byteLength,
                                     FileSystemInfo* info);

}  // namespace platform
