// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>

#include "jobs/job.h"
#include "jobs/scan_source.h"
#include "jobs/stored_scans.h"

namespace jobs {

// What to do when a source has stored results of an earlier finished scan.
enum class ReusePolicy {
  kFresh,  // scan again; the stored results are replaced
  kReuse,  // reopen them instead of scanning (the command line's --reuse)
  kAsk,    // ask "MSG1206": OK reopens, No scans again and deletes them, closing the box leaves the source for later
  kStoredOnly,  // reopen them; a source without any is not scanned (outcome kNotStored)
};

// What to do when a deep scan of a source stopped before its end (cancelled,
// failed, the device removed) and kept its state.
enum class ResumePolicy {
  kRestart,  // scan again from the start; the unfinished scan is deleted (the user is told)
  kResume,   // continue it where it stopped
  kAsk,      // ask (kResumeQuestion): OK continues, No restarts, closing the box leaves the source for later
  kAsItIs,   // open what it found so far and read nothing more (as kStoredOnly does)
};

struct ScanJobInput {
  ScanSourceList sources;  // in the order to scan; shared with the session
  ScanMode mode = ScanMode::kFast;
  ReusePolicy reuse = ReusePolicy::kFresh;
  ResumePolicy resume = ResumePolicy::kRestart;
  // With kReuse or kStoredOnly: each source is opened in the mode of its
  // remembered scan, whatever it is (StoredScanMode); mode only for a source
  // without one. Stretches no partition covers are searched as in deep mode.
  bool modeOfStoredScan = false;
};

// The scan job: one source after the other on the worker thread. For each:
// the stage line, a new engine from the factory, then either the stored
// results reopened (Scan(baseName)) or a scan into a new scan folder with
// the progress callback below; a finished scan is remembered for later runs.
// Every source reports its own outcome (ScanSource::outcome, a Notify for
// each that was skipped or failed): a source without an engine (an EFI or
// swap partition, an encrypted one) is skipped with a note, and a failing
// scan keeps what it found. A cancel stops the running engine at its next
// report and skips the sources after it; those scanned stay.
//
// A deep scan that stops before its end is remembered with what it found, so
// that a later deep scan of the same, unchanged volume can continue it
// (ScanJobInput::resume); after a deep scan the user is told when the file
// system could not be read (the whole volume was searched) and how many
// sectors could not be read.
//
// Ends with 1 when it ran to the end, 2 when cancelled, 3 when no source has
// an engine; posts 1025 whenever some source holds an engine (a cancelled
// scan too), so the front end goes on to collect what was found.
class CScanJob final : public CJob {
 public:
  CScanJob(ScanJobInput input, IJobView& view, const ITextSource* texts);
  ~CScanJob() override;

  // The sources with their engines and outcomes; read after End. In deep
  // mode a stretch of a disk that no partition covers is replaced by what
  // SplitStretch finds in it: the front end takes this list as its session.
  const ScanSourceList& Sources() const { return m_input.sources; }

 private:
  JobResult Run() override;
  // Deep mode: every source that is a stretch no partition covers becomes
  // the volumes found in it and the raw space between them.
  void SplitStretches();
  void ScanOne(ScanSource& source);
  [[nodiscard]] platform::Status ScanFresh(ScanSource& source);
  // Runs the engine's scan with the progress callback: a new scan, or with
  // previousName the stored one continued.
  [[nodiscard]] platform::Status RunEngineScan(ScanSource& source, const char* previousName);
  // After a scan that was not reused: the outcome, what is remembered, what the user is told.
  void Conclude(ScanSource& source);
  // Warns of what the file system's walk could not read and keeps how many
  // deleted folders' listings a fast scan could not follow (of a fresh scan
  // or a kept one).
  void NoteWalkGaps(ScanSource& source);
  // The decision about an unfinished deep scan: true to continue it; false
  // with *leave set when the source is to be left alone.
  bool DecideResume(ScanSource& source, const StoredScan& stored, bool* leave);
  // The progress callback given to every engine (userData: this job).
  static int32_t OnProgress(void* userData, int32_t percent, int32_t weight, int32_t remainingSeconds,
                            uint64_t sectorsDone, uint64_t sectorsTotal, uint64_t filesFound, int32_t reserved);
  std::string StageText(const ScanSource& source) const;
  void NotifySource(std::string_view key, const ScanSource& source, const std::string& detail = {});
  // Tells why the kept scan of source cannot be used (the deep engine's
  // reason, else status's text) in the message key.
  void NotifyKeptScanUnusable(std::string_view key, const ScanSource& source, platform::Status status);

  ScanJobInput m_input;
  int m_linesShown = -1;  // -1 not yet decided, 0 hidden, 1 shown
};

}  // namespace jobs
