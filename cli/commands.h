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
  std::string mode;  // "fast", "deep"; empty: fast, or with kept results the mode they were made in
  std::vector<std::string> types;
  std::vector<std::string> select;  // recover: found paths to keep (glob patterns)
  bool json = false;
  bool reuse = false;  // reopen the stored results of the last scan of SOURCE
  std::string resume;  // "yes": continue an unfinished deep scan of SOURCE, "no": start again, "": ask on a terminal
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

struct PreviewOptions {
  std::string source;
  std::string mode;  // "fast", "deep"; empty: fast, or with kept results the mode they were made in
  std::string item;  // a found path ("/DCIM/IMG_0001.JPG") or ENGINE:ID ("fast-fat:17")
  std::string outputFolder;
};

int RunProbe(const std::string& source);
int RunDisks(bool json);
int RunScan(const ScanOptions& options);
int RunList(const ScanOptions& options);
int RunRecover(const ScanOptions& options);
int RunImage(const ImageOptions& options);
// Previews one found file as the desktop's preview pane would and writes
// what it shows into the output folder: the picture, the text, the archive
// listing, the character dump or the media file; prints what it wrote.
int RunPreview(const PreviewOptions& options);

}  // namespace cli
