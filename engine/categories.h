// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>

namespace engine {

// Extension lists: "*." + extension entries separated by "|", lower case.
extern const std::string_view kPhotoList;
extern const std::string_view kAudioList;
extern const std::string_view kVideoList;
extern const std::string_view kDocumentList;  // icons and the store's "other" rule
extern const std::string_view kArchiveList;
extern const std::string_view kPreviewDocumentList;
// Narrow sub-lists of the previewable documents, by application.
extern const std::string_view kWordPreviewList;
extern const std::string_view kPresentationPreviewList;
extern const std::string_view kSpreadsheetPreviewList;
extern const std::string_view kPdfPreviewList;

// Photo, audio, document, video and archive lists joined with "|".
const std::string& KnownExtensions();

// Text after the last "." of name; empty when there is none.
std::string_view ExtensionOf(std::string_view name);

// Plain substring test of the lower-cased bare extension in list (no
// anchoring: "jp" is in the photo list). An empty extension is in no list.
bool ExtensionInList(std::string_view extension, std::string_view list);

enum class Category { kFolder, kProgram, kPhoto, kAudio, kDocument, kVideo, kArchive, kOther };

// Category for icons: "folder" (any case) → folder; "exe" → program; then
// photo, audio, document, video, archive lists in that order; else other.
Category CategoryOfName(std::string_view name);
// Icon path "FileIcon\xxx.png"; the damaged variant when intact is false.
std::string IconOf(std::string_view name, bool intact);
// Lower-case English word for a category: "photo", "audio", ...
std::string_view CategoryWord(Category category);

// What ExtractItem does with an item, tested in order with later matches
// winning: preview documents → document; audio or video → video; photo → photo.
enum class PreviewKind { kNone, kDocument, kVideo, kPhoto };
PreviewKind PreviewKindOf(std::string_view name);

// True when the photo list holds the name's extension (damaged photos are hidden).
bool IsPhotoName(std::string_view name);

}  // namespace engine
