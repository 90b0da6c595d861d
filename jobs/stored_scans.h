// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "jobs/scan_source.h"
#include "platform/status.h"

namespace jobs {

// The results of an earlier scan of one volume that can be opened again.
struct StoredScan {
  std::string folder;    // the scan folder, ending in "/"
  std::string baseName;  // the engine's log base name in it (Scan(previousName))
  bool finished = true;  // false: a deep scan that stopped before its end, which Scan(baseName) continues
};

// Finds the stored results of the last scan of the source in this mode: a
// finished scan, or in deep mode also one that stopped before its end
// (found->finished false; so is a state that is there but cannot be read,
// for the engine to tell why it cannot be continued). The scan index names
// the folder; a file "source.id" in the folder must name the same volume
// (storage::VolumeIdentityKey) and mode, so that another card that happens
// to sit at the same disk number is never taken for this one. On success
// the index's current scan folder is that folder, so the engine's
// Scan(baseName) reopens it. Stale entries (an image written since) are
// removed by the index. Worker thread of the scan job only.
bool FindStoredScan(ScanSource& source, ScanMode mode, StoredScan* found);

// The mode of the remembered scan of the source, whatever its mode: the
// index keeps one scan per volume, the last. False when there is none.
bool StoredScanMode(const ScanSource& source, ScanMode* mode);

// Remembers source.scanFolder as the last scan of the source (finished, or a
// deep scan that can be continued): the
// index entry (replacing, and deleting, an older folder of the same entry)
// and "source.id". Sets source.storeKept.
[[nodiscard]] platform::Status RememberScan(ScanSource& source, ScanMode mode);

// Deletes a stored scan: its index entry and its folder.
void ForgetStoredScan(const std::string& folder);

// Deletes a scan folder below the ScanLog folder that is not remembered
// (the store of an unfinished scan). Any thread; touches no index.
void DiscardScanFolder(const std::string& folder);

}  // namespace jobs
