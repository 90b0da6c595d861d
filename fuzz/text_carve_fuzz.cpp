// SPDX-License-Identifier: GPL-3.0-or-later
// Text carving: the input as a candidate sector and what follows it (after a
// zero sector, so it may start a file), within the volume and with the end of
// the scanned run inside it; the UTF-8 walk in pieces and the kind of the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "engine/signatures/text_content.h"
#include "storage/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)engine::signatures::TextKindOf(data, size);
  engine::signatures::TextWalk walk;
  for (size_t at = 0; at < size; at += 7) (void)walk.Feed(data + at, std::min<size_t>(7, size - at));

  std::vector<uint8_t> bytes(512, 0);
  bytes.insert(bytes.end(), data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  for (const uint64_t runEnd : {uint64_t{0}, uint64_t{3}}) {
    engine::signatures::CarveContext context;
    context.Attach(&source, 512);
    context.runEnd = runEnd;
    engine::signatures::CarvedFile carved;
    const engine::signatures::CarveScanPosition position{0, source.totalSectors, -1, 0};
    (void)engine::signatures::CarveSector(context, bytes.data() + 512, 512, 1, position, &carved);
  }
  return 0;
}
