// SPDX-License-Identifier: GPL-3.0-or-later
// Classifies arbitrary volume heads and runs the FAT directory tests on them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/boot_sector_tests.h"
#include "engine/fat_dir_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)engine::ClassifyVolume(data, size);
  std::vector<uint8_t> head(data, data + size);
  head.resize(engine::kClassifyBytes, 0);
  (void)engine::ClassifyVolume(head.data(), head.size());
  (void)engine::IsDirectorySector(data, size);
  (void)engine::IsDirectoryStart(data, size);
  for (size_t off = 0; off + 64 <= size; off += 32) (void)engine::IsValidDirEntry(data + off, data + off + 32);
  return 0;
}
