// SPDX-License-Identifier: GPL-3.0-or-later
// Judges the input as a file of every kind that has a structure check: the
// decoders (JPEG, PNG, ZIP members) and the walks (RIFF, transport stream,
// ISO media, MP3, GIF, TIFF, PSD, PDF).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/signatures/structure_check.h"
#include "storage/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  for (const char* ext : {"jpg", "png", "zip", "docx", "avi", "wav", "ts", "m2ts", "mp4", "m4a", "mp3", "gif", "tif",
                          "psd", "pdf"}) {
    (void)engine::signatures::CheckFileStructure(source, 512, size, ext);
  }
  return 0;
}
