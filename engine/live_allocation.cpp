// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/live_allocation.h"

#include <algorithm>

namespace engine {

void LiveAllocation::Assign(uint64_t volumeStartByte, uint64_t volumeBytes, std::vector<ByteRun> freeRuns) {
  m_known = true;
  m_start = volumeStartByte;
  m_end = volumeStartByte + volumeBytes;
  for (ByteRun& run : freeRuns) run.offset += volumeStartByte;
  NormalizeByteRuns(freeRuns);
  m_free = std::move(freeRuns);
}

void LiveAllocation::Clear() {
  m_known = false;
  m_free.clear();
}

bool LiveAllocation::Holds(uint64_t byteOffset, uint64_t byteCount) const {
  if (!m_known || byteCount == 0) return false;
  const uint64_t from = std::max(byteOffset, m_start);
  const uint64_t to = std::min(m_end, byteOffset + std::min(byteCount, ~uint64_t{0} - byteOffset));
  if (from >= to) return false;  // outside the volume: not the live file system's
  // The free run that holds `from` must reach `to`.
  auto it = std::upper_bound(m_free.begin(), m_free.end(), from,
                             [](uint64_t at, const ByteRun& run) { return at < run.offset; });
  if (it == m_free.begin()) return true;
  --it;
  return it->offset + it->length < to;
}

bool LiveAllocation::HoldsAny(const std::vector<ByteRun>& runs) const {
  return std::any_of(runs.begin(), runs.end(), [&](const ByteRun& run) { return Holds(run.offset, run.length); });
}

}  // namespace engine
