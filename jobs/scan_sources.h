// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace jobs {

// One volume to work on: a partition of a disk of the disk table, or a whole
// image file taken as one volume.
struct VolumeTarget {
  bool isImage = false;     // the whole file is the volume (OpenImage)
  std::string imagePath;    // when isImage
  int32_t diskNumber = -1;  // when !isImage
  int32_t partitionNumber = 0;
  std::string partitionType;  // "0x0c", or a GPT type GUID
  uint64_t startSector = 0;   // in the disk's sector size
  uint64_t sectorCount = 0;
  uint32_t sectorSize = 512;
  uint16_t driveLetter = 0;
  std::string label;  // "image.img", "disk 0 partition 1"
};

// What SOURCE names, resolved to volumes. SOURCE is "disk:N", "disk:N:P", a
// block device or an image file. A file or device with a partition table is
// put into the disk table (as a disk of its own) and yields its partitions;
// without one it is a single volume.
struct ResolvedSource {
  std::string description;  // what the user named, for messages
  std::string tableType;    // "dos", "gpt" or empty
  std::vector<VolumeTarget> volumes;
  uint64_t byteLength = 0;
};

// Returns 0, kStatusInvalidParameter for a malformed SOURCE (message in
// *error), or the system status of the failing open with a message.
[[nodiscard]] platform::Status ResolveSource(const std::string& source, ResolvedSource* out, std::string* error);

}  // namespace jobs
