// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/status.h"
#include "storage/sector_source.h"

namespace engine::exfat {

// Byte-addressed, read-only access to one volume of a sector source, owned
// by this object or borrowed from a caller that shares it with other engines
// (the deep-scan coordinator, a test); a borrowed source must outlive this.
// Every read must lie wholly inside the volume: nothing outside it is ever
// asked of the source. Reads go through storage::ReadSectors in the source's
// own unit (512 bytes for image files and memory, the logical sector size
// for disks), so a volume may start at any unit and use any sector size.
// One thread at a time.
class ExFatVolume {
 public:
  ExFatVolume() = default;
  ExFatVolume(const ExFatVolume&) = delete;
  ExFatVolume& operator=(const ExFatVolume&) = delete;

  // Takes source. unitBytes: the size of the source's sector numbers;
  // startUnit: the volume's first one; unitCount: the volume's length in
  // them (0: to the source's end). The length is clipped to the source.
  void Own(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount);
  // The same over a source the caller keeps.
  void Borrow(storage::SectorSource& source, uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount);
  void Close();
  bool IsOpen() const { return m_source != nullptr && m_source->IsOpen(); }

  // Reads byteCount bytes at byteOffset of the volume. 87 when the range is
  // not wholly inside the volume (nothing read); 30 or the source's error
  // when the source fails.
  [[nodiscard]] Status Read(uint64_t byteOffset, void* buffer, size_t byteCount);

  uint64_t VolumeBytes() const { return m_volumeBytes; }
  uint32_t UnitBytes() const { return m_unitBytes; }
  uint64_t StartUnit() const { return m_startUnit; }
  // Absolute byte offset of the volume's first byte on the source.
  uint64_t StartByte() const { return m_startUnit * m_unitBytes; }
  storage::SectorSource* Source() const { return m_source; }

 private:
  void Attach(uint32_t unitBytes, uint64_t startUnit, uint64_t unitCount);

  storage::SectorSource m_owned;
  storage::SectorSource* m_source = nullptr;
  uint32_t m_unitBytes = 512;
  uint64_t m_startUnit = 0;
  uint64_t m_volumeBytes = 0;
  std::vector<uint8_t> m_scratch;  // for reads that do not start or end on a unit
};

}  // namespace engine::exfat
