// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace jobs {

// How a job window ends: 1 finished, 2 cancelled, 3 failed.
enum class JobResult : int32_t { kNone = 0, kFinished = 1, kCancelled = 2, kFailed = 3 };

// The five message-box kinds and what the user may answer.
enum class MessageKind : int32_t { kError = 0, kConfirm = 1, kInformation = 2, kWarning = 3, kQuestion = 4 };

// An answer to a question: OK (1); Cancel or No (2); or the box closed
// without a choice, which means "not now" and is never taken as "No".
enum class Answer : int32_t { kOk = 1, kNo = 2, kClosed = 3 };

// What a job tells the main window when it is over (the window messages 1025
// and 1026): the scan ended (run the search next), the search ended (fill the
// views from the result list).
enum class JobEvent : int32_t { kScanFinished = 1025, kSearchFinished = 1026 };

// The lines of a progress window.
enum class ViewLine {
  kStage,       // what is being worked on ("Scanning drive C:")
  kSourceName,  // the source's own name ("disk 0 partition 1", an image's file name)
  kPercent,     // "Current progress: 45%"
  kTime,        // time left
  kSector,      // "Reading Sector 5 / 100"
  kFilesFound,  // "Total Files Found: 7"
  kCurrent,     // the file being copied
  kCount,       // "3/10 file(s) recovered"
  kSpeed,       // "12.50 MiB per second"
  kBadSectors,  // "Unreadable sectors so far: 8" (an image copy that reads past them)
};

// Controls a job shows or hides.
enum class ViewControl { kSectorLine, kFilesLine, kFinishButton, kCancelButton };

// One row of the recovery window's detail list.
struct DetailRow {
  std::string path;    // the destination (or the found path when nothing was written)
  std::string status;  // "Success", or the system's text for the error
  bool failed = false;
};

// The window a job reports to; the command line and the desktop wizard each
// implement it. Every method is called on the job's worker thread, one call
// at a time, outside the job's lock. An implementation hands the update to
// its window thread (a queued call) and returns at once; the window thread
// never waits for the worker: a cancel is asked with CJob::BeginCancel and
// EndCancel, and the job's end arrives as End.
class IJobView {
 public:
  virtual ~IJobView() = default;
  virtual void SetLine(ViewLine line, const std::string& text) = 0;
  virtual void SetBar(int32_t percent) = 0;
  virtual void ShowControl(ViewControl control, bool visible) = 0;
  // Inserts a detail row at position (failed rows go to the top, the others
  // to the end, as the job decides).
  virtual void AddDetailRow(const DetailRow& row, size_t position) = 0;
  // A message the user should read, without waiting for it (information,
  // warning or error box; the command line prints it).
  virtual void Notify(MessageKind kind, const std::string& text) = 0;
  // A question that the worker waits for (the worker thread blocks, the
  // window thread does not): the view shows it and returns the answer once
  // given. A view that cannot ask returns kClosed.
  virtual Answer Ask(MessageKind kind, const std::string& text) = 0;
  // 1025 or 1026 for the main window.
  virtual void Post(JobEvent event) = 0;
  // The job is over; the last call a job makes. The job object may be
  // destroyed from any thread after this (on the worker thread too).
  virtual void End(JobResult result) = 0;
};

}  // namespace jobs
