// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/stored_scans.h"

#include "engine/deep/deep_scan_state.h"
#include "engine/engine_factory.h"
#include "engine/store/scan_index.h"
#include "engine/store/scan_store.h"
#include "platform/folders.h"
#include "platform/raw_file.h"

namespace jobs {
namespace {

constexpr const char* kSourceIdName = "source.id";

std::string ModeWord(ScanMode mode) {
  return mode == ScanMode::kFast ? "fast" : "deep";
}

// The index keys an image by its path: always the resolved one.
std::string IndexImagePath(const ScanSource& source) {
  return source.target.isImage ? platform::ResolvedPath(source.target.imagePath) : std::string();
}

std::string SourceIdText(const ScanSource& source, ScanMode mode) {
  return "identity=" + source.identity + "\nmode=" + ModeWord(mode) + "\n";
}

// How the index knows the source: an image by its resolved path, a partition
// by what stays with the medium (its identity) with its place; both with
// the fingerprint of the volume as it is now, so that a volume written
// since its scan is never offered its old results.
engine::store::ScanSourceId IndexIdOf(ScanSource& source) {
  engine::store::ScanSourceId id;
  id.imagePath = IndexImagePath(source);
  if (!source.target.isImage) id.deviceKey = source.identity;
  id.diskNumber = source.target.diskNumber;
  id.startSector = source.target.startSector;
  id.sectorCount = source.target.sectorCount;
  if (source.engine) id.fingerprint = engine::VolumeFingerprintOf(*source.engine);
  return id;
}

}  // namespace

bool FindStoredScan(ScanSource& source, ScanMode mode, StoredScan* found) {
  if (source.identity.empty()) return false;
  auto& index = engine::store::ScanIndex::Instance();
  engine::store::ScanIndexEntry entry;
  if (!index.FindScan(IndexIdOf(source), &entry)) return false;
  std::string id;
  if (platform::ReadWholeFile(entry.scanFolder + kSourceIdName, &id, 64 * 1024) != platform::kStatusOk ||
      id != SourceIdText(source, mode)) {
    return false;  // the entry belongs to another volume (or mode) at the same place
  }
  found->folder = entry.scanFolder;
  if (mode == ScanMode::kDeep) {
    // A deep scan keeps its state beside its stores: it tells whether it read everything.
    // A state that is there but cannot be used is taken for unfinished: the
    // engine then says why it cannot continue it, and the user is told.
    // A remembered deep scan whose state is gone counts the same way.
    engine::deep::DeepScanState state;
    const platform::Status read = engine::deep::ReadDeepScanState(entry.scanFolder, &state);
    found->baseName = engine::deep::kDeepStateName;
    found->finished = read == platform::kStatusOk && state.finished;
    return true;
  }
  std::string name = engine::store::ScanIndex::FindLogName(engine::store::kFastLogPrefix, entry.scanFolder);
  if (name.empty() || name == kSourceIdName) return false;
  found->baseName = name;
  found->finished = true;
  return true;
}

bool StoredScanMode(const ScanSource& source, ScanMode* mode) {
  if (source.identity.empty()) return false;
  for (const engine::store::ScanIndexEntry& entry : engine::store::ScanIndex::Instance().Entries()) {
    std::string id;
    if (platform::ReadWholeFile(entry.scanFolder + kSourceIdName, &id, 64 * 1024) != platform::kStatusOk) continue;
    for (ScanMode candidate : {ScanMode::kFast, ScanMode::kDeep}) {
      if (id == SourceIdText(source, candidate)) {
        *mode = candidate;
        return true;
      }
    }
  }
  return false;
}

platform::Status RememberScan(ScanSource& source, ScanMode mode) {
  if (source.identity.empty() || source.scanFolder.empty()) return platform::kStatusInvalidParameter;
  auto& index = engine::store::ScanIndex::Instance();
  platform::OutputFile file;
  const std::string text = SourceIdText(source, mode);
  platform::Status s = file.Open(source.scanFolder + kSourceIdName, platform::OutputFile::Mode::kCreateTruncate);
  if (s == platform::kStatusOk) s = file.WriteAt(0, text.data(), text.size());
  if (s == platform::kStatusOk) s = file.Sync();
  const platform::Status closed = file.Close();
  if (s == platform::kStatusOk) s = closed;
  if (s != platform::kStatusOk) return s;
  // The index holds one entry per source: the entry's older folder is left
  // to the index's clean-up of folders nothing names.
  s = index.RecordScan(IndexIdOf(source), engine::store::ScanResume{}, source.scanFolder);
  if (s == platform::kStatusOk) source.storeKept = true;
  return s;
}

void ForgetStoredScan(const std::string& folder) {
  // An index that cannot be saved keeps the entry: the next find checks it again.
  (void)engine::store::ScanIndex::Instance().Remove(folder);
}

void DiscardScanFolder(const std::string& folder) {
  // Only ".../ScanLog/<number>/" is ever deleted, whatever the path says.
  std::string path = folder;
  while (!path.empty() && path.back() == '/') path.pop_back();
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) return;
  const std::string number = path.substr(slash + 1);
  if (number.find_first_not_of("0123456789") != std::string::npos) return;
  const std::string parent = path.substr(0, slash);
  if (parent.size() < 8 || parent.compare(parent.size() - 8, 8, "/ScanLog") != 0) return;
  if (platform::IsDirectory(path)) (void)platform::RemoveTree(path);
}

}  // namespace jobs
