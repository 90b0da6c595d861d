// SPDX-License-Identifier: GPL-3.0-or-later
// Takes arbitrary bytes as an ext volume: the fast ext engine opens it
// (superblock, descriptors, the whole journal indexed and replayed), walks
// it, lays out and copies out what it found, and maps its free space.
// Seed with the first megabytes of the ext fixtures.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/ext4/fast_ext4_recovery.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

void RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (8u << 20) || size < 2048) return;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  ext4::CFastExt4Recovery fast;
  if (fast.OpenSource(std::move(source), 0, 0, 'Z') != kStatusOk) return;
  // The statuses are not what is checked here: only that nothing reads out of bounds, loops or crashes.
  if (fast.Scan(nullptr) == kStatusOk) {
    std::vector<ItemRecord> found;
    (void)fast.Search("*.jpg|*.txt|.other", found);
    for (size_t i = 0; i < found.size() && i < 16; ++i) {
      std::vector<uint8_t> buffer(4096);
      uint32_t length = static_cast<uint32_t>(buffer.size());
      std::string temp;
      (void)fast.ExtractItem(&found[i], temp, buffer.data(), &length, nullptr, nullptr);
    }
  }
  if (fast.BuildAllocationMap() == kStatusOk) {
    uint64_t sector = 0;
    for (int i = 0; i < 64; ++i) {
      uint64_t count = 0;
      if (fast.GetNextFreeExtent(&sector, &count) != 1 || count == 0) break;
      sector += count;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool stores = fuzzing::PrepareDataHome("ext4_volume");
  if (!stores) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}
