// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace cli {

// Exit statuses of the quellmoor command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

int RunProbe(const std::string& source);
int RunDisks();

}  // namespace cli
