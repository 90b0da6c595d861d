// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/search_job.h"

namespace jobs {

// Category folder of a recovered file, by the extension of its name: the
// photo, audio, video, document and archive lists in that order, else
// "others". A name without an extension goes to "others".
std::string CategoryFolderOf(std::string_view name);

// path itself when nothing exists there, else "base(n).ext" with the first
// free n from 1 (the extension is the text from the last "." of the name).
std::string UniquePath(const std::string& path);

enum class RecoveryLayout {
  kByCategory,  // DIR/<category>/<name>
  kTree,        // DIR/[<volume>/]<folder path>/<name>
};

struct RecoveryOutcome {
  const FoundFile* file = nullptr;
  std::string destination;
  platform::Status status = platform::kStatusOk;
};

class IRecoveryObserver {
 public:
  virtual ~IRecoveryObserver() = default;
  virtual void OnFileProgress(const FoundFile& file, const std::string& destination, int32_t percent) = 0;
  virtual void OnFileDone(const RecoveryOutcome& outcome) = 0;
};

struct RecoverySummary {
  int32_t processed = 0;
  int32_t failed = 0;
  bool cancelled = false;
};

// Copies every file through the engine that found it to a unique destination
// below outputFolder (created when missing). Nothing is ever overwritten; a
// found name only ever becomes a name below outputFolder. A set cancel flag
// stops at the next copy report; the file being copied is then removed.
RecoverySummary RunRecoveryJob(std::vector<ScanSource>& sources, const std::vector<FoundFile>& files,
                               const std::string& outputFolder, RecoveryLayout layout, IRecoveryObserver* observer,
                               const std::atomic<bool>* cancel);

}  // namespace jobs
