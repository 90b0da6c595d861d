// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_volume.h"

#include <algorithm>
#include <cstring>

namespace engine::exfat {
namespace {

// One ReadSectors call reads at most this many bytes.
constexpr uint64_t kMaxReadBytes = 16ull << 20;

}  // namespace

void ExFatVolume::Own(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount) {
  Close();
  m_owned = std::move(source);
  m_source = &m_owned;
  Attach(unitBytes, startUnit, unitCount);
}

void ExFatVolume::Borrow(storage::SectorSource& source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount) {
  Close();
  m_source = &source;
  Attach(unitBytes, startUnit, unitCount);
}

void ExFatVolume::Attach(uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount) {
  m_unitBytes = unitBytes == 0 ? 512 : unitBytes;
  m_startUnit = startUnit;
  const uint64_t sourceUnits = m_source->totalSectors;
  const uint64_t available = startUnit < sourceUnits ? sourceUnits - startUnit : 0;
  const uint64_t units = unitCount == 0 ? available : std::min(unitCount, available);
  m_volumeBytes = units > UINT64_MAX / m_unitBytes ? 0 : units * m_unitBytes;
}

void ExFatVolume::Close() {
  storage::CloseSource(m_owned);
  m_source = nullptr;
  m_volumeBytes = 0;
  m_scratch.clear();
  m_scratch.shrink_to_fit();
}

Status ExFatVolume::Read(uint64_t byteOffset, void* buffer, size_t byteCount) {
  if (!IsOpen()) return kStatusInvalidParameter;
  if (byteOffset > m_volumeBytes || byteCount > m_volumeBytes - byteOffset) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t absolute = StartByte() + byteOffset;
  const uint64_t firstUnit = absolute / m_unitBytes;
  const uint64_t endUnit = (absolute + byteCount + m_unitBytes - 1) / m_unitBytes;
  const bool aligned = absolute % m_unitBytes == 0 && byteCount % m_unitBytes == 0;
  for (uint64_t unit = firstUnit; unit < endUnit;) {
    const uint64_t units = std::min<uint64_t>(endUnit - unit, kMaxReadBytes / m_unitBytes);
    const size_t bytes = static_cast<size_t>(units * m_unitBytes);
    const uint64_t chunkStart = unit * m_unitBytes;
    // Aligned reads go straight to the caller's buffer (chunkStart >= absolute then).
    uint8_t* target = nullptr;
    if (aligned) {
      target = out + (chunkStart - absolute);
    } else {
      m_scratch.resize(bytes);
      target = m_scratch.data();
    }
    uint32_t got = 0;
    if (Status s = storage::ReadSectors(static_cast<uint32_t>(units), *m_source, target, unit, m_unitBytes, &got);
        s != kStatusOk) {
      return s;
    }
    if (got != units) return kStatusReadFault;
    if (!aligned) {
      const uint64_t from = std::max(chunkStart, absolute);
      const uint64_t to = std::min(chunkStart + bytes, absolute + byteCount);
      std::memcpy(out + (from - absolute), m_scratch.data() + (from - chunkStart), static_cast<size_t>(to - from));
    }
    unit += units;
  }
  return kStatusOk;
}

}  // namespace engine::exfat
