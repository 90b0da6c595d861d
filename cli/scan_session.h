// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <vector>

#include "cli/commands.h"
#include "jobs/search_job.h"

namespace cli {

// Resolves SOURCE, scans every volume with a progress line, then collects the
// files of the chosen types. On a usage or source error it prints the message
// and returns false with *exitCode set. A Ctrl-C during the scan keeps what
// was found; *cancelled tells.
bool ScanAndCollect(const ScanOptions& options, std::vector<jobs::ScanSource>* sources,
                    std::vector<jobs::FoundFile>* files, bool* cancelled, int* exitCode);

// "2024-05-01 13:45:10", or "-" for 0.
std::string FormatFileTime(uint64_t fileTime);

}  // namespace cli
