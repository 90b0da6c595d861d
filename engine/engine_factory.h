// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "engine/boot_sector_tests.h"
#include "engine/file_recovery_parse.h"

namespace engine {

// Reads the first 16 KiB of a volume, classifies it and creates the engine
// for the mode, opened on the source. Null when the source cannot be read,
// is shorter than 16 KiB, or holds no file system the mode handles.
// professional != 0 asks for the deep-scan coordinator.
std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int32_t diskNumber, uint64_t startSector,
                                                             uint64_t sectorCount, uint16_t driveLetter,
                                                             int32_t professional);
std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& imagePath, uint16_t driveLetter,
                                                         int32_t professional);

// A value that changes when the volume an engine was opened on is written
// (the FAT, NTFS's cluster and record bitmaps, or exFAT's allocation bitmap
// and FAT, hashed); 0 when it cannot be told (other file systems,
// unreadable tables). Reads the volume.
uint64_t VolumeFingerprintOf(IFileRecoveryParse& engine);

}  // namespace engine
