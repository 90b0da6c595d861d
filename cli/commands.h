// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

namespace cli {

// Exit statuses of the quellmoor command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

struct ScanOptions {
  std::string source;
  std::string mode = "fast";
  std::vector<std::string> types;
  bool json = false;
  std::string outputFolder;  // recover only
  bool tree = false;         // recover only
};

int RunProbe(const std::string& source);
int RunDisks();
int RunScan(const ScanOptions& options);
int RunRecover(const ScanOptions& options);

}  // namespace cli
