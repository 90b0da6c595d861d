// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT directory entry sets: the input is read as directory sectors, each
// entry set parsed at every 32-byte slot, and every sector the deep scan
// takes for an exFAT directory handed to the professional exFAT engine
// (without a boot region: the geometry comes from the entry sets alone),
// then its finish and listing; and the input's two halves read as
// directory clusters, the second weighed as continuing the first.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/exfat/exfat_directory_continuation.h"
#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (size_t{1} << 20)) return 0;
  const ByteView view(data, size);
  for (size_t at = 0; at + exfat::entry::kBytes <= size; at += exfat::entry::kBytes) {
    exfat::EntrySet set;
    (void)exfat::ParseEntrySet(view, at, nullptr, &set);
  }
  const size_t half = size / 2;
  const auto first = exfat::SummarizeDirectoryCluster(view.Sub(0, half), 512, 1000);
  const auto second = exfat::SummarizeDirectoryCluster(view.Sub(half, size - half), 512, 1000);
  (void)exfat::ScoreContinuation(10, first, 20, second);
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  exfat::CProfessionalExFatRecovery engine;
  if (engine.OpenSharedSource(source, 512, 0, 0, 'X') != kStatusOk) return 0;
  if (engine.BeginExFatScan(nullptr) != kStatusOk) return 0;
  for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
    if (exfat::IsExFatDirectorySector(bytes.data() + at, bytes.size() - at, 512)) {
      engine.HandleExFatDirectorySector(bytes.data() + at, bytes.size() - at, at / 512);
    }
  }
  // Fuzzing explores inputs; the finish's status is not what is checked here.
  (void)engine.FinishExFatScan();
  std::vector<ItemRecord> root;
  if (engine.ListChildren(nullptr, 0, root) != kStatusOk) return 0;
  for (size_t i = 0; i < root.size() && i < 16; ++i) {
    std::vector<ItemRecord> children;
    if (root[i].isFolder != 0) (void)engine.ListChildren(&root[i], 1, children);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzzing::PrepareDataHome("exfat_entry_set");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}
