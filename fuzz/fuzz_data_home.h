// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where the fuzz targets' engines keep their scan results: a folder of each
// target's own below the temporary folder, set up once per process.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/status.h"
#include "engine/store/scan_index.h"

namespace fuzzing {

// Points XDG_DATA_HOME at <tmp>/quellmoor_fuzz_<name> and takes a scan
// folder there. True when the engines can store results.
inline bool PrepareDataHome(const char* name) {
  const std::string home = std::filesystem::temp_directory_path().string() + "/quellmoor_fuzz_" + name;
  std::error_code ignored;
  std::filesystem::create_directories(home, ignored);
  ::setenv("XDG_DATA_HOME", home.c_str(), 1);
  engine::store::ScanIndex::Instance().Load();
  return engine::store::ScanIndex::Instance().NewScanFolder() == engine::kStatusOk;
}

// Removes the result files the last run left in the current scan folder (its
// in-use mark stays), so long fuzzing runs do not fill the temporary folder.
// Call when no engine of the run is alive any more.
inline void ClearScanFolder() {
  std::error_code ignored;
  const std::filesystem::path folder = engine::store::ScanIndex::Instance().CurrentScanFolder();
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.path().filename() != ".inuse") std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace fuzzing
