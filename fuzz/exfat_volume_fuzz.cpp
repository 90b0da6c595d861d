// SPDX-License-Identifier: GPL-3.0-or-later
// Takes arbitrary bytes as an exFAT volume: the boot regions, entry sets at
// every slot, the deep scan's directory-sector test, the up-case table, the
// fast engine's walk, layout and copy-out, and the professional engine fed
// every sector. Seed with the first megabytes of the exFAT fixtures.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/boot_sector_tests.h"
#include "engine/copy_sink.h"
#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/exfat/upcase_table.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

storage::SectorSource SourceOf(const std::vector<uint8_t>& bytes) {
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  return source;
}

void RunOne(const uint8_t* data, size_t size, bool stores) {
  using namespace engine;
  constexpr size_t kMaxVolume = 8u << 20;
  if (size > kMaxVolume) return;
  (void)FindExFatBootRegion(data, size, nullptr);
  const ByteView view(data, size);
  for (size_t at = 0; at + exfat::entry::kBytes <= size; at += exfat::entry::kBytes) {
    exfat::EntrySet set;
    (void)exfat::ParseEntrySet(view, at, nullptr, &set);
  }
  for (size_t at = 0; at + 512 <= size; at += 512) (void)exfat::IsExFatDirectorySector(data + at, size - at, 512);
  exfat::UpcaseTable table;
  (void)table.Load(data, size);

  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512, 0);
  if (!stores || bytes.empty()) return;
  // The statuses are not what is checked here: only that nothing reads out of bounds, loops or crashes.
  exfat::CFastExFatRecovery fast;
  if (fast.OpenSource(SourceOf(bytes), 0, 0, 'Z') == kStatusOk && fast.Scan(nullptr) == kStatusOk) {
    std::vector<ItemRecord> found;
    (void)fast.Search("*.jpg|*.txt|.other", found);
    for (size_t i = 0; i < found.size() && i < 16; ++i) {
      std::vector<uint8_t> buffer(4096);
      uint32_t length = static_cast<uint32_t>(buffer.size());
      std::string temp;
      (void)fast.ExtractItem(&found[i], temp, buffer.data(), &length, nullptr, nullptr);
    }
  }
  storage::SectorSource shared = SourceOf(bytes);
  exfat::CProfessionalExFatRecovery deep;
  if (deep.OpenSharedSource(shared, 512, 0, 0, 'Z') == kStatusOk && deep.BeginExFatScan(nullptr) == kStatusOk) {
    (void)deep.PrepareExFatGeometry();
    for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
      if (exfat::IsExFatDirectorySector(bytes.data() + at, bytes.size() - at, 512)) {
        deep.HandleExFatDirectorySector(bytes.data() + at, bytes.size() - at, at / 512);
      }
    }
    (void)deep.FinishExFatScan();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The engines' stores go to a folder of their own, set up once.
  static const bool stores = fuzzing::PrepareDataHome("exfat_volume");
  RunOne(data, size, stores);
  if (stores) fuzzing::ClearScanFolder();  // the store files of this run
  return 0;
}
