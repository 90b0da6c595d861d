// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/volume_reader.h"

#include <algorithm>
#include <cstring>

namespace engine::fat {
namespace {

// One ReadSectors call reads at most this many bytes (its count is 32-bit).
constexpr uint64_t kMaxReadBytes = 64ull << 20;

}  // namespace

void VolumeReader::Attach(storage::SectorSource source, uint32_t unitBytes, uint64_t volumeStartUnit,
                          uint64_t volumeBytes) {
  m_source = std::move(source);
  m_unitBytes = unitBytes == 0 ? 512 : unitBytes;
  m_startUnit = volumeStartUnit;
  const uint64_t sourceUnits = m_source.totalSectors;
  const uint64_t available = volumeStartUnit < sourceUnits ? (sourceUnits - volumeStartUnit) * m_unitBytes : 0;
  m_volumeBytes = std::min(volumeBytes, available);
}

void VolumeReader::Close() {
  storage::CloseSource(m_source);
  m_volumeBytes = 0;
  m_scratch.clear();
  m_scratch.shrink_to_fit();
}

Status VolumeReader::Read(uint64_t byteOffset, void* buffer, size_t byteCount) {
  if (!m_source.IsOpen()) return kStatusInvalidParameter;
  if (byteOffset > m_volumeBytes || byteCount > m_volumeBytes - byteOffset) return kStatusInvalidParameter;
  if (byteCount == 0) return kStatusOk;
  ++m_readCalls;
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t absolute = VolumeStartByte() + byteOffset;
  const uint64_t firstUnit = absolute / m_unitBytes;
  const uint64_t lastUnitEnd = (absolute + byteCount + m_unitBytes - 1) / m_unitBytes;
  const bool aligned = absolute % m_unitBytes == 0 && byteCount % m_unitBytes == 0;

  uint64_t unit = firstUnit;
  uint64_t produced = 0;
  while (unit < lastUnitEnd) {
    const uint64_t units = std::min<uint64_t>(lastUnitEnd - unit, kMaxReadBytes / m_unitBytes);
    const size_t bytes = static_cast<size_t>(units * m_unitBytes);
    uint8_t* target = out + produced;
    if (!aligned) {
      m_scratch.resize(bytes);
      target = m_scratch.data();
    }
    uint32_t got = 0;
    Status s = storage::ReadSectors(static_cast<uint32_t>(units), m_source, target, unit, m_unitBytes, &got);
    if (s != kStatusOk) return s;
    if (got != units) return kStatusReadFault;
    if (!aligned) {
      // Copy the part of these units that lies inside the asked range.
      const uint64_t chunkStart = unit * m_unitBytes;
      const uint64_t from = std::max(chunkStart, absolute);
      const uint64_t to = std::min(chunkStart + bytes, absolute + byteCount);
      std::memcpy(out + (from - absolute), m_scratch.data() + (from - chunkStart), static_cast<size_t>(to - from));
    } else {
      produced += bytes;
    }
    unit += units;
  }
  return kStatusOk;
}

}  // namespace engine::fat
