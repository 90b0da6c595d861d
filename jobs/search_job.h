// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <set>
#include <string>
#include <vector>

#include "jobs/job.h"
#include "jobs/scan_source.h"

namespace jobs {

// The pattern for the main window's type selection (lower-case extensions
// without dots, sorted): "*.doc|*.jpg"; for an empty selection every list
// (engine::EveryListPattern).
std::string PatternFromSelection(const std::set<std::string>& extensions);

// The pattern for the command line's --types: categories (photo, audio,
// video, document, archive, other) and/or bare extensions (jpg, .PNG), in
// the order given. An empty list means every category and "other". False
// with *error for a word that is neither a category nor the extension of a
// kind the program knows (in a category's list, or one the deep scan
// carves): a typo is a usage error, never an empty result.
bool BuildSearchPattern(const std::vector<std::string>& types, std::string* pattern, std::string* error);

struct SearchJobInput {
  ScanSourceList sources;  // sources without an engine are passed over
  std::string pattern;
  bool withFolderPaths = true;  // fill FoundItem::folderPath (one store lookup per file)
};

// The search job: asks each source's engine for the files the pattern
// selects, source after source, into one result list (first source first).
// A source whose results cannot be read is reported (searchStatus and a
// Notify) and the others are still searched. Ends with 1, or 2 when
// cancelled; posts 1026 in both cases, so the front end shows what was
// collected.
class CSearchJob final : public CJob {
 public:
  CSearchJob(SearchJobInput input, IJobView& view, const ITextSource* texts);
  ~CSearchJob() override;

  // The collected files; take them after End.
  std::vector<FoundItem>& Results() { return m_results; }

 private:
  JobResult Run() override;
  static int32_t OnProgress(void* userData, int32_t percent, int32_t zero);

  SearchJobInput m_input;
  std::vector<FoundItem> m_results;
};

}  // namespace jobs
