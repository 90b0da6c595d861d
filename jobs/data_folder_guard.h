// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "jobs/scan_source.h"
#include "platform/status.h"

namespace jobs {

// The data folder (result store, preview files) must never lie on a medium
// being recovered: writing there could overwrite the very files sought.
// When platform::DataFolder() lies on the partition or disk of one of the
// sources, the data folder is moved for the rest of the process to the first
// of $XDG_RUNTIME_DIR/quellmoor, /dev/shm/quellmoor-<uid>,
// /tmp/quellmoor-<uid> and /var/tmp/quellmoor-<uid> that is on none of them
// (created private to the user when missing; one another user made is not
// taken). Returns 0 with *movedFrom and *movedTo set when it
// moved (both empty when nothing had to move), or kErrorAccessDenied when
// every candidate is on a source.
[[nodiscard]] platform::Status KeepDataFolderOffSources(const ScanSourceList& sources, std::string* movedFrom,
                                                        std::string* movedTo);

// True when path (or, when it does not exist yet, its nearest existing
// parent) lies on the medium of the source: the same partition device, a
// partition of the same disk, or, for a whole-disk source, that disk.
bool PathIsOnSource(const std::string& path, const ScanSource& source);

}  // namespace jobs
