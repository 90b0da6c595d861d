// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "jobs/job.h"
#include "jobs/media_players.h"
#include "jobs/preview_product.h"
#include "jobs/preview_tools.h"
#include "jobs/scan_source.h"

namespace jobs {

class CPreviewJob;

// The preview state of one main window (or one command): the helper
// programs, the players it started, and the temporary files of the last
// preview. The temporary files lie in the process's private session folder
// (platform::SessionFolder) under fixed names. Thread-safe: the window
// thread selects, plays and shuts down; the preview job's worker ends the
// players and deletes the previous files.
//
// Front-end use, on the window thread:
//   PreviewProduct shown;
//   auto job = session.Select(item, view, texts, &shown);
//   if (!job) show(shown);                       // a folder: "MSG0904", no job
//   else job->Start();  ... view.End(1) ...  show(job->Product());
//   if (product.kind == kMedia && session.Play(product) != 0) show "MSG1207"
// and Shutdown() (or the destructor) at exit.
class CPreviewSession {
 public:
  explicit CPreviewSession(PreviewTools tools);
  // Shutdown().
  ~CPreviewSession();
  CPreviewSession(const CPreviewSession&) = delete;
  CPreviewSession& operator=(const CPreviewSession&) = delete;

  const PreviewTools& Tools() const { return m_tools; }
  CMediaPlayers& Players() { return m_players; }

  // The user selected item. A folder: *shown becomes its product
  // ("MSG0904") and no job is made (null). A file: the preparation job
  // (not started yet) reporting to view. The session must outlive the job.
  std::unique_ptr<CPreviewJob> Select(const FoundItem& item, IJobView& view, const ITextSource* texts,
                                      PreviewProduct* shown);

  // Hands a media product to its player (video or audio command). Returns
  // at once; 0, or why no player could be started: show "MSG1207".
  [[nodiscard]] platform::Status Play(const PreviewProduct& product);

  // Worker side (the preview job): a temporary file of the current preview,
  // deleted before the next one.
  void RememberFile(const std::string& path);
  // Deletes the previous preview's temporary files.
  void DeletePreviousFiles();

  // At exit: ends the players this session started (at once), deletes the
  // temporary files and removes the session folder.
  void Shutdown();

 private:
  const PreviewTools m_tools;
  CMediaPlayers m_players;
  std::mutex m_mutex;
  std::set<std::string> m_files;
};

struct PreviewJobInput {
  FoundItem item;                      // a file, bound to the source whose engine found it
  CPreviewSession* session = nullptr;  // must outlive the job
};

// The preview's preparation job: ends the running players (waiting up to a
// second for them before a media preview), deletes the previous temporary
// files, has the item's engine extract it (ExtractItem: a temporary file
// with a fixed name in the session folder, or the first 64 KiB into a
// buffer) with the percent line "MSG0901", and then runs the result step
// (MakePreviewProduct) on its worker, so a converter never runs on a
// window thread. Ends with 1 and a product to show (a failed extraction's
// product says why), or 2 when cancelled: a cancel during the extraction
// or the conversion stops at once (a running helper is killed) and deletes
// the temporary files. The stage line is "MSG0902" with the item's name;
// the cancel question is "MSG0903".
class CPreviewJob final : public CJob {
 public:
  CPreviewJob(PreviewJobInput input, IJobView& view, const ITextSource* texts);
  ~CPreviewJob() override;

  // Read after End.
  const PreviewProduct& Product() const { return m_product; }
  const PreviewRecord& Record() const { return m_record; }

 private:
  JobResult Run() override;
  static int32_t OnExtract(void* userData, int32_t percent, int32_t status);

  PreviewJobInput m_input;
  PreviewRecord m_record;
  PreviewProduct m_product;
};

}  // namespace jobs
