// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/exfat/exfat_bitmap.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/exfat/upcase_table.h"

namespace engine::exfat {

// Reads the root directory's allocation bitmap (the one that goes with the
// FAT in use) and up-case table into *bitmap and *upcase (either may be
// null). A stream is read along its FAT chain, or as the run its length
// needs when its chain is broken. A bitmap that lies outside the heap or
// cannot be read stays unloaded; so does an up-case table that is too long,
// lies outside the heap or fails its checksum. Only the first 1 MiB of the
// root is searched. Everything given must outlive the call.
void LoadRootTables(ExFatVolume& volume, const ExFatGeometry& geometry, ExFatTable& fat, ExFatBitmap* bitmap,
                    UpcaseTable* upcase);

// A stream of byteCount bytes from firstCluster: along its FAT chain, or as
// a run when its chain is broken. Empty when it lies outside the heap or
// cannot be read.
std::vector<uint8_t> ReadStream(ExFatVolume& volume, const ExFatGeometry& geometry, ExFatTable& fat,
                                uint32_t firstCluster, uint64_t byteCount);

}  // namespace engine::exfat
