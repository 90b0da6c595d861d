// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/search_job.h"

#include <algorithm>

#include "engine/categories.h"
#include "platform/utf.h"

namespace jobs {
namespace {

struct SearchContext {
  const std::atomic<bool>* cancel;
};

int32_t OnSearchProgress(void* userData, int32_t, int32_t) {
  auto* context = static_cast<SearchContext*>(userData);
  return context->cancel != nullptr && context->cancel->load() ? platform::kStatusCancelled : 0;
}

bool IsExtensionWord(const std::string& word) {
  return !word.empty() && word.size() <= 16 &&
         std::all_of(word.begin(), word.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

}  // namespace

bool BuildSearchPattern(const std::vector<std::string>& types, std::string* pattern, std::string* error) {
  std::vector<std::string> words = types;
  if (words.empty()) words = {"photo", "audio", "video", "document", "archive", "other"};
  pattern->clear();
  for (const auto& raw : words) {
    std::string word = platform::AsciiLower(raw);
    if (!word.empty() && word[0] == '.') word.erase(0, 1);
    std::string_view piece;
    std::string extension;
    if (word == "photo") {
      piece = engine::kPhotoList;
    } else if (word == "audio") {
      piece = engine::kAudioList;
    } else if (word == "video") {
      piece = engine::kVideoList;
    } else if (word == "document") {
      piece = engine::kDocumentList;
    } else if (word == "archive") {
      piece = engine::kArchiveList;
    } else if (word == "other") {
      piece = ".other";
    } else if (IsExtensionWord(word)) {
      extension = "*." + word;
      piece = extension;
    } else {
      *error = "unknown type '" + raw + "': use photo, audio, video, document, archive, other or an extension";
      return false;
    }
    if (!pattern->empty()) pattern->push_back('|');
    pattern->append(piece);
  }
  return true;
}

platform::Status CollectFiles(std::vector<ScanSource>& sources, const std::string& pattern,
                              std::vector<FoundFile>* files, const std::atomic<bool>* cancel) {
  files->clear();
  SearchContext context{cancel};
  for (size_t i = 0; i < sources.size(); ++i) {
    auto& engine = sources[i].engine;
    if (!engine) continue;
    if (cancel != nullptr && cancel->load()) return platform::kStatusCancelled;
    std::vector<engine::ItemRecord> found;
    (void)engine->SetSearchCallback(OnSearchProgress, &context);
    (void)engine->Search(pattern, found);
    (void)engine->SetSearchCallback(nullptr, nullptr);
    for (const auto& item : found) {
      FoundFile f;
      f.sourceIndex = i;
      f.item = item;
      std::string path;
      if (engine->GetItemPath(&item, path) == platform::kStatusOk || !path.empty()) {
        std::replace(path.begin(), path.end(), '\\', '/');
        f.folderPath = path;
      }
      files->push_back(std::move(f));
    }
  }
  return platform::kStatusOk;
}

bool IsDeletedItem(const engine::ItemRecord& item) {
  // The fast engines record deleted files only.
  const bool fastEngine = item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastFat) ||
                          item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastNtfs);
  if (fastEngine && item.isFolder == 0) return true;
  return item.isDeleted != 0;
}

const char* EngineName(int32_t sourceKind) {
  switch (static_cast<engine::SourceKind>(sourceKind)) {
    case engine::SourceKind::kFastNtfs: return "fast-ntfs";
    case engine::SourceKind::kFastFat: return "fast-fat";
    case engine::SourceKind::kProfessionalNtfs: return "pro-ntfs";
    case engine::SourceKind::kProfessionalFat: return "pro-fat";
    case engine::SourceKind::kSignature: return "signature";
    case engine::SourceKind::kFastExFat: return "fast-exfat";
    case engine::SourceKind::kProfessionalExFat: return "pro-exfat";
  }
  return "unknown";
}

}  // namespace jobs
