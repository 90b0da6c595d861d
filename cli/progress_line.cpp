// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/progress_line.h"

#include <unistd.h>

#include <cstdio>

namespace cli {

ProgressLine::ProgressLine() : m_enabled(::isatty(STDERR_FILENO) != 0) {}

ProgressLine::~ProgressLine() {
  Clear();
}

void ProgressLine::Show(const std::string& text) {
  if (!m_enabled) return;
  const std::string line = text.substr(0, 100);
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
