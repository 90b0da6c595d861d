// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_root_tables.h"

#include <algorithm>

#include "engine/byte_view.h"
#include "engine/exfat/exfat_entry_set.h"

namespace engine::exfat {
namespace {

// The root directory is searched for its bitmap and up-case table this far.
constexpr uint64_t kRootTableSearchBytes = 1u << 20;

}  // namespace

std::vector<uint8_t> ReadStream(ExFatVolume& volume, const ExFatGeometry& g, ExFatTable& fat, uint32_t firstCluster,
                                uint64_t byteCount) {
  const uint64_t clusterBytes = g.ClusterBytes();
  const uint64_t clusters = (byteCount + clusterBytes - 1) / clusterBytes;
  if (byteCount == 0 || !g.IsDataCluster(firstCluster)) return {};
  std::vector<uint32_t> chain;
  bool complete = false;
  if (fat.Chain(firstCluster, clusters, &chain, &complete) != kStatusOk || !complete) {
    // A broken chain: the stream as the run its length needs.
    if (!g.IsDataRun(firstCluster, clusters)) return {};
    chain.clear();
    for (uint64_t i = 0; i < clusters; ++i) chain.push_back(static_cast<uint32_t>(firstCluster + i));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(clusters * clusterBytes));
  for (size_t i = 0; i < chain.size(); ++i) {
    if (volume.Read(g.ClusterOffset(chain[i]), bytes.data() + i * clusterBytes, clusterBytes) != kStatusOk) return {};
  }
  bytes.resize(static_cast<size_t>(byteCount));
  return bytes;
}

void LoadRootTables(ExFatVolume& volume, const ExFatGeometry& g, ExFatTable& fat, ExFatBitmap* bitmap,
                    UpcaseTable* upcase) {
  if (bitmap != nullptr) bitmap->Clear();
  const uint64_t clusterBytes = g.ClusterBytes();
  std::vector<uint32_t> root;
  bool complete = false;
  const uint64_t clusters = std::max<uint64_t>(kRootTableSearchBytes / clusterBytes, 1);
  if (fat.Chain(g.rootCluster, clusters, &root, &complete) != kStatusOk) return;
  bool haveBitmap = bitmap == nullptr;
  bool haveUpcase = upcase == nullptr;
  std::vector<uint8_t> cluster(static_cast<size_t>(clusterBytes));
  for (uint32_t c : root) {
    if (volume.Read(g.ClusterOffset(c), cluster.data(), cluster.size()) != kStatusOk) return;
    const ByteView view(cluster.data(), cluster.size());
    for (size_t at = 0; at + entry::kBytes <= view.size(); at += entry::kBytes) {
      const uint8_t type = view.U8(at);
      if (type == entry::kEndOfDirectory) return;
      const uint32_t first = view.U32(at + entry::kFirstCluster);
      const uint64_t length = view.U64(at + entry::kDataLength);
      if (type == entry::kAllocationBitmap && !haveBitmap && (view.U8(at + entry::kBitmapFlags) & 1) == g.activeFat) {
        // Only the bytes the volume's clusters need; a shorter bitmap leaves the rest in use.
        const uint64_t needed = (uint64_t{g.maxCluster} - 1 + 7) / 8;
        std::vector<uint8_t> bits = ReadStream(volume, g, fat, first, std::min(length, needed));
        haveBitmap = !bits.empty();
        if (haveBitmap) bitmap->Assign(std::move(bits), g.maxCluster);
      } else if (type == entry::kUpcaseTable && !haveUpcase && length <= UpcaseTable::kMaxBytes) {
        const std::vector<uint8_t> table = ReadStream(volume, g, fat, first, length);
        haveUpcase = !table.empty() &&
                     UpcaseTableChecksum(table.data(), table.size()) == view.U32(at + entry::kTableChecksum) &&
                     upcase->Load(table.data(), table.size());
      }
      if (haveBitmap && haveUpcase) return;
    }
  }
}

}  // namespace engine::exfat
