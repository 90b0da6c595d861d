// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string_view>

namespace jobs {

// The one category rule of the jobs and the front ends: what a file is shown
// as, which --types word selects it, and which folder it is recovered into.
// An exact photo entry (engine::kExactPhotoList: HEIC, AVIF, WebP, ...) is a
// photo, an exact document entry (engine::kExactDocumentList: c, py, json,
// ...) a document; otherwise by "." + the extension after the last ".", lower-cased,
// found as a substring of the photo, audio, video, document and archive
// lists in that order, exactly as the store's search matches a pattern (so "ra" lands in
// photo through "*.raf", and "rm" in audio). A name without an
// extension, or one in no list (".exe", ".bin"), is "other", which the
// search's ".other" rule also selects.
enum class FileCategory { kPhoto, kAudio, kVideo, kDocument, kArchive, kOther };

FileCategory CategoryOf(std::string_view name);
// "photo", "audio", "video", "document", "archive", "other".
std::string_view CategoryWord(FileCategory category);
// The recovery folder: as the word, but "others" for other.
std::string_view CategoryFolder(FileCategory category);

}  // namespace jobs
