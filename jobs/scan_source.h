// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/item_record.h"
#include "platform/status.h"
#include "storage/disk_list.h"
#include "storage/volume_target.h"

namespace jobs {

enum class ScanMode { kFast, kDeep };

// What became of a source in the last scan.
enum class SourceOutcome {
  kNotScanned,  // not reached: the scan was cancelled before it
  kScanned,     // scanned to its end
  kReused,      // the stored results of an earlier scan were reopened
  kCancelled,   // stopped by the user; what was found stays
  kScanFailed,  // the engine's scan ended with an error; what was found stays
  kNoEngine,    // no engine reads its file system in this mode: skipped
  kUnreadable,  // it could not be opened or read
  kSkipped,     // the question about its stored results was closed: left as it was
  kBusy,        // another job was using it
  kNotStored,   // only stored results were asked for, and it has none
};

// One volume of a scan session with the engine that scanned it. Scan
// sessions are kept apart from the disk list: a device change rebuilds the
// list and never touches a session, and every job holds the sources it
// works on (std::shared_ptr), so an engine in use is never freed under it.
// An engine is used by one job at a time: a job holds inUse while it works
// with the source. Found items point back at the source object that found
// them (FoundItem), never at a drive letter.
struct ScanSource {
  explicit ScanSource(storage::VolumeTarget volume) : target(std::move(volume)) {}
  // Releases the engine, then deletes a result store that no later run can
  // reuse (an unfinished scan).
  ~ScanSource();
  ScanSource(const ScanSource&) = delete;
  ScanSource& operator=(const ScanSource&) = delete;

  // Replaces the engine (null to release it); the old one's store is
  // deleted unless it is kept for reuse.
  void ResetEngine(std::unique_ptr<engine::IFileRecoveryParse> newEngine = nullptr);

  storage::VolumeTarget target;
  std::string identity;    // storage::VolumeIdentityKey, taken when the scan starts
  std::string fileSystem;  // what the first 16 KiB hold: "NTFS", "FAT16", "ext", "unknown", ...
  std::unique_ptr<engine::IFileRecoveryParse> engine;
  ScanMode mode = ScanMode::kFast;  // of the engine: the scan's, or of the stored scan it reopened
  bool fromStretch = false;         // found in (or left of) a stretch no partition covers
  SourceOutcome outcome = SourceOutcome::kNotScanned;
  platform::Status status = platform::kStatusOk;        // of the scan, or why there is no engine
  platform::Status searchStatus = platform::kStatusOk;  // of the last search: 0, or why its results could not be read
  std::string scanFolder;                               // the result store of the engine
  bool storeKept = false;                               // scanFolder is remembered for a later run
  uint64_t foldersCutOff = 0;  // of a fast scan: deleted folders whose listing may go on unread (IScanGaps)
  std::mutex inUse;
};

using ScanSourceList = std::vector<std::shared_ptr<ScanSource>>;

// One source per volume, in order.
ScanSourceList MakeScanSources(const std::vector<storage::VolumeEntry>& volumes);

// Gives every source a drive letter no other source of the list has (the
// first keeps its letter), so that an item's letter names one source.
void EnsureUniqueLetters(ScanSourceList& sources);

// A found file or folder, bound to the source object whose engine found it.
struct FoundItem {
  std::shared_ptr<ScanSource> source;
  engine::ItemRecord item{};
  std::string folderPath;    // the item's folder inside the volume, "/"-separated, ending in "/"; "" at the root
  int32_t folderDepth = -1;  // for a folder: its depth for ListChildren (a root-level folder is 1); -1: unknown
  // A deleted file whose data was put together from pieces that lay apart
  // (engine::IItemFragments): how many; 0 for every other item.
  int32_t reassembledPieces = 0;
};

// Sets found.reassembledPieces from the engine that found the item (found.item,
// found.source->engine). The caller holds found.source->inUse.
void NoteReassembled(FoundItem& found);

// The depth a folder item has for ListChildren: 1 + the folders above it.
// Taken from found.folderDepth, else from its folder path.
int32_t FolderDepthOf(const FoundItem& found);

}  // namespace jobs
