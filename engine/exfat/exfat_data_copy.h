// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/cluster/cluster_layout.h"
#include "engine/copy_sink.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"

namespace engine::exfat {

// Where a found file's data is. An item without a stored layout is read
// from its first cluster (the record's locator) through the following
// clusters, its whole size. A stored layout says otherwise: how many of its
// bytes are valid (the rest, up to its size, reads as zeros: exFAT's valid
// data length), and either that its data follows the FAT chain from the
// locator, or the runs of clusters it lies in, in file order.
//
// Kept in the store's layout table as DataExtents: first a header
// {kLayoutTag | flags, validBytes}, then the runs {first cluster, count}.
// Flag 1: follow the FAT chain (no runs follow). Plain value.
struct ItemData {
  static constexpr uint64_t kLayoutTag = 0x45584641'54000000ull;  // "EXFAT" in the top bytes
  static constexpr uint64_t kTagMask = 0xFFFFFFFF'FF000000ull;
  static constexpr uint64_t kFlagFatChain = 1;

  uint64_t validBytes = 0;
  bool fatChain = false;
  std::vector<store::DataExtent> runs;

  std::vector<store::DataExtent> Encode() const;
  // False when extents are not an exFAT layout (no header, unknown flags).
  [[nodiscard]] static bool Decode(const std::vector<store::DataExtent>& extents, ItemData* out);
};

// Copies the first byteCount bytes of a file to sink: its valid bytes from
// the medium, then zeros up to its size. fat may be null when data follows
// no chain. Fails without writing anything more when the data cannot be had
// whole: 87 when a run or the first cluster lies outside the data clusters
// or size is more than every data cluster of the volume holds,
// 30 when the runs or the chain hold fewer valid bytes than needed (a chain
// that ends, loops or leaves the heap); a read or sink error is returned as
// is; a non-zero progress return stops the copy and is returned.
[[nodiscard]] Status CopyItemBytes(ExFatVolume& volume, const ExFatGeometry& geometry, ExFatTable* fat,
                                   uint32_t firstCluster, uint64_t size, const ItemData& data, uint64_t byteCount,
                                   ICopySink& sink, const CopyProgress& progress);

}  // namespace engine::exfat
