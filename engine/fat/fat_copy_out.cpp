// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_copy_out.h"

#include <algorithm>
#include <vector>

namespace engine::fat {
namespace {

// Adjacent clusters are read together up to this many bytes.
constexpr uint64_t kRunBytes = 1u << 20;

}  // namespace

Status CopyClusterData(VolumeReader& reader, FatTable& fat, uint32_t startCluster, uint64_t byteCount, ICopySink& sink,
                       const CopyProgress& progress) {
  if (byteCount == 0) return kStatusOk;
  const FatGeometry& g = fat.Geometry();
  if (!g.IsDataCluster(startCluster)) return kStatusInvalidParameter;
  const uint64_t clusterBytes = g.ClusterBytes();
  const uint64_t clustersNeeded = (byteCount + clusterBytes - 1) / clusterBytes;
  const uint64_t runLimit = std::max<uint64_t>(1, kRunBytes / clusterBytes);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(runLimit, clustersNeeded) * clusterBytes));

  ClusterChain chain(fat, startCluster);
  uint32_t cluster = startCluster;
  uint64_t remaining = byteCount;
  for (;;) {
    // Gather a run of adjacent clusters, no longer than the rest of the file needs.
    const uint64_t needed = (remaining + clusterBytes - 1) / clusterBytes;
    const uint32_t runStart = cluster;
    uint64_t runCount = 1;
    uint32_t following = 0;
    bool chainEnded = false;
    while (runCount < needed) {
      uint32_t next = 0;
      bool viaFreed = false;
      if (Status s = chain.Advance(&next, &viaFreed); s != kStatusOk) return s;
      if (next == 0) {
        chainEnded = true;
        break;
      }
      if (next == runStart + runCount && runCount < runLimit) {
        ++runCount;
        continue;
      }
      following = next;
      break;
    }
    const uint64_t runBytes = runCount * clusterBytes;
    if (Status s =
            reader.Read(g.ClusterSector(runStart) * g.bytesPerSector, buffer.data(), static_cast<size_t>(runBytes));
        s != kStatusOk) {
      return s;
    }
    const uint64_t take = std::min(remaining, runBytes);
    if (Status s = sink.Write(buffer.data(), static_cast<size_t>(take)); s != kStatusOk) return s;
    remaining -= take;
    if (progress) {
      if (int32_t r = progress(byteCount - remaining, byteCount); r != 0) return r;
    }
    if (remaining == 0) return kStatusOk;
    if (chainEnded || following == 0) return kStatusReadFault;
    cluster = following;
  }
}

Status CopyExtentData(VolumeReader& reader, const FatGeometry& g, const std::vector<store::DataExtent>& extents,
                      uint64_t byteCount, ICopySink& sink, const CopyProgress& progress) {
  const uint64_t clusterBytes = g.ClusterBytes();
  const uint64_t runLimit = std::max<uint64_t>(1, kRunBytes / clusterBytes);
  std::vector<uint8_t> buffer(static_cast<size_t>(runLimit * clusterBytes));
  uint64_t remaining = byteCount;
  for (const store::DataExtent& extent : extents) {
    if (extent.count == 0 || extent.first > UINT32_MAX || extent.count > UINT32_MAX ||
        !g.IsDataCluster(static_cast<uint32_t>(extent.first)) ||
        !g.IsDataCluster(static_cast<uint32_t>(extent.first + extent.count - 1))) {
      return kStatusInvalidParameter;
    }
    for (uint64_t done = 0; done < extent.count && remaining > 0;) {
      const uint64_t count = std::min(runLimit, extent.count - done);
      const uint32_t first = static_cast<uint32_t>(extent.first + done);
      const uint64_t bytes = count * clusterBytes;
      if (Status s = reader.Read(g.ClusterSector(first) * g.bytesPerSector, buffer.data(), static_cast<size_t>(bytes));
          s != kStatusOk) {
        return s;
      }
      const uint64_t take = std::min(remaining, bytes);
      if (Status s = sink.Write(buffer.data(), static_cast<size_t>(take)); s != kStatusOk) return s;
      remaining -= take;
      done += count;
      if (progress) {
        if (int32_t r = progress(byteCount - remaining, byteCount); r != 0) return r;
      }
    }
    if (remaining == 0) return kStatusOk;
  }
  return remaining == 0 ? kStatusOk : kStatusReadFault;
}

}  // namespace engine::fat
