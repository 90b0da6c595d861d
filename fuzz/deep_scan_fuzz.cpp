// SPDX-License-Identifier: GPL-3.0-or-later
// The deep-scan coordinator over a small memory volume made of the input:
// the factory's choice of fast engine for the volume's head, the fast scan,
// the one pass handing every sector to the professional FAT, NTFS and exFAT
// engines or the signature scanner, the finish, and a browse of what it
// shows. Inputs are kept small (a volume of at most 1 MiB) so each run is
// quick.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/deep/professional_recovery.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (size_t{1} << 20)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, std::move(bytes));
  deep::CProfessionalRecovery engine;
  if (engine.OpenSharedSource(source, 0, 0, 'D') != kStatusOk) return 0;
  // Fuzzing explores inputs; the scan's status is not what is checked here.
  (void)engine.Scan(nullptr);
  std::vector<ItemRecord> level;
  if (engine.ListChildren(nullptr, 0, level) != kStatusOk) return 0;
  // A bounded breadth-first browse: folders named by damaged records must never loop.
  for (int32_t depth = 1; depth < 8 && !level.empty(); ++depth) {
    std::vector<ItemRecord> next;
    for (size_t i = 0; i < level.size() && i < 64; ++i) {
      if (level[i].isFolder == 0) continue;
      std::vector<ItemRecord> children;
      if (engine.ListChildren(&level[i], depth, children) == kStatusOk) {
        next.insert(next.end(), children.begin(), children.end());
      }
    }
    level.swap(next);
  }
  std::vector<ItemRecord> found;
  (void)engine.Search("*.*", found);
  std::vector<uint8_t> buffer(4096);
  for (size_t i = 0; i < found.size() && i < 4; ++i) {
    uint32_t length = static_cast<uint32_t>(buffer.size());
    std::string temp;
    (void)engine.ExtractItem(&found[i], temp, buffer.data(), &length, nullptr, nullptr);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzzing::PrepareDataHome("deep_scan");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}
