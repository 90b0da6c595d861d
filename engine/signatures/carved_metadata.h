// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/signatures/file_type_code.h"
#include "engine/signatures/read_ahead.h"

namespace engine::signatures {

// What a carved file says about itself: when it was made and what it is
// called, read from its own metadata (Exif of photos through libexif, the
// movie header and title tags of ISO media, Vorbis comments of FLAC and Ogg,
// ID3v2 of MP3, the title and creation date of ODF, OOXML, EPUB and PDF
// documents, the Date and Subject of mail).
struct CarvedMetadata {
  int64_t unixSeconds = 0;  // the file's own time, seconds since 1970 (as written: a camera's local time)
  bool hasTime = false;
  std::string label;  // camera model, title or subject; empty when none
};

// Reads the metadata of the carved file of `code` that starts at the
// window's first byte and is fileSize bytes long. False when it holds none
// this reader knows. Bounded reads only; the window's thread.
bool ReadCarvedMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out);

// The name a carved file is given from its metadata, without extension:
// "2025-07-14 18.22.05 Pixel 8 Pro", "2025-07-14 18.22.05", "Holiday photos";
// empty when the metadata holds neither a time nor a label. Not yet safe as
// a path component: the recovery makes it so.
std::string MetadataName(const CarvedMetadata& metadata);

// Seconds since 1970 of a civil date and time (UTC, proleptic Gregorian);
// false when a field is out of range.
bool CivilToUnix(int year, int month, int day, int hour, int minute, int second, int64_t* out);

}  // namespace engine::signatures
