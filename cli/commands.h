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
  std::vector<std::string> select;  // recover: found paths to keep (glob patterns)
  bool json = false;
  bool reuse = false;        // reopen the stored results of the last scan of SOURCE
  std::string outputFolder;  // recover only
  bool tree = false;         // recover only
  std::string folder;        // ls only
};

struct ImageOptions {
  std::string source;
  std::string target;
  bool keepGoing = false;
  bool force = false;  // replace an existing file
};

int RunProbe(const std::string& source);
int RunDisks(bool json);
int RunScan(const ScanOptions& options);
int RunList(const ScanOptions& options);
int RunRecover(const ScanOptions& options);
int RunImage(const ImageOptions& options);

}  // namespace cli
