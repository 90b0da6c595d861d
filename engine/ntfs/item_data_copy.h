// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/byte_view.h"
#include "engine/copy_sink.h"
#include "engine/item_record.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "engine/status.h"

namespace engine::ntfs {

// How a copy found the data.
enum class DataPlacement { kNone, kResident, kRuns };

// Hands the first byteCount bytes of an item's unnamed $DATA to sink.
// record is the item's fixed-up file record and recordNumber its number.
// Resident data is handed over in one piece without a progress call.
// Non-resident data is read run by run in pieces of 64 KiB at the item's
// volumeStartSector with its clusterBytes; a sparse run gives zeros.
// Results: 0; 29 when clusterBytes exceeds 100 MiB or is not whole sectors;
// 87 when a run lies outside the volume (nothing of it is read); 30 when a
// read delivers nothing or the data ends before byteCount bytes; a sink's
// write error; a progress callback's non-zero value.
[[nodiscard]] Status CopyItemData(NtfsVolume& volume, ByteView record, uint64_t recordNumber, const ItemRecord& item,
                                  uint64_t byteCount, ICopySink& sink, const CopyProgress& progress,
                                  DataPlacement* placement = nullptr);

// How many separate runs of the volume an item's unnamed $DATA is read
// from: 1 for resident data or data in one run; runs that follow each other
// on the volume count once, sparse runs not at all. 1 when the record holds
// no data runs it can follow.
int32_t CountDataRuns(NtfsVolume& volume, ByteView record, uint64_t recordNumber);

}  // namespace engine::ntfs
