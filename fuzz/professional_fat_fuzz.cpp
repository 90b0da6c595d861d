// SPDX-License-Identifier: GPL-3.0-or-later
// The professional FAT engine over a volume made of the input: every sector
// classified as the coordinator does (directory start, directory sector),
// handed over, then the finish (geometry, pieces, owners, parents, records).
// The first bytes choose a boot sector or none, so geometries come from both;
// the second also whether the first half is listed by another engine.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  if (size > (size_t{4} << 20)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::fat::CProfessionalFatRecovery fat;
  if (fat.OpenSharedSource(source, 512, 0, 0, 'F') != engine::kStatusOk) return 0;
  if (fat.BeginFatScan(nullptr) != engine::kStatusOk) return 0;
  (void)fat.PrepareFatGeometry();  // a boot sector may or may not be there
  // The second byte's low bit: the first half of the sectors are directories
  // another engine lists (the fast engine's walked deleted ones).
  const uint64_t listedEnd = size > 1 && (data[1] & 1) != 0 ? bytes.size() / 1024 : 0;
  for (uint64_t s = 0; s < bytes.size() / 512; ++s) {
    fat.SetListedElsewhere(s < listedEnd);
    const uint8_t* sector = bytes.data() + s * 512;
    if (engine::IsDirectoryStart(sector, 512)) {
      fat.HandleDirectoryStart(sector, 512, s);
    } else if (engine::IsDirectorySector(sector, 512)) {
      fat.HandleDirectorySector(sector, 512, s);
    }
  }
  // Fuzzing explores inputs; the finish's status is not what is checked here.
  (void)fat.FinishFatScan();
  std::vector<engine::ItemRecord> root;
  (void)fat.ListChildren(nullptr, 0, root);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzzing::PrepareDataHome("professional_fat");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();  // the store files of this run
  return 0;
}
