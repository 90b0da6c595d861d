// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "jobs/job_control.h"
#include "jobs/job_view.h"
#include "jobs/text_source.h"
#include "platform/status.h"

namespace jobs {

// What every job has: one worker thread, the process-wide lock and flags of
// its kind (JobControl), a view it reports to and the texts it shows.
//
// Use: construct with the job's input, Start() (returns at once), and wait
// for the view's End(result). The window thread never blocks on the job:
// the cancel button calls BeginCancel() (the worker pauses at its next
// report), the window asks its question, then EndCancel(answer). The
// command line and tests may call Wait(). Destroying a job waits for its
// worker; a job may be destroyed on its own worker thread (after End).
class CJob {
 public:
  CJob(JobKind kind, IJobView& view, const ITextSource* texts);
  virtual ~CJob();
  CJob(const CJob&) = delete;
  CJob& operator=(const CJob&) = delete;

  // Starts the worker. 0; 170 (busy) when a job of this kind is running or
  // this job was started before.
  [[nodiscard]] platform::Status Start();
  // Blocks the calling thread (never the window thread) until the worker has
  // ended; returns its result.
  JobResult Wait();
  // Blocks the calling thread (never the window thread) until the worker
  // has ended or timeout has passed; true when it has ended. Returns as soon
  // as it ends: a short job costs no more than itself.
  bool WaitUntilDone(std::chrono::milliseconds timeout);

  // The user pressed cancel: the worker stops at its next report (a slow
  // read finishes first) until EndCancel. Never blocks.
  void BeginCancel();
  // The user's answer to the cancel question: true stops the job.
  void EndCancel(bool confirmed);
  // BeginCancel and EndCancel(true) at once (the command line's Ctrl-C).
  void Cancel();

  bool IsDone() const { return m_done.load(); }
  // The result once done; kNone before.
  JobResult Result() const { return m_result.load(); }
  JobKind Kind() const { return m_kind; }

 protected:
  // The job's work, on the worker thread. Returns the window result.
  virtual JobResult Run() = 0;
  // Waits for the worker (not when called on it). Every concrete job calls it
  // first in its destructor, before its own members go.
  void JoinWorker();
  // For progress callbacks: 0, or -9527 once the user confirmed a cancel.
  // Waits while the cancel question is open.
  [[nodiscard]] int32_t CheckPoint();
  bool CancelConfirmed() const { return m_cancelSeen.load(); }
  IJobView& View() { return m_view; }
  const ITextSource* Texts() const { return m_texts; }
  // The text of a "Messages" key; empty when missing.
  std::string Msg(std::string_view key) const { return MessageText(m_texts, key); }

 private:
  void ThreadMain();

  const JobKind m_kind;
  IJobView& m_view;
  const ITextSource* m_texts;
  std::thread m_thread;
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_done{false};
  std::mutex m_doneMutex;
  std::condition_variable m_doneChanged;
  std::atomic<bool> m_cancelSeen{false};
  std::atomic<JobResult> m_result{JobResult::kNone};
};

}  // namespace jobs
