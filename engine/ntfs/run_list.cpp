// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/run_list.h"

namespace engine::ntfs {
namespace {

constexpr int64_t kMaxCluster = int64_t{1} << 62;

uint64_t ReadUnsigned(ByteView view, size_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= static_cast<uint64_t>(view.U8(offset + i)) << (8 * i);
  return value;
}

int64_t ReadSigned(ByteView view, size_t offset, unsigned width) {
  if (width == 0) return 0;
  uint64_t value = ReadUnsigned(view, offset, width);
  if (width < 8 && (view.U8(offset + width - 1) & 0x80) != 0) value |= ~uint64_t{0} << (8 * width);
  return static_cast<int64_t>(value);
}

}  // namespace

void DecodeRunList(ByteView attribute, std::vector<MftRun>& out) {
  const size_t end = attribute.size();
  if (!attribute.Has(0, kNonResHeaderBytes)) return;
  size_t pos = attribute.U16(kNonResRunListOffset);
  if (pos < kNonResHeaderBytes) return;
  while (pos < end) {
    const uint8_t header = attribute.U8(pos);
    if (header == 0) return;
    const unsigned lengthBytes = header & 0x0F;
    const unsigned offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 7 || offsetBytes > 7) return;
    if (!attribute.Has(pos + 1, lengthBytes + offsetBytes)) return;
    MftRun run;
    run.clusterCount = static_cast<uint32_t>(ReadUnsigned(attribute, pos + 1, lengthBytes));
    run.lcnDelta = ReadSigned(attribute, pos + 1 + lengthBytes, offsetBytes);
    run.isSparse = offsetBytes == 0;
    out.push_back(run);
    pos += 1 + lengthBytes + offsetBytes;
  }
}

void AppendExtentRuns(std::vector<MftRun>& runs, const std::vector<MftRun>& extent) {
  int64_t current = 0;
  for (const MftRun& r : runs) {
    if (__builtin_add_overflow(current, r.lcnDelta, &current)) current = kMaxCluster;
  }
  bool first = true;
  for (MftRun r : extent) {
    if (first && !r.isSparse) {
      // The extent's first real run is relative to cluster 0: make it relative to `current`.
      int64_t rebased = 0;
      if (__builtin_sub_overflow(r.lcnDelta, current, &rebased)) rebased = kMaxCluster;
      r.lcnDelta = rebased;
      first = false;
    }
    runs.push_back(r);
  }
}

std::vector<PlacedRun> PlaceRuns(const std::vector<MftRun>& runs) {
  std::vector<PlacedRun> placed;
  placed.reserve(runs.size());
  int64_t start = 0;
  bool overflowed = false;
  for (const MftRun& r : runs) {
    if (!overflowed && __builtin_add_overflow(start, r.lcnDelta, &start)) overflowed = true;
    const bool valid = !overflowed && start >= 0 && start < kMaxCluster;
    PlacedRun p;
    p.clusterCount = r.clusterCount;
    p.isSparse = r.isSparse;
    p.isValid = r.isSparse || valid;
    p.startCluster = valid ? static_cast<uint64_t>(start) : 0;
    placed.push_back(p);
  }
  return placed;
}

uint64_t TotalClusters(const std::vector<MftRun>& runs) {
  uint64_t total = 0;
  for (const MftRun& r : runs) total += r.clusterCount;
  return total;
}

}  // namespace engine::ntfs
