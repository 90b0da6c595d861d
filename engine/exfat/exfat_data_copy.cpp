// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_data_copy.h"

#include <algorithm>

namespace engine::exfat {
namespace {

// Adjacent clusters are read together up to this many bytes.
constexpr uint64_t kPieceBytes = 1u << 20;

}  // namespace

std::vector<store::DataExtent> ItemData::Encode() const {
  std::vector<store::DataExtent> out;
  out.reserve(runs.size() + 1);
  out.push_back({kLayoutTag | (fatChain ? kFlagFatChain : 0), validBytes});
  if (!fatChain) out.insert(out.end(), runs.begin(), runs.end());
  return out;
}

bool ItemData::Decode(const std::vector<store::DataExtent>& extents, ItemData* out) {
  if (extents.empty() || (extents[0].first & kTagMask) != kLayoutTag) return false;
  const uint64_t flags = extents[0].first & ~kTagMask;
  if ((flags & ~kFlagFatChain) != 0) return false;
  ItemData d;
  d.validBytes = extents[0].count;
  d.fatChain = (flags & kFlagFatChain) != 0;
  if (!d.fatChain) d.runs.assign(extents.begin() + 1, extents.end());
  *out = std::move(d);
  return true;
}

Status CopyItemBytes(ExFatVolume& volume, const ExFatGeometry& g, ExFatTable* fat, uint32_t firstCluster, uint64_t size,
                     const ItemData& data, uint64_t byteCount, ICopySink& sink, const CopyProgress& progress) {
  byteCount = std::min(byteCount, size);
  if (byteCount == 0) return kStatusOk;
  // A size no file of this volume can have: its data would lie outside it
  // (and the zeros past its valid length would have no end).
  if (size > g.MaxFileBytes()) return kStatusInvalidParameter;
  const uint64_t clusterBytes = g.ClusterBytes();
  const uint64_t fromMedium = std::min(data.validBytes, byteCount);
  const uint64_t clustersNeeded = (fromMedium + clusterBytes - 1) / clusterBytes;

  // The runs the valid bytes come from.
  std::vector<store::DataExtent> runs;
  if (clustersNeeded > 0) {
    if (data.fatChain) {
      if (fat == nullptr || !fat->IsLoaded()) return kStatusInvalidParameter;
      if (!g.IsDataCluster(firstCluster)) return kStatusInvalidParameter;
      std::vector<uint32_t> chain;
      bool complete = false;
      if (Status s = fat->Chain(firstCluster, clustersNeeded, &chain, &complete); s != kStatusOk) return s;
      if (!complete) return kStatusReadFault;
      runs = cluster::ToRuns(chain);
    } else if (data.runs.empty()) {
      runs.push_back({firstCluster, clustersNeeded});
    } else {
      runs = data.runs;
    }
    for (const store::DataExtent& r : runs) {
      if (!g.IsDataRun(r.first, r.count)) return kStatusInvalidParameter;
    }
  }

  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(
      std::max<uint64_t>(kPieceBytes / clusterBytes, 1) * clusterBytes, std::max<uint64_t>(byteCount, 1))));
  uint64_t done = 0;
  auto report = [&]() -> int32_t { return progress ? progress(done, byteCount) : 0; };
  for (const store::DataExtent& r : runs) {
    for (uint64_t at = 0; at < r.count && done < fromMedium;) {
      const uint64_t clusters = std::min<uint64_t>(std::max<uint64_t>(buffer.size() / clusterBytes, 1), r.count - at);
      const uint64_t bytes = std::min(clusters * clusterBytes, fromMedium - done);
      const uint64_t offset = g.ClusterOffset(static_cast<uint32_t>(r.first + at));
      if (Status s = volume.Read(offset, buffer.data(), static_cast<size_t>(bytes)); s != kStatusOk) return s;
      if (Status s = sink.Write(buffer.data(), static_cast<size_t>(bytes)); s != kStatusOk) return s;
      done += bytes;
      at += clusters;
      if (int32_t r2 = report(); r2 != 0) return r2;
    }
  }
  if (done < fromMedium) return kStatusReadFault;
  // Past the valid data length the file reads as zeros.
  if (done < byteCount) std::fill(buffer.begin(), buffer.end(), 0);
  while (done < byteCount) {
    const uint64_t bytes = std::min<uint64_t>(buffer.size(), byteCount - done);
    if (Status s = sink.Write(buffer.data(), static_cast<size_t>(bytes)); s != kStatusOk) return s;
    done += bytes;
    if (int32_t r2 = report(); r2 != 0) return r2;
  }
  return kStatusOk;
}

}  // namespace engine::exfat
