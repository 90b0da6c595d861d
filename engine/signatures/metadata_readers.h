// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/signatures/carved_metadata.h"
#include "engine/signatures/file_type_code.h"
#include "engine/signatures/read_ahead.h"

// The per-format readers behind ReadCarvedMetadata. Each reads the carved
// file through window (its first byte at offset 0, fileSize bytes long),
// bounds-checks every offset it takes from the data, and answers false when
// the file holds nothing it knows. The window's thread only.
namespace engine::signatures {

// Copies count bytes at offset into *out (replacing it); false when any cannot be read.
bool ReadFileBytes(FileWindow& window, uint64_t offset, size_t count, std::vector<uint8_t>* out);

// HEIF/AVIF: the Exif item's TIFF data, found through meta's iinf and iloc.
bool HeifExifItem(FileWindow& window, uint64_t fileSize, std::vector<uint8_t>* tiff);
// ISO media: the movie header's creation time and the title tag (iTunes ilst
// or QuickTime user data).
bool IsoMovieMetadata(FileWindow& window, uint64_t fileSize, CarvedMetadata* out);
// FLAC and Ogg (Vorbis, Opus): the Vorbis comments TITLE and DATE.
bool VorbisCommentMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out);
// MP3: the ID3v2 title (TIT2) and recording time (TDRC, TYER).
bool Id3Metadata(FileWindow& window, uint64_t fileSize, CarvedMetadata* out);
// ODF (meta.xml), OOXML (docProps/core.xml) and EPUB (the package's .opf):
// the title and the creation date, the member inflated by zlib.
bool PackageMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out);

}  // namespace engine::signatures
