// SPDX-License-Identifier: GPL-3.0-or-later
// Carves from a memory source holding the input: recognisers and size rules.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/signatures/carve_sector.h"
#include "engine/signatures/signature_check.h"
#include "storage/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarvedFile carved;
  (void)engine::signatures::CarveSector(512, &source, bytes.data(), 512, 0, 0, source.totalSectors, -1, 0, &carved);
  for (const char* ext : {"jpg", "doc", "docx", "mp4", "ts", "zip", "pdf"}) {
    (void)engine::signatures::MatchesExtension(bytes.data(), 512, ext, &source, 512, 0);
  }
  uint64_t found = 0;
  (void)engine::signatures::FindNextFileStart(bytes.data(), bytes.size(), &found, false);
  return 0;
}
