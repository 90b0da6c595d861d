// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/status.h"
#include "storage/sector_source.h"

namespace engine::fat {

// Byte-addressed, read-only access to one volume of a sector source. Every
// read must lie wholly inside the volume; nothing outside it is ever asked of
// the source. Reads go through storage::ReadSectors in the source's own sector
// unit, so a volume may start at any unit and use any sector size.
// Owns the source. One thread at a time.
class VolumeReader {
 public:
  // unitBytes: the sector size the source's sector numbers count (512 for
  // image files and memory, the device's logical sector size for disks).
  // volumeStartUnit: the volume's first sector in that unit. volumeBytes is
  // clipped to what the source holds.
  void Attach(storage::SectorSource source, uint32_t unitBytes, uint64_t volumeStartUnit, uint64_t volumeBytes);
  void Close();
  bool IsOpen() const { return m_source.IsOpen(); }

  // Reads byteCount bytes at byteOffset of the volume. 87 when the range is
  // not inside the volume (nothing read); 30 or the source's error when the
  // source fails.
  [[nodiscard]] Status Read(uint64_t byteOffset, void* buffer, size_t byteCount);

  uint64_t VolumeBytes() const { return m_volumeBytes; }
  uint64_t VolumeStartUnit() const { return m_startUnit; }
  uint32_t UnitBytes() const { return m_unitBytes; }
  // Absolute byte offset of the volume's first byte on the source.
  uint64_t VolumeStartByte() const { return m_startUnit * m_unitBytes; }
  storage::SectorSource& Source() { return m_source; }
  // Calls of Read since the source was attached.
  uint64_t ReadCalls() const { return m_readCalls; }

 private:
  storage::SectorSource m_source;
  uint32_t m_unitBytes = 512;
  uint64_t m_startUnit = 0;
  uint64_t m_volumeBytes = 0;
  uint64_t m_readCalls = 0;
  std::vector<uint8_t> m_scratch;  // for reads that do not start or end on a unit
};

}  // namespace engine::fat
