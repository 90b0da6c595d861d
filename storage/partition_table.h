// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/partitions.h"
#include "storage/sector_source.h"

namespace storage {

// Reads the partition table at the start of a disk through its sector
// source: an MBR with its chain of extended boot records, or the GPT behind a
// protective MBR (the primary header, else the backup in the last sector).
// Used for container images, whose file bytes are not the media libblkid
// would need; it answers as platform::ListPartitions does: numbers 1-4 for
// the MBR's slots, 5 on for logical partitions in chain order, a GPT entry's
// index + 1; extended containers not listed; start and count in sectors of
// sectorSize; type "0x0c" or the lowercase type GUID; devicePath empty.
//
// Every byte is untrusted: entry counts and sizes, chain links and offsets
// are checked against the media before use, checksums of GPT headers and
// entry arrays must match, the EBR chain stops at a loop or after 128 links.
// *tableType is "dos", "gpt" or empty (no table, or one that fails its
// checks: the list is then empty and the status 0). Returns 0, or the status
// of a failed read of the first sectors. source is used by this thread for
// the call only. REQUIRES: sectorSize is 512, 1024, 2048 or 4096 and
// source.totalSectors counts sectors of that size.
[[nodiscard]] Status ReadPartitionTable(SectorSource& source, uint32_t sectorSize,
                                        std::vector<platform::PartitionInfo>* partitions, std::string* tableType);

// Partitions of the disk or image at path, read-only: libblkid for block
// devices and raw files, ReadPartitionTable over the media for containers
// (sectorSize is then the container's own). errorText, when given, says why
// the media could not be opened or read.
[[nodiscard]] Status ListImagePartitions(const std::string& path, uint32_t sectorSize,
                                         std::vector<platform::PartitionInfo>* partitions, std::string* tableType,
                                         std::string* errorText = nullptr);

}  // namespace storage
