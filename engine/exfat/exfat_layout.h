// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/cluster/cluster_layout.h"
#include "engine/exfat/exfat_bitmap.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"

namespace engine::exfat {

// An exFAT volume's clusters for the shared layout of deleted files: a
// cluster is held when its allocation-bitmap bit is set (without a bitmap
// none is); deleting a file leaves its FAT chain in place, so a chain the
// FAT still holds is offered. Everything given must outlive this. One
// thread at a time.
class ExFatClusterMap final : public cluster::IClusterMap {
 public:
  ExFatClusterMap(ExFatVolume& volume, const ExFatGeometry& geometry, const ExFatBitmap& bitmap, ExFatTable& fat)
      : m_geometry(geometry),
        m_bitmap(bitmap),
        m_fat(fat),
        m_read([&volume](uint64_t at, void* buffer, size_t n) { return volume.Read(at, buffer, n); }) {}

  uint64_t ClusterBytes() const override { return m_geometry.ClusterBytes(); }
  uint32_t SectorBytes() const override { return m_geometry.bytesPerSector; }
  uint64_t LastCluster() const override { return m_geometry.maxCluster; }
  [[nodiscard]] Status IsAllocated(uint64_t cluster, bool* allocated) override {
    *allocated = m_bitmap.IsLoaded() && m_bitmap.IsAllocated(cluster);
    return kStatusOk;
  }
  uint64_t ClusterOffset(uint64_t cluster) const override {
    return m_geometry.ClusterOffset(static_cast<uint32_t>(cluster));
  }
  const signatures::ByteReader& Reader() const override { return m_read; }
  [[nodiscard]] Status KeptChain(uint32_t start, uint64_t clusters, std::vector<uint32_t>* chain,
                                 bool* complete) override;

 private:
  const ExFatGeometry& m_geometry;
  const ExFatBitmap& m_bitmap;
  ExFatTable& m_fat;
  signatures::ByteReader m_read;
};

}  // namespace engine::exfat
