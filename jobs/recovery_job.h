// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jobs/job.h"
#include "jobs/scan_source.h"

namespace jobs {

enum class RecoveryLayout {
  kByCategory,  // DIR/<category>/<name>; a checked folder keeps its path: DIR/<found path>/<folder>/<its tree>
  kTree,        // DIR/[<volume>/]<found folder path>/<name>
};

struct RecoveryJobInput {
  std::vector<FoundItem> items;  // checked files and folders, each bound to the source that found it
  std::string outputFolder;      // the folder the user chose; created when missing
  RecoveryLayout layout = RecoveryLayout::kByCategory;
  // Files named together (engine::CommitBatch); 0: the job's own choice.
  size_t batchFiles = 0;
};

// What became of one file.
struct RecoveredFileOutcome {
  std::string foundPath;    // "/folder/name" inside the volume
  std::string destination;  // the file written (or that would have been)
  uint64_t size = 0;
  platform::Status status = platform::kStatusOk;
  std::string note;  // e.g. that the wanted name was a link and another name was used
};

// The sources that hold folder (the output folder on a medium being
// recovered: "MSG0805"). Only sources with an engine count.
ScanSourceList SourcesHoldingFolder(const ScanSourceList& sources, const std::string& folder);

// The recovery job: copies every checked item, through the engine of the
// source object that found it, to a unique destination below the output
// folder. Names come from engine::SafeNameComponent and are made unique
// ("a(1).jpg", "x.tar(1).gz") against everything there, links included; a
// planted link is never written through (the file goes beside it, and the
// outcome says so). A checked folder is copied with its whole subtree at any
// depth, each file on its own (with its own name, row and outcome).
// Every file gets a detail row, in the order they end: "Success", or the
// failure's text. Files are written under temporary names and given their
// names in batches (engine::CommitBatch): the batch's data is flushed to its
// medium once, then named, and the folders flushed, so a file is named only
// when all of it is on the medium; its row comes when it is named. Each
// file and each folder made keeps the time of its record. Before Finish is
// shown every folder written to is flushed to its medium. When the output
// folder cannot take files at all (full, read-only, no permission) the job
// stops at the first such failure with one message (it does not fail every
// file that follows). Ends with 1 (finished, failures included), 2
// (cancelled; files already written stay whole, the one being copied leaves
// nothing) or 3 (the output folder cannot be used).
class CRecoveryJob final : public CJob {
 public:
  CRecoveryJob(RecoveryJobInput input, IJobView& view, const ITextSource* texts);
  ~CRecoveryJob() override;

  // Read after End (or from the view's calls, on the worker thread).
  int32_t Processed() const { return m_processed; }
  int32_t Failed() const { return m_failed; }
  int32_t Total() const { return m_total; }
  const std::vector<DetailRow>& Rows() const { return m_rows; }
  const std::vector<RecoveredFileOutcome>& Outcomes() const { return m_outcomes; }
  const std::string& OutputRoot() const { return m_root; }
  // Why the output folder stopped taking files (0 when it did not): the
  // job stopped there, and the files after it were not tried.
  platform::Status OutputStopped() const { return m_outputStopped; }

 private:
  JobResult Run() override;
  // The folder (relative to the root) a file or checked folder goes to.
  [[nodiscard]] platform::Status BaseFolderOf(const FoundItem& found, std::string* relative);
  [[nodiscard]] platform::Status UsableFolder(const std::string& parentRelative, const std::string& name,
                                              const std::string& key, std::string* relative);
  // false when cancelled.
  bool RecoverFile(ScanSource& source, const engine::ItemRecord& item, const std::string& foundPath,
                   const std::string& folderRelative);
  bool RecoverFolder(ScanSource& source, const FoundItem& found, const std::string& baseRelative);
  void AddRow(const std::string& path, platform::Status status, const std::string& note = {});
  void ShowCount();
  // Hands the files written so far over to be flushed and named, and gives
  // rows to the files named meanwhile; with wait, to every file handed.
  void NameWritten(bool wait);
  // Gives every folder made the times of its record (after its files).
  void KeepFolderTimes();
  void SyncWritten();
  // True (and the job stops) when status says the output folder takes no file at all.
  bool OutputCannotTake(platform::Status status, const std::string& path);
  static int32_t OnCopy(void* userData, int32_t percent, int32_t hundred, int32_t status, const char* path);

  RecoveryJobInput m_input;
  std::string m_root;
  int32_t m_rootSeparators = 0;
  int32_t m_processed = 0;
  int32_t m_failed = 0;
  int32_t m_total = 0;
  std::vector<DetailRow> m_rows;
  std::vector<RecoveredFileOutcome> m_outcomes;
  std::map<std::string, std::string> m_folders;  // key (what a folder stands for) -> its relative path
  std::set<std::string> m_written;               // folders that got new names, to flush at the end
  bool m_severalSources = false;                 // the tree layout keeps a folder per source
  // Files written and waiting for their names: (destination relative to the root) -> their outcome.
  std::unordered_map<std::string, size_t> m_waiting;
  // Folders made: where, and what they stand for (their times come from their records).
  struct MadeFolder {
    std::string relative;
    std::shared_ptr<ScanSource> source;
    std::string foundPath;  // the tree layout's folders: "a/b" inside the source
    engine::ItemRecord record{};
    bool hasRecord = false;  // a checked folder's tree: its record is known
  };
  std::vector<MadeFolder> m_madeFolders;
  platform::Status m_outputStopped = platform::kStatusOk;
  std::string m_stoppedAt;  // the folder that took no more files
};

}  // namespace jobs
