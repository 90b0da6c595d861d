// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine::exfat {

// The deep scan's test for exFAT directories: true when the sector at bytes
// (sectorSize bytes, 512 to 4096) holds exFAT directory entries. Entries
// are taken from the sector's first one: leading secondary entries (the end
// of a set that began in the sector before) are passed over; every entry
// set that begins in the sector must be whole and check (ParseEntrySet, its
// checksum); the root's own entries (allocation bitmap, up-case table,
// volume label, volume GUID) and deleted entries may appear; an end-of-
// directory entry must be followed by zeros to the sector's end; any other
// entry type fails. The sector passes when it holds at least one whole file
// set that checks, or the root's allocation bitmap and up-case table
// entries. length may reach past the sector (the rest of the caller's
// buffer) so that a set that begins in the sector and ends after it can be
// checked; a set that runs past length, or that runs past the sector and
// does not check with what follows it (a directory's next cluster may lie
// elsewhere), is neither counted nor held against the sector. Reads only bytes[0, length). Pure; any thread.
bool IsExFatDirectorySector(const uint8_t* bytes, size_t length, uint32_t sectorSize);

}  // namespace engine::exfat
