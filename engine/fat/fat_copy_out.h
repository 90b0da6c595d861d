// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/copy_sink.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"

namespace engine::fat {

// Copies byteCount bytes of a file that starts at startCluster to sink,
// cluster by cluster along the chain rule (a freed chain goes on through the
// next free clusters), reading runs of adjacent clusters at once. Fails
// without writing anything more when the data cannot be had whole:
// 87 when the start cluster is not a data cluster of the volume (clusters 0
// and 1 are never read), 30 when the chain ends, loops or runs out of the
// volume before byteCount bytes; a read or sink error is returned as is.
[[nodiscard]] Status CopyClusterData(VolumeReader& reader, FatTable& fat, uint32_t startCluster, uint64_t byteCount,
                                     ICopySink& sink, const CopyProgress& progress);

// Copies byteCount bytes of a file laid out over extents (runs of
// clusters, in file order) to sink. 87 when an extent leaves the data
// clusters; 30 when the extents hold fewer bytes than byteCount.
[[nodiscard]] Status CopyExtentData(VolumeReader& reader, const FatGeometry& geometry,
                                    const std::vector<store::DataExtent>& extents, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress);

}  // namespace engine::fat
