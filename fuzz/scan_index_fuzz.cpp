// SPDX-License-Identifier: GPL-3.0-or-later
// The scan index loader over an arbitrary "config": its counter and
// entries are read, a lookup of a partition and of an image runs over them
// (a stale entry is removed and its folder deleted only when it lies below
// the ScanLog folder), and nothing outside that folder is touched.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/store/scan_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace engine::store;
  if (size > (size_t{1} << 20)) return 0;
  static const std::string folder =
      std::filesystem::temp_directory_path().string() + "/quellmoor_fuzz_scan_index/ScanLog/";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  {
    std::ofstream config(folder + "config", std::ios::binary | std::ios::trunc);
    config.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ScanIndex& index = ScanIndex::Instance();
  index.Load(folder);
  (void)index.Counter();
  ScanSourceId partition;
  partition.diskNumber = 0;
  partition.startSector = 2048;
  partition.sectorCount = 8192;
  if (!index.Entries().empty()) {
    const ScanIndexEntry& first = index.Entries().front();
    partition.diskNumber = first.diskNumber;
    partition.deviceKey = first.deviceKey;
    partition.startSector = first.startSector;
    partition.sectorCount = first.sectorCount;
  }
  ScanIndexEntry found;
  (void)index.FindScan(partition, &found);  // fingerprint 0: never unchanged, so stale when it matches
  ScanSourceId image;
  image.imagePath = folder + "no-such.img";
  (void)index.FindScan(image, &found);
  (void)index.CurrentScanFolder();
  return 0;
}
