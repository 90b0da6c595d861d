// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/scan_source.h"

#include <algorithm>
#include <set>

#include "engine/item_fragments.h"
#include "jobs/stored_scans.h"
#include "storage/drive_letters.h"

namespace jobs {

ScanSource::~ScanSource() {
  ResetEngine();
}

void ScanSource::ResetEngine(std::unique_ptr<engine::IFileRecoveryParse> newEngine) {
  engine.reset();  // closes the store's files first
  if (!scanFolder.empty() && !storeKept) DiscardScanFolder(scanFolder);
  scanFolder.clear();
  storeKept = false;
  engine = std::move(newEngine);
}

ScanSourceList MakeScanSources(const std::vector<storage::VolumeEntry>& volumes) {
  ScanSourceList sources;
  sources.reserve(volumes.size());
  for (const auto& v : volumes) sources.push_back(std::make_shared<ScanSource>(v.target));
  return sources;
}

void EnsureUniqueLetters(ScanSourceList& sources) {
  std::set<uint16_t> taken;
  for (size_t i = 0; i < sources.size(); ++i) {
    ScanSource& s = *sources[i];
    if (s.target.driveLetter != 0 && taken.insert(s.target.driveLetter).second) continue;
    // A letter another source of this list already has: a new one of its own.
    uint16_t letter = 0;
    for (int attempt = 0; attempt < 64 && (letter == 0 || taken.count(letter) != 0); ++attempt) {
      letter = storage::DriveLetters::Instance().LetterFor("duplicate:" + std::to_string(i) + ":" + s.target.label +
                                                           ":" + std::to_string(attempt));
    }
    s.target.driveLetter = letter;
    taken.insert(letter);
  }
}

int32_t FolderDepthOf(const FoundItem& found) {
  if (found.folderDepth >= 0) return found.folderDepth;
  int32_t depth = 1;
  for (char c : found.folderPath) depth += c == '/' ? 1 : 0;
  return depth;
}

void NoteReassembled(FoundItem& found) {
  found.reassembledPieces = 0;
  if (found.item.isFolder != 0 || !found.source) return;
  auto* fragments = dynamic_cast<engine::IItemFragments*>(found.source->engine.get());
  if (fragments == nullptr || !fragments->Reassembled(found.item)) return;
  found.reassembledPieces = std::max<int32_t>(2, fragments->FragmentCount(found.item));
}

}  // namespace jobs
