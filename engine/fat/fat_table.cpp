// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_table.h"

#include <algorithm>
#include <cstring>

namespace engine::fat {

Status FatTable::Load(VolumeReader& reader, const FatGeometry& geometry, uint64_t windowBytes) {
  m_reader = &reader;
  m_geometry = &geometry;
  // Two sectors at least, so that an entry straddling a sector boundary
  // always fits once the window starts at the entry's sector.
  windowBytes = std::max<uint64_t>(windowBytes / geometry.bytesPerSector, 2) * geometry.bytesPerSector;
  windowBytes = std::min(windowBytes, geometry.FatBytes());
  m_window.assign(static_cast<size_t>(windowBytes), 0);
  m_windowValid = 0;
  return MoveWindow(0);
}

Status FatTable::MoveWindow(uint64_t byteOffset) {
  const FatGeometry& g = *m_geometry;
  m_windowStart = byteOffset / g.bytesPerSector * g.bytesPerSector;
  m_windowValid = 0;
  std::fill(m_window.begin(), m_window.end(), 0);
  const uint64_t fatStartByte = g.fatStartSector * g.bytesPerSector;
  uint64_t want = m_window.size();
  if (m_windowStart >= g.FatBytes()) return kStatusOk;
  want = std::min(want, g.FatBytes() - m_windowStart);
  const uint64_t first = fatStartByte + m_windowStart;
  if (first >= m_reader->VolumeBytes()) return kStatusOk;
  want = std::min(want, m_reader->VolumeBytes() - first);
  Status s = m_reader->Read(first, m_window.data(), static_cast<size_t>(want));
  if (s != kStatusOk) return s;
  m_windowValid = want;
  return kStatusOk;
}

Status FatTable::Entry(uint32_t cluster, uint32_t* value) {
  const FatGeometry& g = *m_geometry;
  *value = g.EntryMask();  // an end mark for anything that has no entry
  if (!g.IsDataCluster(cluster)) return kStatusOk;
  const uint64_t offset = g.EntryByteOffset(cluster);
  const uint64_t width = g.type == FatType::kFat32 ? 4 : 2;
  if (offset < m_windowStart || offset + width > m_windowStart + m_windowValid) {
    if (Status s = MoveWindow(offset); s != kStatusOk) return s;
    if (offset < m_windowStart || offset + width > m_windowStart + m_windowValid) return kStatusOk;
  }
  ByteView view(m_window.data(), static_cast<size_t>(m_windowValid));
  const size_t at = static_cast<size_t>(offset - m_windowStart);
  switch (g.type) {
    case FatType::kFat12: {
      const uint16_t pair = view.U16(at);
      *value = (cluster & 1) != 0 ? static_cast<uint32_t>(pair >> 4) : static_cast<uint32_t>(pair & 0xFFF);
      break;
    }
    case FatType::kFat16: *value = view.U16(at); break;
    case FatType::kFat32: *value = view.U32(at) & 0x0FFFFFFF; break;
  }
  return kStatusOk;
}

Status FatTable::NextFreeCluster(uint32_t cluster, uint32_t* next) {
  *next = 0;
  const uint32_t last = m_geometry->maxCluster;
  for (uint64_t k = static_cast<uint64_t>(cluster) + 1; k <= last; ++k) {
    uint32_t value = 0;
    if (Status s = Entry(static_cast<uint32_t>(k), &value); s != kStatusOk) return s;
    if (value == 0) {
      *next = static_cast<uint32_t>(k);
      return kStatusOk;
    }
  }
  return kStatusOk;
}

Status FatTable::NextCluster(uint32_t cluster, uint32_t* next, bool* viaFreed) {
  *next = 0;
  *viaFreed = false;
  uint32_t value = 0;
  if (Status s = Entry(cluster, &value); s != kStatusOk) return s;
  if (!m_geometry->IsDataCluster(cluster)) return kStatusOk;
  if (value == 0) {
    *viaFreed = true;
    return NextFreeCluster(cluster, next);
  }
  if (value >= m_geometry->EndOfChainMin() || !m_geometry->IsDataCluster(value)) return kStatusOk;
  *next = value;
  return kStatusOk;
}

Status ClusterChain::Advance(uint32_t* next, bool* viaFreed) {
  *next = 0;
  *viaFreed = false;
  if (m_current == 0) return kStatusOk;
  if (++m_steps > m_fat.Geometry().maxCluster) {
    m_current = 0;
    m_loopFound = true;
    return kStatusOk;
  }
  uint32_t candidate = 0;
  if (Status s = m_fat.NextCluster(m_current, &candidate, viaFreed); s != kStatusOk) {
    m_current = 0;
    return s;
  }
  if (candidate != 0 && candidate <= m_current && !m_backwardTargets.insert(candidate).second) {
    m_loopFound = true;
    candidate = 0;
  }
  m_current = candidate;
  *next = candidate;
  return kStatusOk;
}

}  // namespace engine::fat
