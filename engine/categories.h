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

// Photo kinds newer than the lists above (HEIF/HEIC, AVIF, WebP, the RAW
// files of newer cameras). Every rule below consults them first, and only as
// whole entries, never as substrings: "*.avif" must not make ".avi" a photo,
// nor any shorter extension ("av", "we", "cr") change its category. They take
// no part in the known-extensions string or the lists' substring tests.
extern const std::string_view kExactPhotoList;
// Text documents the lists miss or misplace (".c" stands inside "*.crw" and
// would be a photo, ".h" inside "*.hdmov"): source code, scripts, data and
// configuration text, as the deep scan names the text it carves. Consulted
// first and as whole entries, as kExactPhotoList.
extern const std::string_view kExactDocumentList;

// Photo, audio, document, video and archive lists joined with "|".
const std::string& KnownExtensions();

// Text after the last "." of name; empty when there is none.
std::string_view ExtensionOf(std::string_view name);

// Plain substring test of the lower-cased bare extension in list (no
// anchoring: "jp" is in the photo list). An empty extension is in no list.
bool ExtensionInList(std::string_view extension, std::string_view list);

// Whether list holds "*." + the lower-cased extension as a whole entry.
bool ExtensionIsEntryOf(std::string_view extension, std::string_view list);
// A whole entry of kExactPhotoList (any case).
bool IsExactPhotoExtension(std::string_view extension);
// A whole entry of kExactDocumentList (any case).
bool IsExactDocumentExtension(std::string_view extension);
// Photo for every rule: an exact photo entry, or (no exact document entry)
// in the photo list.
bool IsPhotoExtension(std::string_view extension);

// Whether a search pattern selects "." + extension (dottedLower: lower case,
// with the dot): an exact photo or document extension by its own whole
// entry in the pattern; any other by the plain substring test against the
// pattern without those entries, or, when other is set, by standing nowhere in the
// known-extensions string. Every lists' pattern with "|.other" selects every
// extension.
class SearchPatternRule {
 public:
  SearchPatternRule(std::string_view pattern, bool other);
  bool Selects(std::string_view dottedLower) const;

 private:
  std::string_view m_pattern;
  std::string m_plain;  // the pattern without the exact entries
  bool m_other;
};

// Every category list in a search pattern: photo (with the exact photo
// entries), audio, video, document (with the exact document entries) and
// archive, joined with "|".
const std::string& EveryListPattern();

enum class Category { kFolder, kProgram, kPhoto, kAudio, kDocument, kVideo, kArchive, kOther };

// Category for icons: "folder" (any case) → folder; "exe" → program; an
// exact photo entry → photo, an exact document entry → document; then photo,
// audio, document, video, archive lists in that order; else other.
Category CategoryOfName(std::string_view name);
// Icon path "FileIcon\xxx.png"; the damaged variant when intact is false.
std::string IconOf(std::string_view name, bool intact);
// Lower-case English word for a category: "photo", "audio", ...
std::string_view CategoryWord(Category category);

// What ExtractItem does with an item, tested in order with later matches
// winning: preview documents → document; audio or video → video; photo
// (either form) → photo. An exact document entry is a document when the
// preview-document list holds it (csv), else none (its text is dumped).
enum class PreviewKind { kNone, kDocument, kVideo, kPhoto };
PreviewKind PreviewKindOf(std::string_view name);

// True when the name's extension is a photo's (damaged photos are hidden).
bool IsPhotoName(std::string_view name);

}  // namespace engine
