// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "engine/fat/fat_geometry.h"
#include "engine/fat/volume_reader.h"
#include "engine/status.h"

namespace engine::fat {

// The first FAT of a volume, read through a window of at most 16 MiB that is
// moved only when an entry outside it is asked for. The window never reaches
// past the FAT or the volume. The reader and geometry must outlive the table.
// One thread at a time.
class FatTable {
 public:
  static constexpr uint64_t kWindowBytes = 16u << 20;

  // Sizes the window (windowBytes, at least two sectors, at most the FAT's
  // size) and fills it from the FAT's start.
  [[nodiscard]] Status Load(VolumeReader& reader, const FatGeometry& geometry, uint64_t windowBytes = kWindowBytes);
  bool IsLoaded() const { return m_reader != nullptr; }

  // Entry of cluster, masked to the FAT's width (12, 16 or 28 bits). A
  // cluster outside 2..maxCluster reads as end of chain. A FAT12 entry that
  // straddles the window's end moves the window.
  [[nodiscard]] Status Entry(uint32_t cluster, uint32_t* value);

  // The cluster that follows cluster by the chain rule: the FAT's link when
  // the entry is set (0 at an end mark, a bad mark or a link outside the data
  // clusters); for a freed entry (0) the next free cluster after it (0 when
  // there is none). *viaFreed tells which rule gave the answer.
  [[nodiscard]] Status NextCluster(uint32_t cluster, uint32_t* next, bool* viaFreed);

  // First cluster after `cluster` whose entry is 0; 0 when none is left.
  [[nodiscard]] Status NextFreeCluster(uint32_t cluster, uint32_t* next);

  const FatGeometry& Geometry() const { return *m_geometry; }

 private:
  [[nodiscard]] Status MoveWindow(uint64_t byteOffset);

  VolumeReader* m_reader = nullptr;
  const FatGeometry* m_geometry = nullptr;
  std::vector<uint8_t> m_window;
  uint64_t m_windowStart = 0;  // byte offset inside the FAT
  uint64_t m_windowValid = 0;  // bytes of the window that hold FAT bytes
};

// Walks a chain from a start cluster with the chain rule, refusing to loop:
// a step that revisits a cluster (every loop needs a backward step, and a
// backward step to a target seen before means a loop) or more steps than
// the volume has clusters ends the chain.
class ClusterChain {
 public:
  ClusterChain(FatTable& fat, uint32_t start) : m_fat(fat), m_current(start) {}
  uint32_t Current() const { return m_current; }
  // Moves to the next cluster; *next is 0 at the end (and stays the end).
  [[nodiscard]] Status Advance(uint32_t* next, bool* viaFreed);
  bool LoopFound() const { return m_loopFound; }

 private:
  FatTable& m_fat;
  uint32_t m_current;
  uint64_t m_steps = 0;
  bool m_loopFound = false;
  std::unordered_set<uint32_t> m_backwardTargets;
};

}  // namespace engine::fat
