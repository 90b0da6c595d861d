// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_record.h"
#include "jobs/document_converter.h"
#include "jobs/preview_tools.h"
#include "jobs/text_source.h"
#include "platform/status.h"

namespace jobs {

// Bytes of an item without a temporary file (text, unknown kinds) that the
// preview extracts into its buffer and shows as a character dump.
inline constexpr uint32_t kPreviewBufferBytes = 64u << 10;

// What the preparation job extracted: the preview record of one preview.
struct PreviewRecord {
  engine::ItemRecord item{};
  std::string tempPath;       // the temporary file in the session folder; empty when the data came into the buffer
  std::vector<uint8_t> data;  // the bytes ExtractItem placed into the buffer
  platform::Status extractStatus = platform::kStatusOk;
  bool media = false;     // audio or video: handed to a player
  bool audio = false;     // audio list
  bool document = false;  // previewable-document list
  bool pdf = false;       // the extension is "pdf"
  ConverterKind converter = ConverterKind::kNone;
};

// Sets the flags and the converter of record from the item's name: an exact
// photo entry (engine::kExactPhotoList) is a picture for CPicture, an exact
// document entry (engine::kExactDocumentList) a document only when the
// previewable-document list holds it (csv); any other
// extension (after the last "."), lower-cased, is tested as a substring of the
// audio list (audio and media), the video list (media) and the
// previewable-document list (document); a document with the extension
// "pdf" is a PDF, and a document gets the converter of its extension.
void ClassifyForPreview(std::string_view name, PreviewRecord* record);

// What the preview pane shows.
enum class PreviewProductKind {
  kFolder,   // a folder was selected: text is "MSG0904"
  kPicture,  // filePath is a picture (a photo, or a PDF's first page); fallbackText when it cannot be drawn
  kText,     // text is a document's text
  kListing,  // text is an archive's member listing
  kDump,     // text is a character dump; note says why a document was not converted
  kMedia,    // filePath goes to a player (audio tells which); the front end calls CPreviewSession::Play
  kFailed,   // nothing could be extracted: text says why
};

struct PreviewProduct {
  PreviewProductKind kind = PreviewProductKind::kFailed;
  std::string text;
  std::string filePath;
  bool audio = false;
  std::string fallbackText;                       // kPicture: "MSG0905"
  std::string note;                               // kDump after a failed conversion: "MSG1325" with what went wrong
  platform::Status status = platform::kStatusOk;  // kFailed: the extraction's status; kDump: the converter's
};

// "kFolder", "kPicture", ... as words for the command line: "folder",
// "picture", "text", "listing", "dump", "media", "failed".
std::string_view ProductKindWord(PreviewProductKind kind);

// The product of a selected folder: "MSG0904", no job.
PreviewProduct FolderPreview(const ITextSource* texts);

// The result step: decides from the record between picture, text, archive
// listing, PDF first page, player and character dump, running the
// document's converter (its helper programs under the watchdog) when it has
// one. A failed extraction gives kFailed with the reason ("MSG1324"); a
// failed conversion the dump of the file's first 8,192 bytes with a note.
// Blocks up to about two watchdog periods: call it on a worker thread,
// never on a window thread (the preview job calls it before it ends, so a
// front end only shows what comes back). stop (may be empty) is polled
// while a helper runs; when it says yes the result has status -9527.
PreviewProduct MakePreviewProduct(const PreviewRecord& record, const PreviewTools& tools, const ITextSource* texts,
                                  const std::function<bool()>& stop);

}  // namespace jobs
