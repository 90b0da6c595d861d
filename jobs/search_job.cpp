// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/search_job.h"

#include <algorithm>

#include "engine/categories.h"
#include "engine/signatures/file_signature_table.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "platform/error.h"
#include "platform/utf.h"

namespace jobs {
namespace {

bool IsExtensionWord(const std::string& word) {
  return !word.empty() && word.size() <= 16 &&
         std::all_of(word.begin(), word.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

// An extension of a kind the program knows: in a category's list, or one the deep scan carves.
bool IsKnownExtension(const std::string& word) {
  const std::string entry = "*." + word;
  for (std::string_view list :
       {engine::kPhotoList, engine::kAudioList, engine::kVideoList, engine::kDocumentList, engine::kArchiveList}) {
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find('|', start);
      if (end == std::string_view::npos) end = list.size();
      if (list.substr(start, end - start) == entry) return true;
      start = end + 1;
    }
  }
  return engine::signatures::RowOfExtension(word) >= 0;
}

bool IsAsciiLetter(uint16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

}  // namespace

std::string PatternFromSelection(const std::set<std::string>& extensions) {
  if (extensions.empty()) return engine::EveryListPattern();
  std::string pattern;
  for (const auto& e : extensions) {
    pattern += pattern.empty() ? "*." : "|*.";
    pattern += e;
  }
  return pattern;
}

bool BuildSearchPattern(const std::vector<std::string>& types, std::string* pattern, std::string* error) {
  std::vector<std::string> words = types;
  if (words.empty()) words = {"photo", "audio", "video", "document", "archive", "other"};
  pattern->clear();
  for (const auto& raw : words) {
    std::string word = platform::AsciiLower(raw);
    if (!word.empty() && word[0] == '.') word.erase(0, 1);
    std::string piece;
    if (word == "photo") {
      piece = std::string(engine::kPhotoList) + "|" + std::string(engine::kExactPhotoList);
    } else if (word == "audio") {
      piece = engine::kAudioList;
    } else if (word == "video") {
      piece = engine::kVideoList;
    } else if (word == "document") {
      piece = std::string(engine::kDocumentList) + "|" + std::string(engine::kExactDocumentList);
    } else if (word == "archive") {
      piece = engine::kArchiveList;
    } else if (word == "other" || word == "others") {
      piece = ".other";
    } else if (IsExtensionWord(word) && IsKnownExtension(word)) {
      piece = "*." + word;
    } else {
      *error = raw;
      return false;
    }
    if (!pattern->empty()) pattern->push_back('|');
    pattern->append(piece);
  }
  return true;
}

CSearchJob::CSearchJob(SearchJobInput input, IJobView& view, const ITextSource* texts)
    : CJob(JobKind::kSearch, view, texts), m_input(std::move(input)) {}

CSearchJob::~CSearchJob() {
  JoinWorker();
}

int32_t CSearchJob::OnProgress(void* userData, int32_t percent, int32_t) {
  auto* job = static_cast<CSearchJob*>(userData);
  if (int32_t r = job->CheckPoint(); r != 0) return r;
  job->View().SetLine(ViewLine::kPercent, FormatText("%s %d%%", {job->Msg(keys::kSearchPercent), percent}));
  job->View().SetBar(percent);
  return 0;
}

JobResult CSearchJob::Run() {
  m_results.clear();
  for (auto& pointer : m_input.sources) {
    if (CheckPoint() != 0) break;
    ScanSource& source = *pointer;
    std::unique_lock busy(source.inUse, std::try_to_lock);
    if (!busy.owns_lock()) {
      source.searchStatus = platform::kErrorBusy;
      View().Notify(MessageKind::kWarning, FormatText(Msg(keys::kSourceBusy), {source.target.label}));
      continue;
    }
    if (!source.engine) continue;  // skipped or failed in the scan, which said so
    const storage::VolumeTarget& t = source.target;
    std::string stage;
    if (t.isImage) {
      stage = FormatText(Msg(keys::kSearchStageImage), {FileNameOfPath(t.imagePath)});
    } else if (IsAsciiLetter(t.driveLetter)) {
      stage = FormatText(Msg(keys::kSearchStageLetter), {TextArg::Character(t.driveLetter)});
    } else {
      stage = FormatText(Msg(keys::kSearchStageNoLetter), {static_cast<int>(t.driveLetter)});
    }
    View().SetLine(ViewLine::kSourceName, t.label);
    View().SetLine(ViewLine::kStage, stage);

    std::vector<engine::ItemRecord> found;
    const platform::Status callback = source.engine->SetSearchCallback(OnProgress, this);
    const int32_t searched = callback == platform::kStatusOk ? source.engine->Search(m_input.pattern, found) : 0;
    if (source.engine->SetSearchCallback(nullptr, nullptr) != platform::kStatusOk) {
      // What the search returned is what counts.
    }
    if (callback != platform::kStatusOk) {
      source.searchStatus = callback;
      View().Notify(MessageKind::kWarning,
                    FormatText(Msg(keys::kSearchUnreadable), {t.label, ErrorText(Texts(), callback)}));
    } else if (CancelConfirmed()) {
      source.searchStatus = platform::kStatusCancelled;
    } else if (searched != 1) {
      // 0: the record file could not be opened. Not "nothing found".
      source.searchStatus = platform::kErrorFileNotFound;
      View().Notify(MessageKind::kWarning,
                    FormatText(Msg(keys::kSearchUnreadable), {t.label, ErrorText(Texts(), source.searchStatus)}));
    } else {
      source.searchStatus = platform::kStatusOk;
    }
    m_results.reserve(m_results.size() + found.size());
    for (const auto& item : found) {
      FoundItem f;
      f.source = pointer;
      f.item = item;
      f.item.driveLetter = t.driveLetter;  // records of a reused store carry the letter of another run
      if (m_input.withFolderPaths) {
        std::string path;
        // A path that cannot be resolved leaves what was found of it (the item stays at the root).
        if (source.engine->GetItemPath(&item, path) == platform::kStatusOk || !path.empty()) {
          std::replace(path.begin(), path.end(), '\\', '/');
          f.folderPath = path;
        }
      }
      NoteReassembled(f);
      m_results.push_back(std::move(f));
    }
    if (source.searchStatus == platform::kStatusCancelled) break;
  }
  View().Post(JobEvent::kSearchFinished);
  return CancelConfirmed() ? JobResult::kCancelled : JobResult::kFinished;
}

}  // namespace jobs
