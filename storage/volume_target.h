// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>

namespace storage {

// One volume to work on: a partition (or the whole) of a disk of the disk
// table, or a whole image file taken as one volume. Plain value.
struct VolumeTarget {
  bool isImage = false;         // the whole file is the volume (OpenImage)
  std::string imagePath;        // when isImage
  int32_t diskNumber = -1;      // when !isImage: the disk's number in the disk table
  std::string diskPath;         // when !isImage: /dev/sdb, or the disk image file; checked before use
  int32_t partitionNumber = 0;  // as the partition table numbers it; 0 for a disk without a table
  std::string partitionType;    // "0x0c", or a GPT type GUID
  std::string partitionUuid;    // the table's id of the entry, or empty
  std::string devicePath;       // /dev/sdb1 when the partition has a device node, else empty
  uint64_t startSector = 0;     // in the disk's sector size (sectorSize)
  uint64_t sectorCount = 0;
  uint32_t sectorSize = 512;
  uint16_t driveLetter = 0;  // the session letter; unique per volume
  std::string label;         // "image.img", "disk 0 partition 1"
  // A stretch of the disk that no partition covers, not yet searched for the
  // volumes that lie in it: a deep scan looks for them first (jobs::SplitStretch).
  bool unpartitioned = false;

  uint64_t ByteOffset() const { return isImage ? 0 : startSector * sectorSize; }
  uint64_t ByteLength() const { return sectorCount * sectorSize; }
};

}  // namespace storage
