// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <string>

namespace cli {

// A one-line progress display on stderr for commands that run without a
// job view, drawn only when stderr is a terminal.
class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  void Show(const std::string& text);
  void Clear();

 private:
  bool m_enabled;
  size_t m_lastLength = 0;
};

}  // namespace cli
