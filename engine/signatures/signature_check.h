// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/sector_source.h"

namespace engine::signatures {

// Whether the first sector of a file looks like what its extension promises.
// 1 when the extension (any case) has no row in the signature table, or when
// that row's recogniser, run on buffer as if found at absolute `sector` of
// reader, returns the row's own code; 0 otherwise. buffer holds the start of
// the file (at least one sector). reader may be read around `sector` by the
// recognisers that need more than the buffer. Scanning thread only.
int32_t MatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension,
                         storage::SectorSource* reader, uint32_t sectorSize, uint64_t sector);

}  // namespace engine::signatures
