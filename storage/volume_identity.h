// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "storage/volume_target.h"

namespace storage {

// A key that names the same volume again in a later run, and no other:
//  - an image file: its resolved path, size and modification time
//    ("image:/data/card.img|size|mtime"), so a rewritten image is another one;
//  - a partition of a block device: what stays with the disk (its serial or
//    by-id name, platform::DiskIdentityOf; the device path only when the disk
//    tells nothing) with the partition's table id and its start and length;
//  - a partition of a disk image file: the file's key as above with the
//    partition's start and length.
// Never a disk number or a drive letter, which change with the order disks
// are plugged in. Empty when the source cannot be examined.
std::string VolumeIdentityKey(const VolumeTarget& target);

}  // namespace storage
