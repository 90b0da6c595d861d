// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/item_placement.h"

namespace engine {

bool FirstDataByteOf(const ItemRecord& item, uint32_t sectorBytes, uint64_t* byteOffset) {
  if (item.isFolder != 0 || item.size == 0 || sectorBytes == 0) return false;
  const uint64_t volumeStart = item.volumeStartSector;
  const uint64_t dataStart = item.dataStartSector;
  uint64_t sector = 0;
  uint64_t extra = 0;
  switch (static_cast<SourceKind>(int32_t{item.sourceKind})) {
    case SourceKind::kFastFat:
    case SourceKind::kProfessionalFat:
    case SourceKind::kFastExFat:
    case SourceKind::kProfessionalExFat: {
      const int64_t clusterBytes = item.clusterBytes;
      const int64_t cluster = item.locator;
      if (clusterBytes <= 0 || cluster < 2) return false;
      sector = volumeStart + dataStart;
      extra = static_cast<uint64_t>(cluster - 2) * static_cast<uint64_t>(clusterBytes);
      break;
    }
    case SourceKind::kFastNtfs:
    case SourceKind::kProfessionalNtfs:
    case SourceKind::kFastExt4:
    case SourceKind::kProfessionalExt4:
      if (dataStart == 0) return false;
      sector = volumeStart + dataStart;
      break;
    case SourceKind::kSignature: sector = item.entrySector; break;
    default: return false;
  }
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(sector, uint64_t{sectorBytes}, &bytes) || __builtin_add_overflow(bytes, extra, &bytes)) {
    return false;
  }
  *byteOffset = bytes;
  return true;
}

}  // namespace engine
