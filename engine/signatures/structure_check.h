// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string_view>

#include "storage/sector_source.h"

namespace engine::signatures {

// What a file's own structure says about bytes put together for it.
enum class StructureVerdict {
  kConsistent,  // the structure holds from the first byte to its end, within the file's size
  kBroken,      // it breaks: a foreign piece lies inside, or the start is wrong
  kNoCheck,     // the kind has no structure that tells (or the file is too large to check)
};

// Largest file whose structure is checked; larger ones are kNoCheck.
inline constexpr uint64_t kMaxCheckedFileBytes = 64u << 20;

// Checks the bytes of a file presented as a source of its own: sector n of
// file holds bytes [n * sectorSize, (n + 1) * sectorSize) of the file
// (sectorSize 512 to 65536), fileSize bytes in all. Kinds with a structure
// that exposes foreign bytes are checked: JPEG (markers and entropy-coded
// data), PNG (chunks and their CRCs), GIF (blocks), TIFF and PSD (their
// offsets and lengths), ZIP and the formats built on it (the central
// directory, each member's local header, each deflated member's deflate
// blocks and each stored member's CRC), PDF (the cross-reference table's
// object offsets). Reads only through file; any thread (no shared state).
StructureVerdict CheckFileStructure(storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize,
                                    std::string_view extension);

}  // namespace engine::signatures
