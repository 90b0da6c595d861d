// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <string>

namespace cli {

// Set by the first Ctrl-C; a second Ctrl-C ends the program at once.
std::atomic<bool>& CancelFlag();
void InstallCancelHandler();

// A one-line progress display on stderr, drawn only when stderr is a terminal.
class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();
  void Show(const std::string& text);
  void Clear();

 private:
  bool m_enabled;
  size_t m_lastLength = 0;
};

}  // namespace cli
