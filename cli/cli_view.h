// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/job.h"
#include "jobs/job_view.h"

namespace cli {

// Set by the first Ctrl-C (a second one ends the program at once).
std::atomic<bool>& InterruptFlag();
void InstallInterruptHandler();

// Runs a started job to its end on the calling (main) thread: returns as
// soon as the job ends; a Ctrl-C (looked at every 50 ms) cancels it.
// Returns the job's result.
jobs::JobResult RunToEnd(jobs::CJob& job);

// The terminal as a job's window: one progress line on stderr (only when
// stderr is a terminal, redrawn at most ten times a second), messages as
// "quellmoor: ..." lines on stderr with every control character shown
// escaped; a quiet view leaves out information messages (never the
// progress line). Questions cannot be asked on a command line: Ask answers
// "closed". Thread-safe (the job calls it on its worker).
class CCliView final : public jobs::IJobView {
 public:
  enum class Layout { kScan, kSearch, kRecovery, kImage, kPreview };
  explicit CCliView(Layout layout, bool quiet = false);
  ~CCliView() override;

  void SetLine(jobs::ViewLine line, const std::string& text) override;
  void SetBar(int32_t percent) override;
  void ShowControl(jobs::ViewControl control, bool visible) override;
  void AddDetailRow(const jobs::DetailRow& row, size_t position) override;
  void Notify(jobs::MessageKind kind, const std::string& text) override;
  jobs::Answer Ask(jobs::MessageKind kind, const std::string& text) override;
  void Post(jobs::JobEvent event) override;
  void End(jobs::JobResult result) override;

  // Clears the progress line (before the command prints its results).
  void ClearLine();
  // Messages of this kind or worse that were shown.
  int Warnings() const { return m_warnings; }
  // Whether Ask reaches a person (a terminal on both ends).
  bool CanAsk() const;

 private:
  void Draw(bool force);

  Layout m_layout;
  bool m_quiet;
  bool m_terminal;
  std::mutex m_mutex;
  std::map<jobs::ViewLine, std::string> m_lines;
  std::map<jobs::ViewControl, bool> m_visible;
  size_t m_drawnLength = 0;
  std::chrono::steady_clock::time_point m_lastDraw{};
  int m_warnings = 0;
};

// Prints a message line "quellmoor: <text>" on stderr, control characters escaped.
void PrintError(const std::string& text);

}  // namespace cli
