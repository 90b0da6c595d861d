// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace platform {

// Mount point of a block device from /proc/self/mountinfo, or empty.
std::string MountPointOf(const std::string& devicePath);
// File-system type of the mount holding devicePath ("vfat", "ntfs3", ...), or empty.
std::string MountedFileSystemOf(const std::string& devicePath);

// Asks a mounted volume to write its caches out before its device is read
// raw: syncfs on the mount point, then BLKFLSBUF on the device. Failures
// are ignored. Nothing is written to the device by this program.
void FlushVolumeDevice(const std::string& devicePath);

// Free bytes of the file system mounted at folder (statvfs).
[[nodiscard]] Status FreeBytes(const std::string& folder, uint64_t* bytes);

// True when folder lies on the file system of the block device devicePath.
bool FolderIsOnDevice(const std::string& folder, const std::string& devicePath);

// True when folder lies on a file system held by the whole disk diskPath
// (one of its partitions, the disk itself, or a mapped device built on
// them). False when diskPath is not a block device.
bool FolderIsOnDisk(const std::string& folder, const std::string& diskPath);

// Name of the file system that holds folder (an existing folder or file):
// "FAT32" for vfat, "FAT" for msdos, "exFAT", "NTFS" for ntfs and ntfs3,
// otherwise the kernel's type upper-cased ("EXT4", "TMPFS"); empty when it
// cannot be told.
std::string FileSystemNameOf(const std::string& folder);

}  // namespace platform
