// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string_view>
#include <vector>

#include "jobs/scan_source.h"
#include "platform/status.h"

namespace jobs {

// Lists the folder at path ("" or "/" is the root; "Docs/Archive") of a
// scanned source, in child order, each child bound to the source with its
// folder path and, for folders, their depth. Several found folders of the
// same name (two deleted ones) are listed together. Returns 0; 2 when a
// component names no folder; 87 before a scan; a read error of the store.
// The caller holds source.inUse or runs while no job uses the source.
[[nodiscard]] platform::Status ListFolderAt(const std::shared_ptr<ScanSource>& source, std::string_view path,
                                            std::vector<FoundItem>* out);

}  // namespace jobs
