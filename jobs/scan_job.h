// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "storage/source_resolver.h"

namespace jobs {

enum class ScanMode { kFast, kDeep };

// One volume being scanned, with the engine that scanned it. The source owns
// its engine.
struct ScanSource {
  storage::VolumeTarget target;
  std::unique_ptr<engine::IFileRecoveryParse> engine;
  platform::Status status = platform::kStatusOk;  // of the scan; -9527 when cancelled
  std::string error;                              // why there is no engine, when there is none
};

// What a running scan tells its front end. Called on the scanning thread.
class IScanObserver {
 public:
  virtual ~IScanObserver() = default;
  virtual void OnSourceStarted(const ScanSource& source, size_t index, size_t count) = 0;
  virtual void OnProgress(const ScanSource& source, int32_t percent, uint64_t filesFound) = 0;
  virtual void OnSourceFinished(const ScanSource& source) = 0;
};

// Scans the sources one after the other: the engine factory picks the engine
// for each volume's file system and mode, a new scan folder is taken for each,
// and the engine's scan fills its store. A set cancel flag stops the running
// engine at its next progress report and skips the sources after it.
// Returns -9527 when cancelled, else 0 (per-source failures are in status).
platform::Status RunScanJob(std::vector<ScanSource>& sources, ScanMode mode, IScanObserver* observer,
                            const std::atomic<bool>* cancel);

std::vector<ScanSource> MakeScanSources(const storage::ResolvedSource& resolved);

}  // namespace jobs
