// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace cli {
namespace {

void OnInterrupt(int) {
  CancelFlag().store(true);
}

}  // namespace

std::atomic<bool>& CancelFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

void InstallCancelHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;  // the second Ctrl-C is not caught
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

ProgressLine::ProgressLine() : m_enabled(::isatty(STDERR_FILENO) != 0) {}

ProgressLine::~ProgressLine() {
  Clear();
}

void ProgressLine::Show(const std::string& text) {
  if (!m_enabled) return;
  std::string line = text.substr(0, 100);
  std::fprintf(stderr, "\r%s", line.c_str());
  if (line.size() < m_lastLength) std::fprintf(stderr, "%*s", static_cast<int>(m_lastLength - line.size()), "");
  m_lastLength = line.size();
  std::fflush(stderr);
}

void ProgressLine::Clear() {
  if (!m_enabled || m_lastLength == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_lastLength), "");
  std::fflush(stderr);
  m_lastLength = 0;
}

}  // namespace cli
