// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One physical disk as the program numbers it.
struct DiskInfo {
  std::string path;  // /dev/sda, or an image file given through QUELLMOOR_DISKS
  std::string name;  // sda, or the file name
  std::string model;
  uint64_t byteLength = 0;
  uint32_t sectorSize = 512;
  bool removable = false;  // removable flag, or a USB / SD (mmc) device
};

// The disk table, numbered from 0. Without an override: whole-disk block
// devices from /sys/block (sd*, nvme*n*, mmcblk*, vd*, xvd*, hd*, and loop
// devices with a backing file), sorted by name. With QUELLMOOR_DISKS set
// (paths separated by ':'), or an override installed by the program, exactly
// those paths in that order.
std::vector<DiskInfo> ListDisks();

// Path of disk N, or empty when there is no such disk.
std::string DiskPath(int32_t diskNumber);

// Replaces the table with these paths for the rest of the process (the CLI
// uses it to treat a whole-disk image as a disk). An empty list removes it.
void SetDiskTableOverride(std::vector<std::string> paths);

}  // namespace platform
