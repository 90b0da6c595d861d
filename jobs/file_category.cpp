// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/file_category.h"

#include <string>

#include "engine/categories.h"
#include "platform/utf.h"

namespace jobs {

FileCategory CategoryOf(std::string_view name) {
  const std::string_view ext = engine::ExtensionOf(name);
  if (ext.empty()) return FileCategory::kOther;
  // Whole entries, before the lists.
  if (engine::IsExactPhotoExtension(ext)) return FileCategory::kPhoto;
  if (engine::IsExactDocumentExtension(ext)) return FileCategory::kDocument;
  // "." + the extension, as the store's search tests it against a pattern.
  const std::string dotted = "." + platform::AsciiLower(ext);
  auto in = [&](std::string_view list) { return list.find(dotted) != std::string_view::npos; };
  if (in(engine::kPhotoList)) return FileCategory::kPhoto;
  if (in(engine::kAudioList)) return FileCategory::kAudio;
  if (in(engine::kVideoList)) return FileCategory::kVideo;
  if (in(engine::kDocumentList)) return FileCategory::kDocument;
  if (in(engine::kArchiveList)) return FileCategory::kArchive;
  return FileCategory::kOther;
}

std::string_view CategoryWord(FileCategory category) {
  switch (category) {
    case FileCategory::kPhoto: return "photo";
    case FileCategory::kAudio: return "audio";
    case FileCategory::kVideo: return "video";
    case FileCategory::kDocument: return "document";
    case FileCategory::kArchive: return "archive";
    case FileCategory::kOther: break;
  }
  return "other";
}

std::string_view CategoryFolder(FileCategory category) {
  return category == FileCategory::kOther ? "others" : CategoryWord(category);
}

}  // namespace jobs
