// SPDX-License-Identifier: GPL-3.0-or-later
// Carves from a memory source holding the input: recognisers and size rules.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "engine/signatures/signature_check.h"
#include "storage/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  // Fuzzing explores inputs; the carve's status and answers are not what is checked here.
  engine::signatures::CarveContext context;
  context.Attach(&source, 512);
  engine::signatures::CarvedFile carved;
  const engine::signatures::CarveScanPosition position{0, source.totalSectors, -1, 0};
  (void)engine::signatures::CarveSector(context, bytes.data(), 512, 0, position, &carved);
  for (const char* ext : {"jpg", "doc", "docx", "mp4", "ts", "zip", "pdf", "mp3", "bmp", "gz"}) {
    (void)engine::signatures::CheckPlausibleStart(bytes.data(), size, ext);
  }
  uint64_t found = 0;
  context.readPosition = 0;
  (void)engine::signatures::FindNextFileStart(context, bytes.data(), bytes.size(), &found, false);
  return 0;
}
