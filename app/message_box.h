// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string_view>

#include "jobs/job_view.h"

namespace app {

// What a message box of a kind looks like: its skin file, the "Messages"
// key of its title, and whether it has a second button.
struct MessageBoxStyle {
  std::string_view skinFile;
  std::string_view titleKey;
  bool twoButtons;             // OK and Cancel (confirm) or OK and No (question)
  std::string_view secondKey;  // "Cancel" or "No" in the "MessageBox" section; empty with one button
};

// Kinds 0 error, 1 confirm, 2 information, 3 warning, 4 question; any other
// value is an error box.
MessageBoxStyle MessageBoxStyleOf(int32_t kind);
inline MessageBoxStyle MessageBoxStyleOf(jobs::MessageKind kind) {
  return MessageBoxStyleOf(static_cast<int32_t>(kind));
}

// The box's result: 1 for OK, 2 for Cancel, No or the close button.
inline int32_t MessageBoxResult(jobs::Answer answer) {
  return answer == jobs::Answer::kOk ? 1 : 2;
}

// The size the jobs' boxes are shown at.
inline constexpr int kJobMessageBoxWidth = 400;
inline constexpr int kJobMessageBoxHeight = 160;

}  // namespace app
