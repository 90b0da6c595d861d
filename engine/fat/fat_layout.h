// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/cluster/cluster_layout.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"

namespace engine::fat {

// A FAT volume's clusters for the shared layout of deleted files: a
// cluster is held when its FAT entry is not 0; the FAT keeps no chain of a
// deleted file. The reader and FAT must outlive this. One thread at a time.
class FatClusterMap final : public cluster::IClusterMap {
 public:
  FatClusterMap(VolumeReader& reader, FatTable& fat)
      : m_fat(fat), m_read([&reader](uint64_t at, void* buffer, size_t n) { return reader.Read(at, buffer, n); }) {}

  uint64_t ClusterBytes() const override { return m_fat.Geometry().ClusterBytes(); }
  uint32_t SectorBytes() const override { return m_fat.Geometry().bytesPerSector; }
  uint64_t LastCluster() const override { return m_fat.Geometry().maxCluster; }
  [[nodiscard]] Status IsAllocated(uint64_t cluster, bool* allocated) override {
    uint32_t value = 0;
    const Status s = m_fat.Entry(static_cast<uint32_t>(cluster), &value);
    *allocated = s != kStatusOk || value != 0;
    return s;
  }
  uint64_t ClusterOffset(uint64_t cluster) const override {
    const FatGeometry& g = m_fat.Geometry();
    return g.ClusterSector(static_cast<uint32_t>(cluster)) * g.bytesPerSector;
  }
  const signatures::ByteReader& Reader() const override { return m_read; }

 private:
  FatTable& m_fat;
  signatures::ByteReader m_read;
};

}  // namespace engine::fat
