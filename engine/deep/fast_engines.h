// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>

#include "engine/file_recovery_parse.h"
#include "storage/sector_source.h"

namespace engine::deep {

// The fast engine of the volume that starts at startSector of source
// (sectorCount sectors, 0: to the end, in the source's unit), opened on a
// share of source, for what the volume's first 16 KiB hold: FAT12/16/32, NTFS
// or exFAT (also known by its backup boot region). Null for any other volume (ext, encrypted, unknown, unreadable) or
// when the engine cannot open it. *sectorBytes receives the size of the
// sectors the engine counts in (its boot sector's bytes per sector).
std::unique_ptr<IFileRecoveryParse> OpenFastEngine(storage::SectorSource& source, uint64_t startSector,
                                                   uint64_t sectorCount, uint16_t driveLetter, uint32_t* sectorBytes);

// The fast engine's volume fingerprint (VolumeFingerprint of the FAT, NTFS
// and exFAT engines); 0 for other engines or when it cannot be read.
uint64_t FastEngineFingerprint(IFileRecoveryParse& engine);

}  // namespace engine::deep
