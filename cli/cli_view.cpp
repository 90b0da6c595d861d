// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_view.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "cli/cli_texts.h"
#include "jobs/display_text.h"
#include "platform/utf.h"

namespace cli {
namespace {

void OnInterrupt(int) {
  InterruptFlag().store(true);
}

constexpr size_t kMaxLineBytes = 110;

}  // namespace

std::atomic<bool>& InterruptFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;  // the second Ctrl-C is not caught
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

jobs::JobResult RunToEnd(jobs::CJob& job) {
  bool cancelled = false;
  // Woken by the job's end at once; a Ctrl-C is looked at every 50 ms meanwhile.
  while (!job.WaitUntilDone(std::chrono::milliseconds(50))) {
    if (!cancelled && InterruptFlag().load()) {
      job.Cancel();  // the job stops at its next report
      cancelled = true;
    }
  }
  return job.Wait();
}

void PrintError(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "quellmoor: %s\n", jobs::EscapeForDisplay(text).c_str());
  std::fflush(stderr);
}

CCliView::CCliView(Layout layout, bool quiet)
    : m_layout(layout), m_quiet(quiet), m_terminal(::isatty(STDERR_FILENO) != 0) {}

CCliView::~CCliView() {
  ClearLine();
}

void CCliView::SetLine(jobs::ViewLine line, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_lines[line] = text;
  Draw(line == jobs::ViewLine::kStage);
}

void CCliView::SetBar(int32_t) {}

void CCliView::ShowControl(jobs::ViewControl control, bool visible) {
  std::lock_guard lock(m_mutex);
  m_visible[control] = visible;
}

void CCliView::AddDetailRow(const jobs::DetailRow&, size_t) {}

void CCliView::Notify(jobs::MessageKind kind, const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (kind == jobs::MessageKind::kInformation && m_quiet) return;
  if (kind == jobs::MessageKind::kWarning || kind == jobs::MessageKind::kError) ++m_warnings;
  if (m_terminal && m_drawnLength > 0) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_drawnLength), "");
    m_drawnLength = 0;
  }
  PrintError(text);
}

jobs::Answer CCliView::Ask(jobs::MessageKind, const std::string& text) {
  // Only a person at a terminal is asked; anything else has no one to answer.
  if (!m_terminal || ::isatty(STDIN_FILENO) == 0) return jobs::Answer::kClosed;
  {
    std::lock_guard lock(m_mutex);
    if (m_drawnLength > 0) {
      std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_drawnLength), "");
      m_drawnLength = 0;
    }
    std::fprintf(stderr, "%s %s ", text.c_str(), Tr("AskYesNo").c_str());
    std::fflush(stderr);
  }
  char line[64];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return jobs::Answer::kClosed;
  const std::string yes = Tr("AnswerYes");
  const char first = platform::AsciiLower(line[0]);
  return !yes.empty() && first == platform::AsciiLower(yes[0]) ? jobs::Answer::kOk : jobs::Answer::kNo;
}

bool CCliView::CanAsk() const {
  return m_terminal && ::isatty(STDIN_FILENO) != 0;
}

void CCliView::Post(jobs::JobEvent) {}

void CCliView::End(jobs::JobResult) {
  std::lock_guard lock(m_mutex);
  Draw(true);
}

void CCliView::ClearLine() {
  std::lock_guard lock(m_mutex);
  if (m_terminal && m_drawnLength > 0) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_drawnLength), "");
    std::fflush(stderr);
  }
  m_drawnLength = 0;
}

void CCliView::Draw(bool force) {
  // Quiet leaves out information messages only: long work always shows where it is.
  if (!m_terminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - m_lastDraw < std::chrono::milliseconds(100)) return;
  m_lastDraw = now;
  auto get = [&](jobs::ViewLine l) {
    auto it = m_lines.find(l);
    return it == m_lines.end() ? std::string() : it->second;
  };
  auto visible = [&](jobs::ViewControl c) {
    auto it = m_visible.find(c);
    return it != m_visible.end() && it->second;
  };
  std::vector<std::string> parts;
  switch (m_layout) {
    case Layout::kScan:
      parts = {get(jobs::ViewLine::kStage), get(jobs::ViewLine::kPercent)};
      if (visible(jobs::ViewControl::kFilesLine)) parts.push_back(get(jobs::ViewLine::kFilesFound));
      parts.push_back(get(jobs::ViewLine::kTime));
      break;
    case Layout::kSearch:
    case Layout::kPreview: parts = {get(jobs::ViewLine::kStage), get(jobs::ViewLine::kPercent)}; break;
    case Layout::kRecovery:
      parts = {get(jobs::ViewLine::kCount), get(jobs::ViewLine::kPercent),
               std::string(jobs::FileNameOfPath(get(jobs::ViewLine::kCurrent)))};
      break;
    case Layout::kImage:
      parts = {get(jobs::ViewLine::kPercent), get(jobs::ViewLine::kSpeed), get(jobs::ViewLine::kTime),
               get(jobs::ViewLine::kBadSectors), get(jobs::ViewLine::kSector)};
      break;
  }
  std::string line;
  for (const auto& p : parts) {
    if (p.empty()) continue;
    if (!line.empty()) line += "  ";
    line += p;
  }
  line = jobs::EscapeForDisplay(line);
  line.resize(platform::Utf8BoundaryAtOrBefore(line, kMaxLineBytes));
  std::fprintf(stderr, "\r%s", line.c_str());
  if (line.size() < m_drawnLength) std::fprintf(stderr, "%*s", static_cast<int>(m_drawnLength - line.size()), "");
  m_drawnLength = line.size();
  std::fflush(stderr);
}

}  // namespace cli
