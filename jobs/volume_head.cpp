// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/volume_head.h"

#include <vector>

#include "storage/sector_source.h"

namespace jobs {

platform::Status ReadVolumeKind(const storage::VolumeTarget& target, engine::VolumeKind* kind) {
  *kind = engine::VolumeKind::kUnknown;
  storage::SectorSource source;
  platform::Status s = target.isImage ? storage::OpenImageSource(source, target.imagePath)
                                      : storage::OpenDiskSource(source, target.diskNumber);
  if (s != platform::kStatusOk) return s;
  const uint32_t sectorSize = target.isImage ? 512 : source.deviceSectorSize;
  if (sectorSize == 0 || sectorSize > engine::kClassifyBytes) return platform::kStatusInvalidParameter;
  std::vector<uint8_t> head(engine::kClassifyBytes);
  uint32_t got = 0;
  s = storage::ReadSectors(static_cast<uint32_t>(head.size() / sectorSize), source, head.data(),
                           target.isImage ? 0 : target.startSector, sectorSize, &got);
  if (s == platform::kStatusInvalidParameter) return platform::kStatusOk;  // shorter than 16 KiB: unknown
  if (s != platform::kStatusOk) return s;
  *kind = engine::ClassifyVolume(head.data(), head.size());
  return platform::kStatusOk;
}

}  // namespace jobs
