// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/status.h"

namespace engine::exfat {

// The FAT in use of an exFAT volume (32-bit entries; entry c links cluster c
// to the next of its chain), read through a window of at most 16 MiB that
// is moved only when an entry outside it is asked for. The window never
// reaches past the FAT or the volume. Only chained streams use the FAT: a
// stream whose NoFatChain flag is set lies in consecutive clusters whatever
// the FAT holds. The volume and geometry must outlive the table. One thread
// at a time.
class ExFatTable {
 public:
  static constexpr uint64_t kWindowBytes = 16u << 20;
  // Entries from this value on end a chain (0xFFFFFFF7 marks a bad cluster).
  static constexpr uint32_t kEndOfChainMin = 0xFFFFFFF7;

  // Sizes the window (at least one sector, at most the part of the FAT that
  // holds entries of the volume's clusters) and fills it from the start.
  [[nodiscard]] Status Load(ExFatVolume& volume, const ExFatGeometry& geometry, uint64_t windowBytes = kWindowBytes);
  bool IsLoaded() const { return m_volume != nullptr; }

  // The entry of cluster. A cluster outside 2..maxCluster reads as an end mark.
  [[nodiscard]] Status Entry(uint32_t cluster, uint32_t* value);
  // The cluster that follows cluster in its chain: 0 at an end mark, a bad
  // mark, a free entry or a link outside the data clusters.
  [[nodiscard]] Status Next(uint32_t cluster, uint32_t* next);

  // The first `count` clusters of the chain that starts at first, in order,
  // into *out. *complete is false when the chain ends, loops or leaves the
  // data clusters before count clusters (out then holds the clusters
  // before that point). A read error is returned.
  [[nodiscard]] Status Chain(uint32_t first, uint64_t count, std::vector<uint32_t>* out, bool* complete);

  // The FAT bytes that hold entries of the volume's clusters.
  uint64_t UsedBytes() const { return m_usedBytes; }

 private:
  [[nodiscard]] Status MoveWindow(uint64_t byteOffset);

  ExFatVolume* m_volume = nullptr;
  const ExFatGeometry* m_geometry = nullptr;
  std::vector<uint8_t> m_window;
  uint64_t m_windowStart = 0;  // byte offset inside the FAT
  uint64_t m_windowValid = 0;  // bytes of the window that hold FAT bytes
  uint64_t m_usedBytes = 0;
};

}  // namespace engine::exfat
