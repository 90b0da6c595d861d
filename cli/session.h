// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

#include "cli/commands.h"
#include "jobs/scan_job.h"
#include "storage/source_resolver.h"

namespace cli {

// One run of the command over SOURCE: its volumes as scan sources, scanned
// (or their stored results reopened) through the scan job, then the found
// files of the chosen types collected through the search job.
struct Session {
  storage::ResolvedSource resolved;
  jobs::ScanSourceList sources;
  std::vector<jobs::FoundItem> files;
  bool cancelled = false;
};

// Resolves SOURCE, printing why when it cannot be used. False with *exitCode;
// also when SOURCE holds no volume, unless allowEmpty.
bool ResolveForCommand(const std::string& source, storage::ResolvedSource* resolved, int* exitCode,
                       bool allowEmpty = false);

// Checks the mode and types, resolves SOURCE, runs the scan job with the
// policy, then (unless the scan produced no engine) the search job. Prints
// each problem; false with *exitCode when there is nothing to show.
// quiet leaves out information messages (warnings and errors are printed).
bool ScanAndCollect(const ScanOptions& options, jobs::ReusePolicy reuse, bool withPaths, Session* session,
                    int* exitCode, bool quiet = false);

// "2024-05-01 13:45:10", or "-" for 0 or a time that cannot be shown.
std::string FormatFileTime(uint64_t fileTime);

// "deleted", "damaged", "deleted,overwritten", "deleted,reassembled" or "-",
// in the user's language; reassembled: the file's data was put together from
// pieces that lay apart.
std::string Marks(const engine::ItemRecord& item, bool reassembled = false);

// Whether a found item counts as deleted: the fast engines record only
// deleted files, the others mark them.
bool IsDeletedItem(const engine::ItemRecord& item);
// "fast-ntfs", "fast-fat", "pro-ntfs", "pro-fat", "carved".
const char* EngineName(int32_t sourceKind);

}  // namespace cli
