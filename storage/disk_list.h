// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "storage/volume_target.h"

namespace storage {

using platform::Status;

// One volume as a disk list shows it: a partition, a whole disk without a
// partition table, or an image file added by the user.
struct VolumeEntry {
  VolumeTarget target;      // what the scan and image jobs open; target.driveLetter is the session letter
  std::string fileSystem;   // "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "ext4", "LUKS", "swap", ...; empty: unknown
  std::string label;        // the file system's own label, or empty
  std::string mountPoint;   // where the partition is mounted, or empty
  std::string description;  // what the list shows: the label, else the file-system name, else "Partition N"
  uint64_t byteSize = 0;
};

// One physical disk of the disk table with its volumes.
struct DiskEntry {
  int32_t diskNumber = -1;
  std::string path;  // /dev/sdb, or an image file of QUELLMOOR_DISKS
  std::string name;  // sdb, or the file name
  std::string model;
  uint64_t byteLength = 0;
  uint32_t sectorSize = 512;
  bool removable = false;
  std::string tableType;                // "dos", "gpt", or empty
  Status status = platform::kStatusOk;  // of reading its partition table
  std::vector<VolumeEntry> volumes;     // in table order
};

// The volumes of disk N of the disk table: its partitions (extended
// containers left out), or, without a partition table, the whole disk as one
// volume when it holds a file system. Each gets its session drive letter.
// Partition positions from the table (libblkid counts 512-byte units) are
// converted to the disk's own sector size.
[[nodiscard]] Status ListDiskVolumes(int32_t diskNumber, std::vector<VolumeEntry>* volumes, std::string* tableType);

// The stretches of disk diskNumber (diskPath, sectors of sectorSize,
// diskBytes long) that no partition covers, of at least minBytes each, as
// volumes to deep-scan: a deleted or lost partition lies there. partitions
// are the disk's volumes as ListDiskVolumes gives them (none at all when
// the partition table is gone: then the whole disk is one stretch). Each
// gets a letter of its own, the label "disk N unpartitioned space at
// sector S", partitionNumber 0 and target.unpartitioned set.
std::vector<VolumeEntry> UnpartitionedSpaces(int32_t diskNumber, const std::string& diskPath, uint32_t sectorSize,
                                             const std::vector<VolumeEntry>& partitions, uint64_t diskBytes,
                                             uint64_t minBytes);

// The name blkid gives the file system of a volume ("FAT32", "ext4", "LUKS",
// "BitLocker", ...): empty when it knows none, and for a container's media,
// which blkid cannot read.
std::string ProbedFileSystemName(const VolumeTarget& target);

// An image file as one volume (the whole file), with its letter.
[[nodiscard]] Status DescribeImageVolume(const std::string& path, VolumeEntry* out);

// The disks, their partitions and the image files the user added: what the
// main window's disk list shows. Refresh() rebuilds the disks (on a device
// change); added images stay. The list holds descriptions only: scan
// sessions copy the targets they scan and never depend on the list, so a
// refresh during a job or after a scan loses nothing. One thread at a time.
class CDiskList {
 public:
  // Enumerates the disk table now (sysfs, or QUELLMOOR_DISKS). A disk whose
  // partition table cannot be read is kept with its status.
  void Refresh();
  const std::vector<DiskEntry>& Disks() const { return m_disks; }

  // Adds an image file (a second add of the same file returns the first
  // entry). Returns 0 or why the file cannot be used.
  [[nodiscard]] Status AddImage(const std::string& path, VolumeEntry* added);
  const std::vector<VolumeEntry>& Images() const { return m_images; }

 private:
  std::vector<DiskEntry> m_disks;
  std::vector<VolumeEntry> m_images;
};

}  // namespace storage
