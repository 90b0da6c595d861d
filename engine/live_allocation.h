// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/metadata_runs.h"

namespace engine {

// What the live file system of a volume holds now, as a deep scan learns it
// from the volume's fast engine (the free runs it maps): every byte of the
// volume outside those runs belongs to a file, a folder or the file
// system's own tables. A file found elsewhere (an old directory entry, an
// old file record, a carved signature) whose data touches such a byte holds
// the live file system's bytes there: it was overwritten. Offsets are bytes
// from the source's start. Plain value; one thread at a time.
class LiveAllocation {
 public:
  // The volume's place on the source and its free runs (relative to the
  // volume; any order, may overlap).
  void Assign(uint64_t volumeStartByte, uint64_t volumeBytes, std::vector<ByteRun> freeRuns);
  void Clear();
  // False when no live file system mapped its free space (nothing is held then).
  bool IsKnown() const { return m_known; }
  // True when a byte of [byteOffset, byteOffset + byteCount) lies inside the
  // volume and outside every free run.
  bool Holds(uint64_t byteOffset, uint64_t byteCount) const;
  // True when any of the runs (absolute) touches a held byte.
  bool HoldsAny(const std::vector<ByteRun>& runs) const;

 private:
  bool m_known = false;
  uint64_t m_start = 0;
  uint64_t m_end = 0;
  std::vector<ByteRun> m_free;  // absolute, sorted, joined
};

}  // namespace engine
