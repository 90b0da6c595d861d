// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "storage/disk_list.h"
#include "storage/volume_target.h"

namespace storage {

// What SOURCE names on a command line, resolved to volumes.
struct ResolvedSource {
  std::string description;  // what the user named, for messages
  std::string tableType;    // "dos", "gpt" or empty
  std::vector<VolumeEntry> volumes;
  uint64_t byteLength = 0;
  bool wholeDisk = false;   // SOURCE is a disk (disk:N, or a file or device with a partition table)
  int32_t diskNumber = -1;  // when wholeDisk or a partition of one
  std::string diskPath;     // when wholeDisk or a partition of one
  uint32_t sectorSize = 512;
};

// SOURCE is "disk:N", "disk:N:P", a block device or an image file. A file or
// device with a partition table becomes the disk table of this process (a
// disk of its own, number 0) and yields its partitions; without one it is a
// single volume. Only regular files and block devices are opened: a FIFO, a
// socket or a character device is refused (kErrorNotSupported) before any
// read, a folder with kErrorAccessDenied.
// Returns 0, kStatusInvalidParameter for a malformed SOURCE (message in
// *error), or the system status of the failing open with a message.
[[nodiscard]] platform::Status ResolveSource(const std::string& source, ResolvedSource* out, std::string* error);

}  // namespace storage
