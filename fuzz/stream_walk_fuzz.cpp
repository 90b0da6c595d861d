// SPDX-License-Identifier: GPL-3.0-or-later
// The stream and text size walks (WebP, FLAC, Ogg, xz, bzip2, zstd, tar,
// RTF, XML, mail) and their metadata readers: the input is carved from a
// memory source behind each kind's own start, so every walk sees it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "storage/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kStarts[] = {
      std::string("RIFF\x10\x00\x00\x00WEBPVP8 ", 16),
      std::string("fLaC\x00\x00\x00\x22\x10\x00\x10\x00\x00\x00\x10\x00\x40\x00\x0a\xc4\x40\xf0\x00\x00\x10\x00", 26),
      std::string("OggS\x00\x02", 6),
      std::string("\xFD" "7zXZ\x00\x00\x04\xE6\xD6\xB4\x46", 12),
      std::string("BZh91AY&SY", 10),
      std::string("\x28\xB5\x2F\xFD", 4),
      "{\\rtf1",
      "<?xml version=\"1.0\"?>\n<svg>",
      "From: a@b\nTo: c@d\nSubject: s\nDate: Mon, 14 Jul 2025 18:22:01 +0000\n",
      "From a@b Mon Jul 14 18:22:01 2025\nFrom: a@b\nTo: c@d\nSubject: s\n",
      "",  // the input alone (a tar header, anything)
  };
  for (const std::string& start : kStarts) {
    std::vector<uint8_t> bytes(start.begin(), start.end());
    bytes.insert(bytes.end(), data, data + size);
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
    storage::SectorSource source;
    storage::OpenMemorySource(source, bytes);
    engine::signatures::CarveContext context;
    context.Attach(&source, 512);
    engine::signatures::CarvedFile carved;
    const engine::signatures::CarveScanPosition position{0, source.totalSectors, -1, 0};
    (void)engine::signatures::CarveSector(context, bytes.data(), 512, 0, position, &carved);
  }
  return 0;
}
