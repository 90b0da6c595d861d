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

}  // namespace engine
