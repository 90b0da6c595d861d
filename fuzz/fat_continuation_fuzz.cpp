// SPDX-License-Identifier: GPL-3.0-or-later
// Deleted FAT directories followed into later clusters: the input's first
// bytes describe where a listing ended, the rest is judged as the head of a
// cluster that may go on with it; then the whole input is scanned as a FAT
// volume by the fast engine (whose walk looks for such clusters) and listed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/fat_continuation.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (size_t{4} << 20)) return 0;
  if (size >= 8) {
    fat::DirectoryEdge edge;
    edge.longNamePending = (data[0] & 1) != 0;
    edge.longNameChecksum = data[1];
    edge.pendingFirst = static_cast<char>(data[2]);
    edge.lastCreated = static_cast<uint32_t>(data[3]) << 16 | data[4];
    const size_t nameBytes = data[5] % 40;
    if (8 + 2 * nameBytes <= size) {
      edge.lastName.assign(reinterpret_cast<const char*>(data + 8), nameBytes);
      edge.pendingName.assign(reinterpret_cast<const char*>(data + 8 + nameBytes), nameBytes);
      (void)fat::NameContinuesNumbering(edge.lastName, edge.pendingName);
      (void)fat::JudgeContinuation(edge, ByteView(data + 8 + 2 * nameBytes, size - 8 - 2 * nameBytes));
    }
  }
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  fat::CFastFatRecovery engine;
  if (engine.OpenSource(std::move(source), 0, 0, 'F') != kStatusOk) return 0;
  // Fuzzing explores inputs; the scan's status is not what is checked here.
  (void)engine.Scan(nullptr);
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
  static const bool ready = fuzzing::PrepareDataHome("fat_continuation");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}
