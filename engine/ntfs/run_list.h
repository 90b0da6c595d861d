// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/byte_view.h"

namespace engine::ntfs {

// One decoded run of a non-resident attribute. A run list is an ordered
// sequence of them; a run's absolute start cluster is the running sum of the
// deltas. A sparse run (empty offset field) has delta 0 and no clusters on
// disk: its bytes read as zeros.
struct MftRun {
  uint32_t clusterCount = 0;  // low 32 bits of the encoded length
  int64_t lcnDelta = 0;       // start relative to the previous run's start (first: to cluster 0)
  bool isSparse = false;
};

// Attribute header offsets of a non-resident attribute.
inline constexpr size_t kAttrLength = 0x04;           // u32
inline constexpr size_t kNonResLowestVcn = 0x10;      // i64, first cluster of the stream this extent maps
inline constexpr size_t kNonResRunListOffset = 0x20;  // u16
inline constexpr size_t kNonResAllocatedSize = 0x28;  // i64
inline constexpr size_t kNonResRealSize = 0x30;       // i64
inline constexpr size_t kNonResHeaderBytes = 0x40;

// Appends the runs of a non-resident attribute. attribute views the whole
// attribute (its length is the view's size, at most the record). Decoding
// starts at the u16 run-list offset and stops at a zero header byte, at a
// length or offset field wider than 7 bytes or of zero length, or at a field
// that would cross the attribute's end.
void DecodeRunList(ByteView attribute, std::vector<MftRun>& out);

// Appends an extent's runs (whose first delta is relative to cluster 0) to
// runs, rewriting its first delta so the running sum stays absolute.
void AppendExtentRuns(std::vector<MftRun>& runs, const std::vector<MftRun>& extent);

// A run with its absolute start cluster.
struct PlacedRun {
  uint64_t startCluster = 0;
  uint64_t clusterCount = 0;
  bool isSparse = false;
  bool isValid = true;  // false when the running sum left 0..2^62
};
std::vector<PlacedRun> PlaceRuns(const std::vector<MftRun>& runs);

// Σ clusterCount over runs.
uint64_t TotalClusters(const std::vector<MftRun>& runs);

}  // namespace engine::ntfs
