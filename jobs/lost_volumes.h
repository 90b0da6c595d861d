// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/boot_sector_tests.h"
#include "storage/volume_target.h"

namespace jobs {

// Stretches of a disk shorter than this are the partition table's own and
// alignment, not a lost partition: they are searched for volumes but never
// read whole.
inline constexpr uint64_t kMinUnpartitionedBytes = 2u << 20;

// The volumes in a stretch of a disk that no partition covers
// (storage::UnpartitionedSpaces; target.unpartitioned set), in disk order:
// each volume whose boot sector (or superblock) is still there, as a volume
// of its own that is read with its own engines as a partition would be
// ("disk N volume at sector S"), and the rest of the stretch, where it is at
// least kMinUnpartitionedBytes, for the raw engines ("disk N unpartitioned
// space at sector S"). A volume is looked for at every sector of the 2 MiB
// at the start of the stretch and after each volume found (where
// partitioning tools put the next one), and at 1 MiB boundaries beyond; it
// counts only when the size its file system gives fits in the stretch.
// Reads the disk (read-only); a stretch that cannot be read stays whole.
// None of the targets returned has unpartitioned set. Worker threads.
struct StretchPart {
  storage::VolumeTarget target;
  engine::VolumeKind kind = engine::VolumeKind::kUnknown;  // of a volume found; kUnknown for raw space
};
std::vector<StretchPart> SplitStretch(const storage::VolumeTarget& stretch);

}  // namespace jobs
