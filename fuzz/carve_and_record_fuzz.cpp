// SPDX-License-Identifier: GPL-3.0-or-later
// The signature scanner's CarveAndRecord over a memory volume made of the
// input, as the coordinator calls it: every sector in turn, moving on by
// what it answers; then the listing, search and copy-out of the carved
// files (whose sizes come from the input and must never run past the volume).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/deep/file_type_recovery.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (size_t{2} << 20)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  deep::CFileTypeRecovery engine;
  if (engine.OpenSharedSource(source, 512, 0, 0, 'C') != kStatusOk) return 0;
  const uint64_t total = bytes.size() / 512;
  uint64_t found = 0;
  for (uint64_t s = 0; s < total;) {
    uint64_t skip = 0;
    const signatures::CarveScanPosition position{s, total, -1, found};
    const Status carved = engine.CarveAndRecord(512, bytes.data() + s * 512, 512, s, position, &source, &skip, &found);
    if (carved == kStatusOutOfMemory || carved == kStatusCancelled) break;
    s += carved == kStatusOk ? std::max<uint64_t>(skip, 1) : 1;
  }
  std::vector<ItemRecord> all;
  (void)engine.Search("*.*", all);
  std::vector<ItemRecord> root;
  (void)engine.ListChildren(nullptr, 0, root);
  const std::string out = std::filesystem::temp_directory_path().string() + "/quellmoor_fuzz_carve_and_record/out";
  for (size_t i = 0; i < root.size() && i < 4; ++i) (void)engine.RecoverItem(&root[i], out, 0);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzzing::PrepareDataHome("carve_and_record");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}
