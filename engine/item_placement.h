// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/item_record.h"

namespace engine {

// Where a found file's data begins on its source, as a byte offset from the
// source's start, taken from the record alone (nothing is read). sectorBytes
// is the unit of the record's sector fields (the volume's bytes per sector
// for the file-system engines, the source's sector size for carved files).
// False for folders, empty files and files whose start is not known: a FAT
// entry without a cluster or without a cluster size, an NTFS file whose data
// is resident or sparse at its start.
bool FirstDataByteOf(const ItemRecord& item, uint32_t sectorBytes, uint64_t* byteOffset);

// Implemented by engines whose items come from more than one volume layout
// (the deep-scan coordinator): FirstDataByteOf with the unit of the engine
// that found the item. Front ends ask it with dynamic_cast.
class IItemPlacement {
 public:
  virtual ~IItemPlacement() = default;
  virtual bool FirstDataByte(const ItemRecord& item, uint64_t* byteOffset) = 0;
};

}  // namespace engine
